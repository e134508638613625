// forward against the stand-in application, in-process, with the launcher and
// the clock in the test's hands.
#include "forward.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "stand_in/stand_in.h"
#include "support/temp_dir.h"
#include "support/replies.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using testing::error_line;
using testing::kDisabled;
using testing::kLost;
using testing::kUnreachable;
using testing::unexpected;


Json msg(const char* text) {
  auto value = parse_json(text);
  EXPECT_TRUE(value) << text;
  return value ? std::move(*value) : Json();
}

std::string wire(const std::optional<Json>& reply) {
  return reply ? serialize(reply->root) : "<no reply>";
}

// A clock that moves only when the bridge sleeps or the test says so.
struct FakeClock {
  std::mutex mutex;
  Clock::time_point now = Clock::time_point() + 1000h;
  int sleeps = 0;
  std::function<void()> on_sleep;

  Timing timing() {
    Timing t;
    t.now = [this] {
      std::lock_guard<std::mutex> hold(mutex);
      return now;
    };
    t.sleep = [this](std::chrono::milliseconds d) {
      {
        std::lock_guard<std::mutex> hold(mutex);
        now += d;
        ++sleeps;
      }
      if (on_sleep) on_sleep();
    };
    return t;
  }
};

class ForwardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stand_in::Options options;
    options.token = "secret";
    server_ = stand_in::Server::start(options);
    ASSERT_TRUE(server_);
  }

  // A Bridge on the settings directory with the test's launcher and clock.
  std::unique_ptr<Bridge> make_bridge(Launcher launcher = [] { return LaunchResult::kNotStarted; }) {
    return std::make_unique<Bridge>(dir_.path, std::move(launcher), clock_.timing());
  }

  void app_up(std::optional<bool> enabled = true) {
    ASSERT_TRUE(server_->write_settings(dir_.path, enabled));
  }
  // Settings that name a port where nothing listens.
  void app_down(std::optional<bool> enabled = true) {
    std::string json = R"({"port":1,"token":"t")";
    if (enabled) json += *enabled ? R"(,"settings":{"enabled":true})" : R"(,"settings":{"enabled":false})";
    dir_.write("mcp.json", json + "}");
  }

  // The extra header lines of the last request the application received.
  std::vector<std::pair<std::string, std::string>> last_extra_headers() {
    const auto requests = server_->requests();
    if (requests.empty()) return {};
    auto headers = requests.back().headers;
    // The six fixed header lines come first.
    headers.erase(headers.begin(), headers.begin() + std::min<size_t>(6, headers.size()));
    return headers;
  }

  TempDir dir_;
  FakeClock clock_;
  std::unique_ptr<stand_in::Server> server_;
};

TEST_F(ForwardTest, ForwardsARequestAndReturnsTheAnswer) {
  app_up();
  auto bridge = make_bridge();
  const auto reply = forward(*bridge, msg(R"({"jsonrpc":"2.0","id":7,"method":"tools/call",
      "params":{"name":"echo","arguments":{"text":"merhaba \u011F"}}})"));
  EXPECT_EQ(wire(reply),
            "{\"id\":7,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"merhaba \xC4\x9F\","
            "\"type\":\"text\"}]}}");
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body,
            "{\"id\":7,\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"arguments\":"
            "{\"text\":\"merhaba \xC4\x9F\"},\"name\":\"echo\"}}");
  EXPECT_TRUE(bridge->in_flight.flights.empty());
}

// A string cut inside an emoji reaches the application and comes back with
// its lone surrogate escape intact, in lowercase.
TEST_F(ForwardTest, PassesLoneSurrogateEscapesBothWays) {
  app_up();
  auto bridge = make_bridge();
  const auto reply = forward(*bridge, msg(R"({"jsonrpc":"2.0","id":7,"method":"tools/call",
      "params":{"name":"echo","arguments":{"text":"cut \uD83D"}}})"));
  EXPECT_EQ(wire(reply),
            R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"cut \ud83d","type":"text"}]}})");
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body,
            R"({"id":7,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":)"
            R"({"text":"cut \ud83d"},"name":"echo"}})");
}

TEST_F(ForwardTest, ChoosesTheExtraHeaders) {
  using H = std::vector<std::pair<std::string, std::string>>;
  app_up();
  auto bridge = make_bridge();
  // Nothing before the application has reported a version.
  forward(*bridge, msg(R"({"id":1,"method":"ping"})"));
  EXPECT_EQ(last_extra_headers(), H{});
  forward(*bridge, msg(R"({"id":2,"method":"initialize","params":{}})"));
  EXPECT_EQ(last_extra_headers(), H{});

  struct Case {
    const char* message;
    H headers;
  };
  const Case kCases[] = {
      // The remembered version alone.
      {R"({"id":3,"method":"tools/call","params":{"name":"echo"}})",
       {{"MCP-Protocol-Version", "2025-06-18"}}},
      // The message's own version, with method and name.
      {R"({"id":4,"method":"tools/call","params":{"name":"echo","_meta":
          {"io.modelcontextprotocol/protocolVersion":"2025-03-26"}}})",
       {{"MCP-Protocol-Version", "2025-03-26"}, {"Mcp-Method", "tools/call"}, {"Mcp-Name", "echo"}}},
      // The uri stands in for a missing name.
      {R"({"id":5,"method":"resources/read","params":{"uri":"file:///a b",
          "_meta":{"io.modelcontextprotocol/protocolVersion":"2025-06-18"}}})",
       {{"MCP-Protocol-Version", "2025-06-18"}, {"Mcp-Method", "resources/read"},
        {"Mcp-Name", "file:///a b"}}},
      // Neither: no Mcp-Name, the method still goes.
      {R"({"id":6,"method":"ping","params":{"_meta":
          {"io.modelcontextprotocol/protocolVersion":"2025-06-18"}}})",
       {{"MCP-Protocol-Version", "2025-06-18"}, {"Mcp-Method", "ping"}}},
      // A version that is not a string is ignored.
      {R"({"id":7,"method":"ping","params":{"name":"x","_meta":
          {"io.modelcontextprotocol/protocolVersion":20250618}}})",
       {{"MCP-Protocol-Version", "2025-06-18"}}},
      // Values that cannot stand in a header line go as Base64.
      {R"({"id":8,"method":"tools/call","params":{"name":" d\u00fc\u011f\u00fcm",
          "_meta":{"io.modelcontextprotocol/protocolVersion":"2025-06-18"}}})",
       {{"MCP-Protocol-Version", "2025-06-18"}, {"Mcp-Method", "tools/call"},
        {"Mcp-Name", "=?base64?IGTDvMSfw7xt?="}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    forward(*bridge, msg(c.message));
    EXPECT_EQ(last_extra_headers(), c.headers);
  }
}

TEST_F(ForwardTest, CompletesOrKeepsTheAnswersId) {
  app_up();
  auto bridge = make_bridge();
  struct Case {
    const char* mode;
    const char* reply;
  };
  const Case kCases[] = {
      {"null_id", R"("id":"r")"},
      {"no_id", R"("id":"r")"},
      {"other_id", R"("id":"r-other")"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mode);
    const std::string request = std::string(R"({"id":"r","method":"tools/call","params":{"name":"fault","arguments":{"mode":")") +
                                c.mode + "\"}}}";
    const std::string out = wire(forward(*bridge, msg(request.c_str())));
    EXPECT_NE(out.find(c.reply), std::string::npos) << out;
    EXPECT_NE(out.find("\"result\""), std::string::npos) << out;
  }
}

TEST_F(ForwardTest, JudgesTheAnswerNotTheStatus) {
  app_up();
  auto bridge = make_bridge();
  struct Case {
    const char* mode;
    std::string reply;
  };
  const Case kCases[] = {
      {"empty202", error_line("9", unexpected(202))},
      {"array", error_line("9", unexpected(200))},
      {"no_result", error_line("9", unexpected(200))},
      {"oauth401", error_line("9", unexpected(401))},
      // Without chunks or a length to go by, a body cut short reads as whole.
      {"drop", error_line("9", unexpected(200))},
      {"garbage", error_line("9", kLost)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mode);
    const std::string request = std::string(R"({"id":9,"method":"tools/call","params":{"name":"fault","arguments":{"mode":")") +
                                c.mode + "\"}}}";
    EXPECT_EQ(wire(forward(*bridge, msg(request.c_str()))), c.reply);
  }
  // A JSON-RPC error with status 500 passes through as it is.
  const auto reply = forward(*bridge, msg(R"({"id":9,"method":"tools/call",
      "params":{"name":"fault","arguments":{"mode":"status500"}}})"));
  ASSERT_TRUE(reply);
  EXPECT_NE(member(&reply->root, "error"), nullptr);
  EXPECT_EQ(serialize(*member(&reply->root, "id")), "9");
}

TEST_F(ForwardTest, AnswerCutOffMidStreamIsLost) {
  stand_in::Options options;
  options.chunked = true;
  server_ = stand_in::Server::start(options);
  ASSERT_TRUE(server_);
  app_up();
  auto bridge = make_bridge();
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":9,"method":"tools/call",
      "params":{"name":"fault","arguments":{"mode":"drop"}}})"))),
            error_line("9", kLost));
  EXPECT_EQ(server_->requests().size(), 1u) << "a broken exchange is never retried";
}

TEST_F(ForwardTest, DecodesChunkedAndTrickledAnswers) {
  app_up();
  auto bridge = make_bridge();
  for (const char* mode : {"chunked", "trickle"}) {
    SCOPED_TRACE(mode);
    const std::string request = std::string(R"({"id":1,"method":"tools/call","params":{"name":"fault","arguments":{"mode":")") +
                                mode + R"(","interval_ms":1}}})";
    const auto reply = forward(*bridge, msg(request.c_str()));
    ASSERT_TRUE(reply);
    EXPECT_NE(member(&reply->root, "result"), nullptr) << wire(reply);
  }
}

TEST_F(ForwardTest, SendsEvenWhenDisabledIfTheApplicationAnswers) {
  app_up(false);
  int launches = 0;
  auto bridge = make_bridge([&] { return ++launches, LaunchResult::kOpened; });
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))),
            R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(launches, 0);
}

TEST_F(ForwardTest, AnswersDisabledWithoutLaunchingWhenTheApplicationIsDown) {
  app_down(false);
  int launches = 0;
  auto bridge = make_bridge([&] { return ++launches, LaunchResult::kOpened; });
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))), error_line("1", kDisabled));
  EXPECT_EQ(launches, 0);
}

TEST_F(ForwardTest, AnswersUnreachableAtOnceWhenTheLauncherFails) {
  int launches = 0;
  auto bridge = make_bridge([&] { return ++launches, LaunchResult::kNotStarted; });  // no settings file at all
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))),
            error_line("1", kUnreachable));
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":2,"method":"ping"})"))),
            error_line("2", kUnreachable));
  EXPECT_EQ(launches, 2) << "a failed launch is not remembered";
  EXPECT_EQ(clock_.sleeps, 0);
}

TEST_F(ForwardTest, LaunchesOnceForRequestsThatFindTheApplicationDownTogether) {
  std::atomic<int> launches{0};
  auto bridge = std::make_unique<Bridge>(dir_.path, [&] {
    ++launches;
    std::this_thread::sleep_for(100ms);  // both requests reach the launch lock meanwhile
    return server_->write_settings(dir_.path, true) ? LaunchResult::kOpened
                                                    : LaunchResult::kNotStarted;
  });
  auto first = std::async(std::launch::async, [&] { return forward(*bridge, msg(R"({"id":1,"method":"ping"})")); });
  auto second = std::async(std::launch::async, [&] { return forward(*bridge, msg(R"({"id":2,"method":"ping"})")); });
  EXPECT_EQ(wire(first.get()), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(wire(second.get()), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(launches, 1);
}

// The host cancels a request while it queues behind another's launch: once it
// gets the launch lock, it launches nothing.
TEST_F(ForwardTest, ARequestCancelledWhileItQueuedForTheLaunchLaunchesNothing) {
  std::atomic<int> launches{0};
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  auto bridge = make_bridge([&] {
    if (++launches == 1) {
      entered.set_value();
      released.wait();
    }
    return LaunchResult::kNotStarted;
  });
  auto first = std::async(std::launch::async, [&] { return forward(*bridge, msg(R"({"id":1,"method":"ping"})")); });
  entered.get_future().wait();
  auto second = std::async(std::launch::async, [&] { return forward(*bridge, msg(R"({"id":2,"method":"ping"})")); });
  std::this_thread::sleep_for(100ms);  // the second request reaches the launch lock meanwhile
  forward(*bridge, msg(R"({"method":"notifications/cancelled","params":{"requestId":2}})"));
  release.set_value();
  EXPECT_EQ(wire(first.get()), error_line("1", kUnreachable));
  EXPECT_EQ(wire(second.get()), "<no reply>");
  EXPECT_EQ(launches, 1);
}

TEST_F(ForwardTest, LaunchAgeDecidesBetweenWaitingRefusingAndLaunching) {
  struct Case {
    std::chrono::seconds since_launch;
    int launches;
    bool waits;
  };
  const Case kCases[] = {
      {0s, 0, true}, {14s, 0, true}, {15s, 0, false}, {20s, 0, false}, {59s, 0, false},
      {60s, 1, true}, {61s, 1, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.since_launch.count());
    int launches = 0;
    auto bridge = make_bridge([&] { return ++launches, LaunchResult::kOpened; });
    bridge->last_launch = clock_.now - c.since_launch;
    clock_.sleeps = 0;
    EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))),
              error_line("1", kUnreachable));
    EXPECT_EQ(launches, c.launches);
    // A wait polls every 250 ms for 15 s.
    EXPECT_EQ(clock_.sleeps, c.waits ? 60 : 0);
  }
}

TEST_F(ForwardTest, WaitsForTheLaunchedApplication) {
  auto bridge = make_bridge([] { return LaunchResult::kOpened; });
  clock_.on_sleep = [&] {
    if (clock_.sleeps == 3) app_up();
  };
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))),
            R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(clock_.sleeps, 3);
}

TEST_F(ForwardTest, StopsWaitingWhenTheApplicationTurnsOutDisabled) {
  auto bridge = make_bridge([] { return LaunchResult::kOpened; });
  clock_.on_sleep = [&] {
    if (clock_.sleeps == 2) app_down(false);
  };
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":1,"method":"ping"})"))), error_line("1", kDisabled));
  EXPECT_EQ(clock_.sleeps, 2);
}

TEST_F(ForwardTest, ACancellationEndsTheWaitWithoutReply) {
  auto bridge = make_bridge([] { return LaunchResult::kOpened; });
  clock_.on_sleep = [&] {
    if (clock_.sleeps == 2) {
      forward(*bridge, msg(R"({"method":"notifications/cancelled","params":{"requestId":"x"}})"));
    }
  };
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":"x","method":"ping"})"))), "<no reply>");
  EXPECT_EQ(clock_.sleeps, 2);
  EXPECT_TRUE(bridge->in_flight.flights.empty());
}

TEST_F(ForwardTest, ACancellationCutsALongCall) {
  app_up();
  auto bridge = make_bridge();
  auto call = std::async(std::launch::async, [&] {
    return forward(*bridge, msg(R"({"id":5,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":30}}})"));
  });
  ASSERT_TRUE(server_->wait_for_requests(1, 5s));
  // A notice for the string "5" names another request.
  forward(*bridge, msg(R"({"method":"notifications/cancelled","params":{"requestId":"5"}})"));
  EXPECT_EQ(call.wait_for(200ms), std::future_status::timeout);
  const auto start = std::chrono::steady_clock::now();
  forward(*bridge, msg(R"({"method":"notifications/cancelled","params":{"requestId":5}})"));
  ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(wire(call.get()), "<no reply>");
  EXPECT_TRUE(server_->wait_until(
      [](const std::vector<stand_in::Request>& r) { return r.size() == 1 && r[0].closed_early; }, 5s));
  // Notices are never sent on, and later requests go through.
  EXPECT_EQ(server_->requests().size(), 1u);
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":6,"method":"ping"})"))),
            R"({"id":6,"jsonrpc":"2.0","result":{}})");
}

TEST_F(ForwardTest, NotificationsGoOnceAndNeverAnswer) {
  int launches = 0;
  auto bridge = make_bridge([&] { return ++launches, LaunchResult::kOpened; });
  // Down: nothing sent, nothing launched.
  EXPECT_FALSE(forward(*bridge, msg(R"({"method":"notifications/initialized"})")));
  app_down();
  EXPECT_FALSE(forward(*bridge, msg(R"({"method":"notifications/initialized"})")));
  EXPECT_EQ(launches, 0);
  EXPECT_EQ(clock_.sleeps, 0);
  // Up: each goes once, a host's reply and an id-less message alike.
  app_up();
  EXPECT_FALSE(forward(*bridge, msg(R"({"method":"notifications/initialized"})")));
  EXPECT_FALSE(forward(*bridge, msg(R"({"id":3,"result":{}})")));
  EXPECT_FALSE(forward(*bridge, msg(R"({"jsonrpc":"2.0"})")));
  EXPECT_EQ(server_->requests().size(), 3u);
  EXPECT_TRUE(bridge->in_flight.flights.empty());
}

TEST_F(ForwardTest, ARequestWithNullIdIsStillARequest) {
  app_up();
  auto bridge = make_bridge();
  EXPECT_EQ(wire(forward(*bridge, msg(R"({"id":null,"method":"ping"})"))),
            R"({"id":null,"jsonrpc":"2.0","result":{}})");
}

}  // namespace
}  // namespace bridge
