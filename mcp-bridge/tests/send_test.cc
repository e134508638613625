#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http.h"
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
