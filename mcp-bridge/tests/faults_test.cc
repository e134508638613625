// The real binary against an application that fails it: killed in the middle
// of an answer, trickling, answering garbage or huge bodies; and against a
// host that sends huge or empty lines or stops reading.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app.h"
#include "stand_in/settings_file.h"
#include "stand_in/stand_in.h"
#include "stand_in/wire.h"
#include "support/bridge_process.h"
#include "support/proc_status.h"
#include "support/sanitizers.h"
#include "support/scripted_app.h"
#include "support/temp_dir.h"
#include "support/reference_json.h"
#include "support/replies.h"

namespace bridge {
namespace {

// Messages are built and read with the reference's library tree.
using reference::Json;
using reference::parse_json;
using reference::serialize;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::BridgeProcess;
using testing::Piece;
using testing::ScriptedApp;
using testing::error_line;
using testing::kLost;
const std::string kUnexpected200 = testing::unexpected(200);


std::string text_reply(const Json& id, const std::string& text) {
  Json item = {{"type", "text"}, {"text", text}};
  return serialize(
      Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", {{"content", Json::array({item})}}}});
}

std::string tool_call(const Json& id, const char* tool, Json arguments) {
  return serialize(Json{{"jsonrpc", "2.0"},
                        {"id", id},
                        {"method", "tools/call"},
                        {"params", {{"name", tool}, {"arguments", std::move(arguments)}}}});
}

std::string ping(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}

std::string pong(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})";
}

// The stand-in's large text: byte i is 'a' + i % 26.
std::string pattern(size_t size) {
  std::string text(size, 'a');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::string plain_head(size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A bridge on a settings directory of its own.
class FaultsTest : public ::testing::Test {
 protected:
  std::unique_ptr<BridgeProcess> start_bridge() {
    testing::ProcessOptions options;
    options.env["TORVELA_MCP_DIR"] = dir_.path;
    return std::make_unique<BridgeProcess>(options);
  }
  std::unique_ptr<stand_in::Server> start_stand_in(bool chunked = false) {
    stand_in::Options options;
    options.chunked = chunked;
    auto server = stand_in::Server::start(options);
    EXPECT_TRUE(server && server->write_settings(dir_.path, true));
    return server;
  }
  void point_at(const ScriptedApp& app) {
    ASSERT_NE(app.port(), 0);
    ASSERT_TRUE(stand_in::write_settings_file(dir_.path, app.port(), "t", true));
  }
  // The stand-in application as a process of its own, which the test can kill.
  std::unique_ptr<BridgeProcess> start_stand_in_process(bool chunked) {
    std::filesystem::remove(dir_.path + "/mcp.json");
    testing::ProcessOptions options;
    options.program = testing::stand_in_binary();
    options.args = {"--dir", dir_.path};
    if (chunked) options.args.push_back("--chunked");
    auto app = std::make_unique<BridgeProcess>(options);
    EXPECT_TRUE(testing::settles([&] { return state(dir_.path).settings.has_value(); }, 10s))
        << "the stand-in application wrote no settings";
    return app;
  }

  TempDir dir_;
};

TEST_F(FaultsTest, AnApplicationKilledMidAnswerIsLostAndANewOneIsUsed) {
  auto app = start_stand_in_process(/*chunked=*/true);
  auto bridge = start_bridge();
  // Counted once a reply shows the bridge in its reading loop, past start-up.
  ASSERT_TRUE(bridge->send(ping(0)));
  ASSERT_EQ(bridge->read_line(), pong(0));
  const size_t idle_fds = testing::open_descriptors(bridge->pid()).value_or(0);
  ASSERT_TRUE(bridge->send(tool_call(1, "fault", {{"mode", "trickle"}, {"interval_ms", 100}})));
  // Connected (the connection and its duplicate for cancelling), and a few
  // bytes of the answer on their way.
  ASSERT_TRUE(testing::settles(
      [&] { return testing::open_descriptors(bridge->pid()).value_or(0) >= idle_fds + 2; }, 5s));
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(::kill(app->pid(), SIGKILL), 0);
  app->wait();
  // A chunked answer cut short can never look whole.
  EXPECT_EQ(bridge->read_line(), error_line("1", kLost));

  // The application comes back on another port; the next request finds it.
  app = start_stand_in_process(/*chunked=*/false);
  ASSERT_TRUE(bridge->send(ping(2)));
  EXPECT_EQ(bridge->read_line(), pong(2));
  ASSERT_TRUE(bridge->send(tool_call(3, "echo", {{"text", "back"}})));
  EXPECT_EQ(bridge->read_line(), text_reply(3, "back"));
  bridge->close_stdin();
  EXPECT_TRUE(bridge->read_all_lines(5s).empty());
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(FaultsTest, APlainAnswerCutByTheApplicationIsUnexpectedOnceItsHeadIsThrough) {
  auto bridge = start_bridge();
  // Without chunks the end of the stream is the end of the body: half a JSON
  // text arrives as the whole answer, and it is not JSON.
  const std::string body = text_reply(1, pattern(1 << 20));
  {
    ScriptedApp app({{0ms, plain_head(body.size()) + body.substr(0, body.size() / 2)}});
    point_at(app);
    ASSERT_TRUE(bridge->send(tool_call(1, "large", {})));
    EXPECT_EQ(bridge->read_line(), error_line("1", kUnexpected200));
  }
  // Cut inside the head, there is no response at all.
  {
    ScriptedApp app({{0ms, "HTTP/1.1 200 OK\r\nContent-Le"}});
    point_at(app);
    ASSERT_TRUE(bridge->send(tool_call(2, "large", {})));
    EXPECT_EQ(bridge->read_line(), error_line("2", kLost));
  }
  bridge->close_stdin();
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(FaultsTest, WaitsForAnAnswerThatTricklesOneByteASecond) {
  const std::string body = text_reply(7, "slowly");
  const std::string head = plain_head(body.size());
  std::vector<Piece> script = {{0ms, head + body.substr(0, body.size() - 4)}};
  for (size_t i = body.size() - 4; i < body.size(); ++i) script.push_back({1s, body.substr(i, 1)});
  ScriptedApp app(script);
  point_at(app);
  auto bridge = start_bridge();
  const auto start = Clock::now();
  ASSERT_TRUE(bridge->send(tool_call(7, "echo", {{"text", "slowly"}})));
  EXPECT_EQ(bridge->read_line(10s), body);
  EXPECT_GE(ms_since(start), 3900) << "answered before the last byte came";
  EXPECT_EQ(app.served(), 1);
}

TEST_F(FaultsTest, GarbageFromTheApplicationIsLost) {
  auto server = start_stand_in();
  auto bridge = start_bridge();
  ASSERT_TRUE(bridge->send(tool_call("g", "fault", {{"mode", "garbage"}})));
  EXPECT_EQ(bridge->read_line(), error_line(R"("g")", kLost));
  // Bytes that are no HTTP at all, from an application of the test's own.
  ScriptedApp app({{0ms, std::string("\0\xFF\r\n\r\n{}", 8)}});
  point_at(app);
  ASSERT_TRUE(bridge->send(ping(2)));
  EXPECT_EQ(bridge->read_line(), error_line("2", kLost));
}

TEST_F(FaultsTest, ATenMegabyteAnswerArrivesWholePlainOrChunked) {
  constexpr size_t kSize = 10 << 20;
  const std::string expected = text_reply(1, pattern(kSize));
  for (const bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "chunked" : "plain");
    auto server = start_stand_in(chunked);
    auto bridge = start_bridge();
    const auto start = Clock::now();
    ASSERT_TRUE(bridge->send(tool_call(1, "large", {{"bytes", kSize}})));
    const auto line = bridge->read_line(15s * testing::kSlowdown);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->size(), expected.size());
    EXPECT_TRUE(*line == expected) << "the answer differs from the application's";
    const size_t peak_kib = testing::status_kib(bridge->pid(), "VmHWM").value_or(0);
    std::printf("[faults] 10 MiB answer (%s): %lld ms, bridge peak RSS %zu KiB\n",
                chunked ? "chunked" : "plain", ms_since(start), peak_kib);
    // Generous: a copy too many shows, a copy per chunk or per read would too.
    if (testing::kMemoryBoundsHold) {
      EXPECT_LT(peak_kib, 8 * (kSize >> 10));
    }
    bridge->close_stdin();
    EXPECT_EQ(bridge->wait(), 0);
  }
}

TEST_F(FaultsTest, AHundredMegabyteLineIsEchoedAndTheBridgeGoesOn) {
  constexpr size_t kSize = 100 << 20;
  // The application echoes the text as the bridge sent it, without parsing a
  // hundred megabytes once more: the run stays the bridge's.
  stand_in::Options options;
  options.hook = [](const stand_in::Request& request) -> std::optional<std::string> {
    const std::string_view body = request.body;
    const std::string_view open = R"({"id":1,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":{"text":)";
    const std::string_view close = R"(},"name":"echo"}})";
    if (!body.starts_with(open) || !body.ends_with(close)) return std::nullopt;
    const std::string_view text = body.substr(open.size(), body.size() - open.size() - close.size());
    return stand_in::response(200,
                              R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":)" +
                                  std::string(text) + R"(,"type":"text"}]}})",
                              false);
  };
  auto server = stand_in::Server::start(options);
  ASSERT_TRUE(server && server->write_settings(dir_.path, true));
  auto bridge = start_bridge();
  std::string text = pattern(kSize);
  const std::string request = tool_call(1, "echo", {{"text", text}});
  const auto start = Clock::now();
  ASSERT_TRUE(bridge->send(request));
  const long long sent_ms = ms_since(start);
  // About 15 s alone here, most of it the JSON library reading the text twice;
  // the limit leaves room for a busy machine.
  const auto line = bridge->read_line(40s * testing::kSlowdown);
  ASSERT_TRUE(line);
  const std::string expected = text_reply(1, text);
  EXPECT_EQ(line->size(), expected.size());
  EXPECT_TRUE(*line == expected) << "the echo differs from the text sent";
  const size_t peak_kib = testing::status_kib(bridge->pid(), "VmHWM").value_or(0);
  std::printf("[faults] 100 MiB line echoed: %lld ms (%lld ms to take it in), bridge peak RSS %zu KiB\n",
              ms_since(start), sent_ms, peak_kib);
  // The line, its tree, the body sent, the answer received and its tree, the
  // reply line: a handful of copies at most, never one per read.
  if (testing::kMemoryBoundsHold) {
    EXPECT_LT(peak_kib, 10 * (kSize >> 10));
  }
  ASSERT_TRUE(bridge->send(ping(2)));
  EXPECT_EQ(bridge->read_line(), pong(2));
  bridge->close_stdin();
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(FaultsTest, KeepsRunningWhenTheHostClosesItsOutput) {
  auto server = start_stand_in();
  auto bridge = start_bridge();
  bridge->close_stdout_reader();
  for (int id = 1; id <= 5; ++id) ASSERT_TRUE(bridge->send(ping(id)));
  ASSERT_TRUE(server->wait_for_requests(5, 10s));
  // Initialize runs on the reading thread and writes its reply there.
  ASSERT_TRUE(bridge->send(R"({"jsonrpc":"2.0","id":6,"method":"initialize"})"));
  ASSERT_TRUE(bridge->send("not json"));
  ASSERT_TRUE(bridge->send(ping(7)));
  EXPECT_TRUE(server->wait_for_requests(7, 10s)) << "the bridge stopped reading";
  bridge->close_stdin();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->stderr_text(), "");
}

TEST_F(FaultsTest, TenThousandBlankLinesGetNoReply) {
  auto server = start_stand_in();
  auto bridge = start_bridge();
  // Empty, ASCII blanks, a lone CR, and Unicode spaces: no-break, em, line
  // separator, ideographic.
  const std::vector<std::string> blanks = {
      "", " ", "\t", " \t  ", "\r", "\x0B\x0C", "\xC2\xA0", "\xE2\x80\x83", "\xE2\x80\xA8",
      "\xE3\x80\x80 "};
  std::string input;
  for (int i = 0; i < 10000; ++i) input += blanks[i % blanks.size()] + "\n";
  ASSERT_TRUE(bridge->write(input));
  ASSERT_TRUE(bridge->send(ping(1)));
  EXPECT_EQ(bridge->read_line(), pong(1)) << "the first line out must be the reply";
  bridge->close_stdin();
  EXPECT_TRUE(bridge->read_all_lines(5s).empty());
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(server->requests().size(), 1u) << "a blank line was sent on";
}

}  // namespace
}  // namespace bridge
