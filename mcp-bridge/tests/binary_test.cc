// The real binary, started as a host starts it, against the stand-in
// application, with fake ps and open first on PATH.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "json.h"
#include "stand_in/stand_in.h"
#include "support/bridge_process.h"
#include "support/temp_dir.h"
#include "support/replies.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using testing::BridgeProcess;
using testing::ProcessOptions;
using testing::kParseError;

const std::string kUnreachableReply = testing::error_line("1", testing::kUnreachable);


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

}  // namespace
}  // namespace bridge
