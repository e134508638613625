// Runs of the real binary that take the product's own 150-second limits; CTest
// label "slow", left out of the default run (ctest -L slow runs them).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "stand_in/settings_file.h"
#include "support/bridge_process.h"
#include "support/loopback.h"
#include "support/replies.h"
#include "support/temp_dir.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;

// An application that accepts the connection of an "initialize" far larger
// than the socket buffers and never reads it: after 150 s without room to
// send, the host hears that the connection was lost, and the bridge reads on.
TEST(SlowTest, AnInlineMessageTheApplicationNeverReadsEndsAfterTheLimit) {
  TempDir dir;
  const testing::Listener listener = testing::listen_loopback();
  ASSERT_TRUE(stand_in::write_settings_file(dir.path, listener.port, "t", true));
  std::atomic<bool> done{false};
  std::jthread application([&] {
    const Fd held = testing::accept_within(listener, 5000ms);
    while (!done) std::this_thread::sleep_for(50ms);
  });
  testing::ProcessOptions options;
  options.env["TORVELA_MCP_DIR"] = dir.path;
  testing::BridgeProcess bridge(options);
  bridge.send(R"({"id":1,"method":"initialize","params":{"pad":")" + std::string(16 << 20, 'p') +
              R"("}})");
  EXPECT_EQ(bridge.read_line(200s), testing::error_line("1", testing::kLost));
  done = true;
  // The next line is read and answered: here the application is gone.
  const testing::Listener refusing = testing::listen_loopback(-1);
  ASSERT_TRUE(stand_in::write_settings_file(dir.path, refusing.port, "t", true));
  bridge.send(R"({"id":2,"method":"ping"})");
  EXPECT_EQ(bridge.read_line(), testing::error_line("2", testing::kUnreachable));
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
}  // namespace bridge
