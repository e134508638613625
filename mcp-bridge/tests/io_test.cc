// Waiting on descriptors, through poll and through the select fallback that
// serves descriptors poll refuses (terminals on macOS).
#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

namespace bridge {
namespace {

using namespace std::chrono_literals;

TEST(WaitTest, SelectWaitsLikePoll) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  using WaitFunction = std::function<Wait(int, short, Deadline)>;
  const std::pair<const char*, WaitFunction> kWaits[] = {{"poll", wait_until},
                                                         {"select", wait_with_select}};
  for (const auto& [name, wait] : kWaits) {
    SCOPED_TRACE(name);
    const auto start = Clock::now();
    EXPECT_EQ(wait(ends[0], POLLIN, deadline_after(100ms)), Wait::kTimedOut);
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_EQ(wait(ends[1], POLLOUT, std::nullopt), Wait::kReady);
    ASSERT_EQ(::write(ends[1], "x", 1), 1);
    EXPECT_EQ(wait(ends[0], POLLIN, std::nullopt), Wait::kReady);
    char byte;
    ASSERT_EQ(::read(ends[0], &byte, 1), 1);
  }
  ::close(ends[0]);
  ::close(ends[1]);
  // A descriptor that is not open is no wait at all.
  EXPECT_EQ(wait_until(ends[0], POLLIN, std::nullopt), Wait::kFailed);
  EXPECT_EQ(wait_with_select(FD_SETSIZE, POLLIN, std::nullopt), Wait::kFailed);
}

}  // namespace
}  // namespace bridge
