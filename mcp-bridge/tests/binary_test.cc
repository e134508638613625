// The real binary, started as a host starts it, against the stand-in
// application, with fake ps and open first on PATH.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "json.h"
#include "stand_in/settings_file.h"
#include "stand_in/stand_in.h"
#include "support/bridge_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "support/replies.h"
#include "support/sanitizers.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using testing::BridgeProcess;
using testing::ProcessOptions;
using testing::kParseError;

const std::string kUnreachableReply = testing::error_line("1", testing::kUnreachable);

std::string ping(int id) { return R"({"id":)" + std::to_string(id) + R"(,"method":"ping"})"; }

std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }

// An echo that the application answers after `delay_ms`, and its answer.
std::string slow_echo(int id, int delay_ms) {
  return R"({"id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"t)" +
         std::to_string(id) + R"(","delay_ms":)" + std::to_string(delay_ms) + "}}}";
}

std::string echoed(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":"t)" +
         std::to_string(id) + R"(","type":"text"}]}})";
}

int id_of(const std::string& line) {
  const size_t at = line.find(R"("id":)");
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 5);
}

// The next `count` lines, in id order.
std::vector<std::string> sorted_lines(BridgeProcess& bridge, size_t count) {
  std::vector<std::string> lines;
  while (lines.size() < count) {
    auto line = bridge.read_line();
    if (!line) break;
    lines.push_back(std::move(*line));
  }
  std::sort(lines.begin(), lines.end(),
            [](const std::string& a, const std::string& b) { return id_of(a) < id_of(b); });
  return lines;
}

// Sends `count` echoes that the application answers after a second each, ids
// 1 to `count`, and gives the replies in id order.
std::vector<std::string> slow_echoes(BridgeProcess& bridge, int count) {
  std::string input;
  for (int id = 1; id <= count; ++id) input += slow_echo(id, 1000) + "\n";
  bridge.write(input);
  return sorted_lines(bridge, static_cast<size_t>(count));
}


class BinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = stand_in::Server::start({});
    ASSERT_TRUE(server_);
    // Fake ps and open log their arguments; open "starts" the application by
    // putting its settings file in place, and chatters on its output.
    dir_.write("bin/ps", "#!/bin/sh\necho \"$@\" >> \"" + dir_.path + "/ps.log\"\n", true);
    dir_.write("bin/open",
               "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" + dir_.path +
                   "/open.log\"\necho 'open says hello'\necho 'open warns' >&2\n"
                   "cp \"" + dir_.path + "/ready.json\" \"" + dir_.path + "/settings/mcp.json\"\n",
               true);
    ASSERT_TRUE(server_->write_settings(dir_.path, true));
    std::filesystem::rename(dir_.path + "/mcp.json", dir_.path + "/ready.json");
    std::filesystem::create_directories(dir_.path + "/settings");
  }

  ProcessOptions options() {
    ProcessOptions o;
    o.env["TORVELA_MCP_DIR"] = dir_.path + "/settings";
    o.env["PATH"] = dir_.path + "/bin:" + std::string(::getenv("PATH"));
    return o;
  }

  void app_up() {
    std::filesystem::copy_file(dir_.path + "/ready.json", dir_.path + "/settings/mcp.json",
                               std::filesystem::copy_options::overwrite_existing);
  }

  // A copy of the binary at `relative` under the scratch directory.
  std::string install(const std::string& relative) {
    const std::string target = dir_.path + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    std::filesystem::copy_file(testing::bridge_binary(), target);
    return target;
  }

  TempDir dir_;
  std::unique_ptr<stand_in::Server> server_;
};

TEST_F(BinaryTest, ServesASessionAndExitsCleanly) {
  app_up();
  BridgeProcess bridge(options());
  bridge.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
  const auto init = bridge.read_line();
  ASSERT_TRUE(init);
  EXPECT_EQ(*init,
            R"({"id":0,"jsonrpc":"2.0","result":{"capabilities":{"resources":{},"tools":{}},)"
            R"("protocolVersion":"2025-06-18","serverInfo":{"name":"stand-in","version":"1.0"}}})");
  bridge.send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
  bridge.send("not json");
  EXPECT_EQ(bridge.read_line(), kParseError);
  bridge.send(R"({"jsonrpc":"2.0","id":"e","method":"tools/call","params":{"name":"echo","arguments":{"text":"a\"b\nc"}}})");
  EXPECT_EQ(bridge.read_line(),
            R"({"id":"e","jsonrpc":"2.0","result":{"content":[{"text":"a\"b\nc","type":"text"}]}})");
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.stderr_text(), "");
  // The version the application reported rides on the next request.
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(stand_in::find_header(requests[0], "MCP-Protocol-Version"), nullptr);
  ASSERT_NE(stand_in::find_header(requests[2], "MCP-Protocol-Version"), nullptr);
  EXPECT_EQ(*stand_in::find_header(requests[2], "MCP-Protocol-Version"), "2025-06-18");
}

TEST_F(BinaryTest, OutsideABundleNothingIsLaunched) {
  BridgeProcess bridge(options());
  bridge.send(R"({"id":1,"method":"ping"})");
  EXPECT_EQ(bridge.read_line(), kUnreachableReply);
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(dir_.read("open.log"), "");
  EXPECT_EQ(dir_.read("ps.log"), "");
}

TEST_F(BinaryTest, LaunchesTheBundleThatHoldsIt) {
  const std::string bundle = std::filesystem::canonical(dir_.path).string() + "/Some.app";
  struct Case {
    std::string installed;  // where the binary lies, under the scratch directory
    std::string started;    // the path it is started by ("" = the same)
  };
  const Case kCases[] = {
      {"Some.app/Contents/MacOS/mcp-bridge", ""},
      {"Some.app/Contents/Resources/helper", ""},
      {"Some.app/Contents/MacOS/linked", "outside/bridge-link"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.installed);
    std::filesystem::remove_all(dir_.path + "/Some.app");
    std::filesystem::remove_all(dir_.path + "/outside");
    std::filesystem::remove(dir_.path + "/settings/mcp.json");
    std::filesystem::remove(dir_.path + "/open.log");
    ProcessOptions o = options();
    o.program = install(c.installed);
    if (!c.started.empty()) {
      std::filesystem::create_directories(dir_.path + "/outside");
      std::filesystem::create_symlink(o.program, dir_.path + "/" + c.started);
      o.program = dir_.path + "/" + c.started;
    }
    BridgeProcess bridge(o);
    // Two requests find the application down together: one launch, both wait.
    bridge.send(R"({"id":1,"method":"ping"})");
    bridge.send(R"({"id":2,"method":"ping"})");
    auto first = bridge.read_line(20s), second = bridge.read_line(20s);
    ASSERT_TRUE(first && second);
    if (*first > *second) std::swap(*first, *second);
    EXPECT_EQ(*first, R"({"id":1,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(*second, R"({"id":2,"jsonrpc":"2.0","result":{}})");
    bridge.close_stdin();
    EXPECT_EQ(bridge.read_all_lines(), std::vector<std::string>{}) << "open's output leaked";
    EXPECT_EQ(bridge.wait(), 0);
    EXPECT_EQ(dir_.read("open.log"),
              "-g\n-j\n-a\n" + bundle + "\n--args\n--background\n--for-mcp\n");
    EXPECT_NE(bridge.stderr_text().find("open says hello"), std::string::npos);
  }
}

TEST_F(BinaryTest, ACancelledRequestGetsNoLine) {
  app_up();
  BridgeProcess bridge(options());
  bridge.send(R"({"id":1,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":30}}})");
  ASSERT_TRUE(server_->wait_for_requests(1, 5s));
  bridge.send(R"({"method":"notifications/cancelled","params":{"requestId":1,"reason":"user"}})");
  bridge.send(R"({"id":2,"method":"ping"})");
  EXPECT_EQ(bridge.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u) << "the notice itself is never sent on";
  EXPECT_TRUE(requests[0].closed_early);
}

TEST_F(BinaryTest, KeepsWorkingWhenTheHostStopsReading) {
  app_up();
  BridgeProcess bridge(options());
  bridge.close_stdout_reader();
  for (int i = 0; i < 20; ++i) {
    bridge.send(R"({"id":)" + std::to_string(i) + R"(,"method":"tools/call","params":{"name":"large","arguments":{"bytes":100000}}})");
  }
  ASSERT_TRUE(server_->wait_for_requests(20, 10s));
  bridge.send(R"({"method":"notifications/initialized"})");
  ASSERT_TRUE(server_->wait_for_requests(21, 10s)) << "reading stopped";
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST_F(BinaryTest, ClosedStandardDescriptorsAreFilledWithTheNullDevice) {
  app_up();
  ProcessOptions o = options();
  o.close_stdout = o.close_stderr = true;
  BridgeProcess bridge(o);
  // Requests open sockets and files; none of them may land on 1 or 2.
  for (int i = 0; i < 5; ++i) bridge.send(R"({"id":)" + std::to_string(i) + R"(,"method":"ping"})");
  ASSERT_TRUE(server_->wait_for_requests(5, 5s));
  for (const char* fd : {"1", "2"}) {
    SCOPED_TRACE(fd);
    std::error_code error;
    const auto target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(bridge.pid()) + "/fd/" + fd, error);
    EXPECT_EQ(target.string(), "/dev/null");
  }
  for (const auto& request : server_->requests()) {
    EXPECT_EQ(request.body.find("jsonrpc\":\"2.0\",\"result"), std::string::npos);
  }
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);

  // Without standard input there is nothing to read: the bridge ends at once.
  ProcessOptions no_input = options();
  no_input.close_stdin = true;
  BridgeProcess idle(no_input);
  EXPECT_EQ(idle.wait(5s), 0);
  EXPECT_EQ(idle.read_all_lines(1s), std::vector<std::string>{});
}

TEST_F(BinaryTest, InvalidUtf8EndsTheSessionAfterRunningRequests) {
  app_up();
  BridgeProcess bridge(options());
  bridge.send(R"({"id":1,"method":"tools/call","params":{"name":"echo","arguments":{"text":"x","delay_ms":300}}})");
  bridge.send("{\"id\":2,\"method\":\"ping\",\"x\":\"\xC3\x28\"}");
  bridge.send(R"({"id":3,"method":"ping"})");
  EXPECT_EQ(bridge.wait(10s), 0);
  EXPECT_EQ(bridge.read_all_lines(2s),
            std::vector<std::string>{
                R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"x","type":"text"}]}})"});
  EXPECT_EQ(server_->requests().size(), 1u);
}

// A host that ignores SIGCHLD passes that on; the launcher must still learn
// that `open` succeeded.
TEST_F(BinaryTest, LaunchesWhenTheHostIgnoresSigchld) {
  ProcessOptions o = options();
  o.program = install("Some.app/Contents/MacOS/mcp-bridge");
  o.ignore_sigchld = true;
  BridgeProcess bridge(o);
  bridge.send(ping(1));
  bridge.send(ping(2));
  EXPECT_EQ(sorted_lines(bridge, 2), (std::vector<std::string>{pong(1), pong(2)}));
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(dir_.read("open.log"),
            "-g\n-j\n-a\n" + std::filesystem::canonical(dir_.path).string() +
                "/Some.app\n--args\n--background\n--for-mcp\n");
}

// A ps that never ends holds the launch for its bound of 3 s only: then open
// runs, and an initialize, which holds the reading thread meanwhile, is
// answered; the bridge reads on to the end of its input.
TEST_F(BinaryTest, APsThatNeverEndsHoldsALaunchForItsBoundOnly) {
  dir_.write("bin/ps", "#!/bin/sh\necho $$ > '" + dir_.path + "/ps.pid'\nexec sleep 600\n", true);
  ProcessOptions o = options();
  o.program = install("Some.app/Contents/MacOS/mcp-bridge");
  BridgeProcess bridge(o);
  const auto start = std::chrono::steady_clock::now();
  bridge.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
  const auto reply = bridge.read_line(25s);
  const auto took = std::chrono::steady_clock::now() - start;
  // Killed and reaped by the bridge, which is still running: a zombie would
  // still take the signal, and one left running is ended here.
  const auto ps = static_cast<pid_t>(std::atol(dir_.read("ps.pid").c_str()));
  ASSERT_GT(ps, 0);
  EXPECT_TRUE(::kill(ps, SIGKILL) != 0 && errno == ESRCH) << "ps was left running or unreaped";
  ASSERT_TRUE(reply) << "no answer within 25 s";
  EXPECT_NE(reply->find(R"("protocolVersion":"2025-06-18")"), std::string::npos) << *reply;
  EXPECT_GE(took, 3s);
  EXPECT_LT(took, 10s);
  EXPECT_NE(dir_.read("open.log"), "");
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(5s), 0);
}

// Standard input and output handed over non-blocking: the bridge waits for
// input instead of taking "nothing yet" for its end, and writes a reply larger
// than the pipe whole, while the host is slow to read it.
TEST_F(BinaryTest, WaitsOnNonBlockingStandardStreams) {
  app_up();
  ProcessOptions o = options();
  o.nonblocking_stdio = true;
  BridgeProcess bridge(o);
  std::this_thread::sleep_for(300ms);
  constexpr size_t kSize = 200000;
  bridge.send(R"({"id":1,"method":"tools/call","params":{"name":"large","arguments":{"bytes":200000}}})");
  bridge.send(ping(2));
  ASSERT_TRUE(server_->wait_for_requests(2, 5s));
  std::this_thread::sleep_for(300ms);
  std::string text(kSize, 'a');
  for (size_t i = 0; i < kSize; ++i) text[i] = static_cast<char>('a' + i % 26);
  const std::string large =
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":")" + text + R"(","type":"text"}]}})";
  const auto lines = sorted_lines(bridge, 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0] == large) << "the large reply came as " << lines[0].size() << " bytes";
  EXPECT_EQ(lines[1], pong(2));
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(5s), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
}

// A FIFO without a writer, an endless device and an oversized file in place
// of the settings file: each is no settings, like a missing file.
TEST_F(BinaryTest, ASettingsFileThatIsNoSmallRegularFileCountsAsMissing) {
  const std::string file = dir_.path + "/settings/mcp.json";
  const std::string ready = dir_.read("ready.json");
  const std::vector<std::pair<std::string, std::function<void()>>> kCases = {
      {"fifo", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
      {"/dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", file); }},
      {"over 1 MiB", [&] { dir_.write("settings/mcp.json", ready + std::string(1 << 20, ' ')); }},
  };
  BridgeProcess bridge(options());
  int id = 0;
  for (const auto& [name, make] : kCases) {
    SCOPED_TRACE(name);
    std::filesystem::remove(file);
    make();
    bridge.send(ping(++id));
    EXPECT_EQ(bridge.read_line(5s), testing::error_line(std::to_string(id), testing::kUnreachable));
  }
  EXPECT_EQ(server_->requests().size(), 0u);
}

// The host cancels a request while its connect is still running into the time
// limit: neither ps nor open may run for it, and it gets no line.
TEST_F(BinaryTest, ARequestCancelledWhileConnectingLaunchesNothing) {
  // A listener whose queue is full takes no more connections and refuses none:
  // a connect to it lasts until the bridge's limit of 2 s.
  const testing::Listener full = testing::listen_loopback(0);
  std::vector<Fd> queued;
  for (int i = 0; i < 2; ++i) {
    queued.emplace_back(open_tcp_socket());
    const sockaddr_in address = testing::loopback_address(full.port);
    ::connect(queued.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  ASSERT_TRUE(stand_in::write_settings_file(dir_.path + "/settings", full.port, "t", true));
  ProcessOptions o = options();
  o.program = install("Some.app/Contents/MacOS/mcp-bridge");
  BridgeProcess bridge(o);
  bridge.send(ping(1));
  std::this_thread::sleep_for(300ms);
  bridge.send(R"({"method":"notifications/cancelled","params":{"requestId":1}})");
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(10s), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(dir_.read("ps.log"), "");
  EXPECT_EQ(dir_.read("open.log"), "");
}

// macOS starts a process with a soft limit of 256 descriptors, and every
// request in flight holds two. The bridge raises the soft limit at start.
TEST_F(BinaryTest, ManyRequestsInFlightUnderASoftDescriptorLimit) {
  app_up();
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1024) GTEST_SKIP() << "hard limit too low";
  limit.rlim_cur = 256;
  ProcessOptions o = options();
  o.limits[RLIMIT_NOFILE] = limit;
  BridgeProcess bridge(o);
  constexpr int kRequests = 150;
  const auto lines = slow_echoes(bridge, kRequests);
  ASSERT_EQ(lines.size(), size_t{kRequests});
  for (int id = 1; id <= kRequests; ++id) EXPECT_EQ(lines[id - 1], echoed(id));
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);
}

// With the hard limit at 256, requests beyond what the descriptors allow get
// the resource error at once; none counts as the application being down.
TEST_F(BinaryTest, AtAHardDescriptorLimitEachRequestGetsOneReplyAndNothingIsLaunched) {
  app_up();
  ProcessOptions o = options();
  o.program = install("Some.app/Contents/MacOS/mcp-bridge");
  o.limits[RLIMIT_NOFILE] = rlimit{256, 256};
  BridgeProcess bridge(o);
  constexpr int kRequests = 300;
  const auto lines = slow_echoes(bridge, kRequests);
  ASSERT_EQ(lines.size(), size_t{kRequests});
  int refused = 0;
  for (int id = 1; id <= kRequests; ++id) {
    const std::string refusal = testing::error_line(std::to_string(id), testing::kNoResources);
    if (lines[id - 1] == refusal) ++refused;
    EXPECT_TRUE(lines[id - 1] == echoed(id) || lines[id - 1] == refusal) << lines[id - 1];
  }
  std::printf("[binary] %d of %d requests refused for lack of descriptors\n", refused, kRequests);
  EXPECT_GT(refused, 0) << "the limit was never reached";
  EXPECT_LT(refused, kRequests);
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(5s), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(dir_.read("ps.log"), "");
  EXPECT_EQ(dir_.read("open.log"), "");
}

// A cancellation that follows its request at once, in the same write, always
// counts: no request is answered, and none runs to its end in the
// application.
TEST_F(BinaryTest, ACancellationRightAfterItsRequestAlwaysCounts) {
  app_up();
  BridgeProcess bridge(options());
  constexpr int kPairs = 200;
  std::string input;
  for (int id = 1; id <= kPairs; ++id) {
    input += slow_echo(id, 2000) + "\n" + R"({"method":"notifications/cancelled","params":{"requestId":)" +
             std::to_string(id) + "}}\n";
  }
  bridge.write(input + ping(kPairs + 1) + "\n");
  EXPECT_EQ(bridge.read_line(), pong(kPairs + 1));
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
  for (const auto& request : server_->requests()) {
    if (request.method == "tools/call") {
      EXPECT_TRUE(request.closed_early);
    }
  }
}

// Under an address-space limit, threads and memory run out: a request whose
// thread cannot be started gets the resource error, a message too large for
// the memory left fails alone, and every other message is answered as usual.
TEST_F(BinaryTest, UnderAnAddressSpaceLimitEachMessageGetsItsOwnLine) {
  if (!testing::kMemoryBoundsHold) GTEST_SKIP() << "sanitizers reserve far more address space";
  app_up();
  ProcessOptions o = options();
  o.limits[RLIMIT_AS] = rlimit{64 << 20, 64 << 20};
  BridgeProcess bridge(o);
  constexpr int kRequests = 300;
  const auto lines = slow_echoes(bridge, kRequests);
  ASSERT_EQ(lines.size(), size_t{kRequests}) << "replies were lost";
  int refused = 0;
  for (int id = 1; id <= kRequests; ++id) {
    const std::string refusal = testing::error_line(std::to_string(id), testing::kNoResources);
    if (lines[id - 1] == refusal) ++refused;
    EXPECT_TRUE(lines[id - 1] == echoed(id) || lines[id - 1] == refusal) << lines[id - 1];
  }
  std::printf("[binary] %d of %d requests found no thread\n", refused, kRequests);
  EXPECT_GT(refused, 0) << "the limit was never reached";
  // A 40 MiB answer, and a 24 MiB line from the host, each beyond what is left.
  bridge.send(R"({"id":1,"method":"tools/call","params":{"name":"large","arguments":{"bytes":41943040}}})");
  bridge.send(R"({"id":2,"method":"tools/call","params":{"name":"echo","arguments":{"text":")" +
              std::string(24 << 20, 'x') + R"("}}})");
  const auto large = sorted_lines(bridge, 2);
  ASSERT_EQ(large.size(), 2u);
  for (const auto& line : large) EXPECT_LT(line.size(), size_t{1000}) << "answered in full after all";
  // A 28 MiB answer that finds no room to be held or written still gets a
  // reply: the lost error, not silence.
  bridge.send(R"({"id":4,"method":"tools/call","params":{"name":"large","arguments":{"bytes":29360128}}})");
  EXPECT_EQ(bridge.read_line(), testing::error_line("4", testing::kLost));
  bridge.send(ping(3));
  EXPECT_EQ(bridge.read_line(), pong(3));
  bridge.close_stdin();
  EXPECT_EQ(bridge.read_all_lines(5s), std::vector<std::string>{});
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
}  // namespace bridge
