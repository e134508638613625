#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http.h"
#include "tcp.h"
#include "support/loopback.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using Kind = SendOutcome::Kind;

constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\n\r\nok";

// The head lines every request starts with, up to the length.
std::string fixed_head(uint16_t port, std::string_view token) {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nAuthorization: Bearer " + std::string(token) +
         "\r\nContent-Type: application/json\r\nAccept: application/json, text/event-stream\r\n";
}

TEST(SendTest, WritesTheRequestByteForByte) {
  struct Case {
    const char* name;
    std::string token;
    Headers headers;
    std::string body;
    std::string rest;  // what follows the fixed head lines
  };
  const Case kCases[] = {
      {"bare", "", {}, "", "Content-Length: 0\r\nConnection: close\r\n\r\n"},
      {"extra headers in order",
       "s3cr3t ok",
       {{"MCP-Protocol-Version", "2025-06-18"}, {"Mcp-Method", "tools/call"}, {"Mcp-Name", "a b"}},
       R"({"id":1})",
       "Content-Length: 8\r\nConnection: close\r\nMCP-Protocol-Version: 2025-06-18\r\n"
       "Mcp-Method: tools/call\r\nMcp-Name: a b\r\n\r\n{\"id\":1}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    InFlight map;
    const auto listener = testing::listen_loopback();
    std::string request;
    auto peer = testing::serve_one(listener, [&](Fd connection) {
      request = testing::read_request(connection.get());
      testing::write_fully(connection.get(), kOk);
    });
    const auto outcome = send(map, {listener.port, c.token}, c.headers, c.body, nullptr);
    peer.join();
    EXPECT_EQ(request, fixed_head(listener.port, c.token) + c.rest);
    EXPECT_EQ(outcome.kind, Kind::kResponse);
    EXPECT_EQ(outcome.response.body(), "ok");
  }
}

TEST(SendTest, ReadsTheResponseToTheEndOfTheStream) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;  // written with a pause between them
    Kind kind;
    std::string body;
    bool reset = false;  // the application resets the connection at the end
  };
  // Past the first read's room, so that the announced length sizes the buffer.
  const std::string big(10000, 'x');
  const std::string big_head = "HTTP/1.1 200 OK\r\nContent-Length: ";
  const Case kCases[] = {
      // Content-Length only sizes the buffer: the body is what comes until
      // the end of the stream, whatever the header says.
      {"length exact",
       {big_head + "10000\r\n\r\n" + big.substr(0, 10), big.substr(10)},
       Kind::kResponse,
       big},
      {"length too small", {big_head + "2\r\n\r\nhello"}, Kind::kResponse, "hello"},
      {"length too small, then more",
       {big_head + "5000\r\n\r\n" + big.substr(0, 10), big.substr(10)},
       Kind::kResponse,
       big},
      {"length too large", {big_head + "100000\r\n\r\nhello"}, Kind::kResponse, "hello"},
      {"length absurd", {big_head + "18446744073709551615\r\n\r\nhello"}, Kind::kResponse, "hello"},
      {"length not a number", {big_head + "12a\r\n\r\nhello"}, Kind::kResponse, "hello"},
      {"length with chunks",
       {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: "
        "chunked\r\n\r\n3\r\nabc\r\n0\r\n"},
       Kind::kResponse,
       "abc"},
      {"plain", {"HTTP/1.1 200 OK\r\n\r\n{\"a\":1}"}, Kind::kResponse, "{\"a\":1}"},
      {"plain in pieces", {"HTTP/1.1 2", "00 OK\r\n\r", "\n{", "}"}, Kind::kResponse, "{}"},
      {"chunked in pieces",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r", "\nabc\r\n1", "\r\nd\r\n0\r\n"},
       Kind::kResponse,
       "abcd"},
      // Each wait is bounded, not the whole: 6 pauses add up to more than
      // the 400 ms limit.
      {"trickle",
       {"HTTP/1.1 200 OK\r\n\r\n", "a", "b", "c", "d", "e", "f"},
       Kind::kResponse,
       "abcdef"},
      // After a reset, only an answer that its framing shows whole is kept.
      {"length satisfied, then reset", {big_head + "5\r\n\r\nhello"}, Kind::kResponse, "hello",
       true},
      {"last chunk, then reset",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n"},
       Kind::kResponse,
       "abc",
       true},
      {"length short, then reset", {big_head + "9\r\n\r\nhello"}, Kind::kBroken, "", true},
      {"no framing, then reset", {"HTTP/1.1 200 OK\r\n\r\nhello"}, Kind::kBroken, "", true},
      {"closed without an answer", {}, Kind::kBroken, ""},
      {"not HTTP", {"hello"}, Kind::kBroken, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    InFlight map;
    const auto listener = testing::listen_loopback();
    auto peer = testing::serve_one(listener, [&](Fd connection) {
      testing::read_request(connection.get());
      for (const auto& piece : c.pieces) {
        std::this_thread::sleep_for(100ms);
        testing::write_fully(connection.get(), piece);
      }
      if (c.reset) testing::reset_connection(connection);
    });
    const auto outcome = send(map, {listener.port, "t"}, {}, "{}", nullptr, Limits{2000ms, 400ms});
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.response.body(), c.body);
  }
}

TEST(SendTest, NothingListeningIsNotConnectedAtOnce) {
  const auto refusing = testing::listen_loopback(-1);
  InFlight map;
  const std::string key = "1";
  start_flight(map, key);
  const auto start = Clock::now();
  const auto outcome = send(map, {refusing.port, "t"}, {}, "{}", &key, Limits{5000ms, 5000ms});
  EXPECT_EQ(outcome.kind, Kind::kNotConnected);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(finish_flight(map, key), false);
}

// A listener whose queue is full drops further connection attempts, the way
// an address that swallows them would.
TEST(SendTest, ConnectGivesUpAfterItsLimit) {
  const auto listener = testing::listen_loopback(0);
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back(open_tcp_socket());
    const sockaddr_in address = testing::loopback_address(listener.port);
    ::connect(fillers.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  InFlight map;
  const auto start = Clock::now();
  const auto outcome = send(map, {listener.port, "t"}, {}, "{}", nullptr, Limits{300ms, 5000ms});
  const auto took = Clock::now() - start;
  EXPECT_EQ(outcome.kind, Kind::kNotConnected);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 2s);
}

// Without the end of the stream the exchange never completes, answered or
// not; it breaks off once a wait for data exceeds the receive limit.
TEST(SendTest, SilenceBreaksTheExchangeAfterTheReceiveLimit) {
  struct Case {
    const char* name;
    std::string answer;
  };
  const Case kCases[] = {{"never answers", ""},
                         {"answers, keeps the connection", std::string(kOk)}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    InFlight map;
    const auto listener = testing::listen_loopback();
    std::optional<std::string> after_answer;
    auto peer = testing::serve_one(listener, [&](Fd connection) {
      testing::read_request(connection.get());
      testing::write_fully(connection.get(), c.answer);
      after_answer = testing::read_to_close(connection.get(), 3000ms);
    });
    const auto start = Clock::now();
    const auto outcome = send(map, {listener.port, "t"}, {}, "{}", nullptr, Limits{2000ms, 200ms});
    const auto took = Clock::now() - start;
    peer.join();
    EXPECT_EQ(outcome.kind, Kind::kBroken);
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(after_answer, "");  // the bridge closed the connection
  }
}

// Larger than any socket buffers, so that sending blocks when nobody reads.
std::string large_body() { return std::string(8 << 20, 'b'); }

// An application that will not take a body answers before reading it and
// closes: its answer is what the host gets, not a lost connection.
TEST(SendTest, KeepsAnAnswerGivenBeforeTheBodyWasRead) {
  InFlight map;
  const auto listener = testing::listen_loopback();
  constexpr std::string_view kRefusal =
      "HTTP/1.1 413 Too Large\r\nContent-Length: 15\r\n\r\n{\"error\":\"big\"}";
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    testing::read_until(connection.get(), 2000ms, [](std::string_view bytes) {
      return bytes.find("\r\n\r\n") != std::string_view::npos;
    });
    testing::write_fully(connection.get(), kRefusal);
    std::this_thread::sleep_for(200ms);
    testing::reset_connection(connection);
  });
  const auto outcome =
      send(map, {listener.port, "t"}, {}, large_body(), nullptr, Limits{2000ms, 5000ms});
  peer.join();
  ASSERT_EQ(outcome.kind, Kind::kResponse);
  EXPECT_EQ(outcome.response.status, 413);
  EXPECT_EQ(outcome.response.body(), R"({"error":"big"})");
}

// Sending is bounded like receiving: an application that takes no more of
// the request breaks the exchange once a wait for room exceeds the limit.
TEST(SendTest, AnApplicationThatStopsReadingBreaksTheExchange) {
  InFlight map;
  const auto listener = testing::listen_loopback();
  std::atomic<bool> done{false};
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    EXPECT_TRUE(connection);  // held open, never read
    const auto until = Clock::now() + 5s;
    while (!done && Clock::now() < until) std::this_thread::sleep_for(10ms);
  });
  const auto start = Clock::now();
  const auto outcome =
      send(map, {listener.port, "t"}, {}, large_body(), nullptr, Limits{2000ms, 300ms});
  const auto took = Clock::now() - start;
  done = true;
  EXPECT_EQ(outcome.kind, Kind::kBroken);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
}

// In a network namespace of its own whose ephemeral range is one port, a
// child process meets what a crowded machine meets by chance: a connect to
// that port finds itself, and a second connection to one peer finds no port.
// Exit status: 0 when the bridge saw both for what they are, 77 when the
// namespace cannot be made here.
int run_in_a_one_port_namespace() {
  constexpr uint16_t kEphemeral = 40000, kListening = 40001;
  if (::unshare(CLONE_NEWNET) != 0) return 77;
  const Fd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq loopback{};
  std::strcpy(loopback.ifr_name, "lo");
  loopback.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
  if (::ioctl(control.get(), SIOCSIFFLAGS, &loopback) != 0) return 77;
  std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "w");
  if (range == nullptr || std::fprintf(range, "%d %d\n", kEphemeral, kEphemeral) < 0 ||
      std::fclose(range) != 0) {
    return 77;
  }
  ConnectFailure failure{};
  if (connect_loopback(kEphemeral, 2000ms, &failure) || failure != ConnectFailure::kNotConnected) {
    return 1;  // connected to itself
  }
  Fd listener(open_tcp_socket());
  const sockaddr_in address = testing::loopback_address(kListening);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 4) != 0) {
    return 2;
  }
  const auto first = connect_loopback(kListening, 2000ms, &failure);
  if (!first) return 3;
  if (connect_loopback(kListening, 2000ms, &failure) || failure != ConnectFailure::kNoResources) {
    return 4;  // no local port left, taken for a missing application
  }
  return 0;
}

TEST(ConnectTest, NeverConnectsToItselfAndTellsALackOfPorts) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) std::_Exit(run_in_a_one_port_namespace());
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace of our own here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Both directions far exceed the socket buffers, so writes come back partial
// and reads come in many pieces.
TEST(SendTest, CarriesLargeBodiesIntact) {
  std::string request_body(8 << 20, '\0');
  std::string response_body(8 << 20, '\0');
  for (size_t i = 0; i < request_body.size(); ++i) {
    request_body[i] = static_cast<char>(i * 7 % 251);
    response_body[i] = static_cast<char>(i * 13 % 241);
  }
  InFlight map;
  const auto listener = testing::listen_loopback();
  std::string request;
  auto peer = testing::serve_one(listener, [&](Fd connection) {
    request = testing::read_request(connection.get(), 10000ms);
    testing::write_fully(connection.get(), "HTTP/1.1 200 OK\r\n\r\n" + response_body, 10000ms);
  });
  const auto outcome =
      send(map, {listener.port, "t"}, {}, request_body, nullptr, Limits{2000ms, 10000ms});
  peer.join();
  EXPECT_TRUE(request.ends_with("\r\n\r\n" + request_body));
  EXPECT_EQ(outcome.kind, Kind::kResponse);
  EXPECT_TRUE(outcome.response.body() == response_body);  // no 8 MB failure message
}

}  // namespace
}  // namespace bridge
