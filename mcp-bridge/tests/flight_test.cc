#include "flight.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "http.h"
#include "support/loopback.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using testing::Clock;

enum class Step { kStart, kAttach, kDetach, kCancel, kFinish };

// Whether the connection was shut down through one of its duplicates: the
// peer has sent nothing and is still there, so only a shutdown of our
// receiving direction makes a read end at once (the socket never blocks).
bool was_shut_down(const Fd& ours) {
  char byte;
  return ::read(ours.get(), &byte, 1) == 0;
}

TEST(FlightTest, FollowsTheEntryLifecycle) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int streams_held;  // duplicates still open in the map after the steps
    bool shut_down;
    bool cancelled;
    std::optional<bool> finished;
  };
  using enum Step;
  const Case kCases[] = {
      {"attached", {kStart, kAttach}, 1, false, false, false},
      {"attach again", {kStart, kAttach, kAttach}, 1, false, false, false},
      {"detached", {kStart, kAttach, kDetach}, 0, false, false, false},
      {"cancel while connected", {kStart, kAttach, kCancel}, 0, true, true, true},
      {"cancel twice", {kStart, kAttach, kCancel, kCancel, kDetach}, 0, true, true, true},
      {"attach after cancel", {kStart, kCancel, kAttach}, 0, true, true, true},
      {"cancel after detach", {kStart, kAttach, kDetach, kCancel}, 0, false, true, true},
      {"no entry to attach to", {kAttach}, 0, false, false, std::nullopt},
      {"restart closes, never shuts", {kStart, kAttach, kStart}, 0, false, false, false},
      {"restart forgets the cancel", {kStart, kCancel, kStart}, 0, false, false, false},
      {"cancel is not remembered", {kCancel, kStart}, 0, false, false, false},
      {"cancel after finish", {kStart, kAttach, kFinish, kCancel}, 0, false, false, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    InFlight map;
    const std::string key = "7";
    auto [ours, theirs] = testing::tcp_pair();
    const size_t before = testing::open_descriptors();
    for (const Step step : c.steps) {
      switch (step) {
        case kStart:
          start_flight(map, key);
          break;
        case kAttach:
          attach_stream(map, key, Fd(::fcntl(ours.get(), F_DUPFD_CLOEXEC, 0)));
          break;
        case kDetach:
          detach_stream(map, key);
          break;
        case kCancel:
          cancel(map, key);
          break;
        case kFinish:
          finish_flight(map, key);
          break;
      }
    }
    EXPECT_EQ(testing::open_descriptors(), before + c.streams_held);
    EXPECT_EQ(was_shut_down(ours), c.shut_down);
    EXPECT_EQ(is_cancelled(map, key), c.cancelled);
    EXPECT_EQ(finish_flight(map, key), c.finished);
    EXPECT_EQ(finish_flight(map, key), std::nullopt);
    EXPECT_EQ(testing::open_descriptors(), before);
    EXPECT_TRUE(map.flights.empty());
  }
}

TEST(FlightTest, KeysTellStringIdsFromNumbers) {
  InFlight map;
  start_flight(map, request_key(json_string("5")));
  cancel(map, request_key(json_unsigned(5)));
  EXPECT_FALSE(is_cancelled(map, request_key(json_string("5"))));
  cancel(map, request_key(json_string("5")));
  EXPECT_TRUE(is_cancelled(map, request_key(json_string("5"))));
}

// Runs `send` for `key` in a thread against `port`.
std::future<SendOutcome> send_async(InFlight& map, uint16_t port, const std::string& key,
                                    Limits limits) {
  return std::async(std::launch::async, [&map, port, key, limits] {
    return send(map, ConnectionSettings{port, "t"}, {}, "{}", &key, limits);
  });
}

TEST(FlightTest, CancelEndsAnExchangeBlockedInItsRead) {
  InFlight map;
  const std::string key = "1";
  const auto listener = testing::listen_loopback();
  std::promise<void> request_read;
  std::optional<std::string> after_request;
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    testing::read_request(connection.get());
    request_read.set_value();
    after_request = testing::read_to_close(connection.get(), 5000ms);
  });
  start_flight(map, key);
  auto outcome = send_async(map, listener.port, key, Limits{2000ms, 10000ms});
  ASSERT_EQ(request_read.get_future().wait_for(5s), std::future_status::ready);
  const auto cancelled_at = Clock::now();
  cancel(map, key);
  ASSERT_EQ(outcome.wait_for(5s), std::future_status::ready);
  EXPECT_LT(Clock::now() - cancelled_at, 1s);  // not the 10 s receive limit
  EXPECT_EQ(outcome.get().kind, SendOutcome::Kind::kBroken);
  peer.join();
  EXPECT_EQ(after_request, "");  // its read returned 0: the connection was shut down
  EXPECT_EQ(finish_flight(map, key), true);
}

TEST(FlightTest, CancelBeforeTheConnectionShutsItDownAtAttach) {
  InFlight map;
  const std::string key = "\"c\"";
  const auto listener = testing::listen_loopback();
  std::optional<std::string> received;
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    received = testing::read_to_close(connection.get(), 5000ms);
  });
  start_flight(map, key);
  cancel(map, key);
  const auto outcome =
      send(map, ConnectionSettings{listener.port, "t"}, {}, "{}", &key, Limits{2000ms, 10000ms});
  EXPECT_EQ(outcome.kind, SendOutcome::Kind::kBroken);
  peer.join();
  EXPECT_EQ(received, "");  // not one byte of the request went out
  EXPECT_EQ(finish_flight(map, key), true);
}

TEST(FlightTest, RequestsWithTheSameKeyShareOneEntry) {
  InFlight map;
  const std::string key = "9";
  const auto listener = testing::listen_loopback();
  std::promise<void> request_read;
  std::promise<void> answer;
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    testing::read_request(connection.get());
    request_read.set_value();
    if (answer.get_future().wait_for(5s) != std::future_status::ready) return;
    testing::write_fully(connection.get(), "HTTP/1.1 200 OK\r\n\r\nfirst");
  });
  start_flight(map, key);
  auto first = send_async(map, listener.port, key, Limits{2000ms, 10000ms});
  ASSERT_EQ(request_read.get_future().wait_for(5s), std::future_status::ready);
  // The second request replaces the entry, closing the first stream without
  // shutting it down; a cancel then no longer reaches the first connection.
  start_flight(map, key);
  cancel(map, key);
  answer.set_value();
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
  const auto outcome = first.get();
  EXPECT_EQ(outcome.kind, SendOutcome::Kind::kResponse);
  EXPECT_EQ(outcome.response.body(), "first");
  EXPECT_EQ(finish_flight(map, key), true);  // whichever finishes first removes it
  EXPECT_EQ(finish_flight(map, key), std::nullopt);
}

// Many exchanges on several threads, some failing, leave neither entries nor
// descriptors behind.
TEST(FlightTest, ExchangesLeakNothing) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  InFlight map;
  const auto listener = testing::listen_loopback(kThreads * 2);
  const auto refusing = testing::listen_loopback(-1);
  const size_t before = testing::open_descriptors();
  std::jthread server([&] {
    for (int i = 0; i < kThreads * kPerThread; ++i) {
      const Fd connection = testing::accept_within(listener, 2000ms);
      if (!connection) return;
      testing::read_request(connection.get());
      testing::write_fully(connection.get(), i % 10 ? "HTTP/1.1 200 OK\r\n\r\n{}" : "junk");
    }
  });
  std::atomic<int> answered = 0;
  std::atomic<int> left_attached = 0;  // a send must detach before it returns
  std::vector<std::jthread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string key = std::to_string(t * kPerThread + i);
        start_flight(map, key);
        const auto outcome = send(map, ConnectionSettings{listener.port, "t"}, {}, "{}", &key,
                                  Limits{2000ms, 5000ms});
        if (i % 5 == 0) send(map, ConnectionSettings{refusing.port, "t"}, {}, "{}", &key);
        if (outcome.kind == SendOutcome::Kind::kResponse) ++answered;
        {
          std::lock_guard lock(map.mutex);
          if (map.flights.at(key).stream) ++left_attached;
        }
        finish_flight(map, key);
      }
    });
  }
  clients.clear();
  server.join();
  EXPECT_EQ(answered, kThreads * kPerThread * 9 / 10);
  EXPECT_EQ(left_attached, 0);
  EXPECT_TRUE(map.flights.empty());
  EXPECT_EQ(testing::open_descriptors(), before);
}

}  // namespace
}  // namespace bridge
