#include "stand_in/stand_in.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fd.h"
#include "stand_in/message_json.h"

namespace stand_in {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<Server> start(Options options = {}) {
  if (!options.token) options.token = "tok";
  std::string error;
  auto server = Server::start(std::move(options), &error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

// A connection whose every read gives up after 10 s, so that no test can hang.
bridge::Fd connect_to(uint16_t port) {
  bridge::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval limit{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

void send_text(const bridge::Fd& fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

std::string read_to_end(const bridge::Fd& fd) {
  std::string all;
  char buffer[65536];
  ssize_t n;
  while ((n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0) all.append(buffer, n);
  return all;
}

std::string exchange(uint16_t port, std::string_view request) {
  bridge::Fd fd = connect_to(port);
  send_text(fd, request);
  return read_to_end(fd);
}

std::string post(const std::string& body, const std::string& auth = "Authorization: Bearer tok",
                 const std::string& request_line = "POST /mcp HTTP/1.1") {
  return request_line + "\r\nHost: 127.0.0.1\r\n" + auth +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

std::string call(const std::string& tool, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":")" + tool +
         R"(","arguments":)" + arguments + "}}";
}

struct Answer {
  int status = 0;
  std::string head;
  std::string body;  // de-chunked
  int chunks = 0;
};

// Undoes the chunked coding, counting the chunks; nullopt when malformed.
std::optional<std::string> dechunk(std::string_view rest, int& chunks) {
  std::string out;
  for (;;) {
    size_t line_end = rest.find("\r\n");
    if (line_end == std::string_view::npos) return std::nullopt;
    size_t size = std::strtoul(std::string(rest.substr(0, line_end)).c_str(), nullptr, 16);
    rest.remove_prefix(line_end + 2);
    if (size == 0) return out;
    if (rest.size() < size + 2 || rest.substr(size, 2) != "\r\n") return std::nullopt;
    out.append(rest.substr(0, size));
    rest.remove_prefix(size + 2);
    ++chunks;
  }
}

Answer split(const std::string& raw) {
  Answer answer;
  size_t end = raw.find("\r\n\r\n");
  EXPECT_NE(end, std::string::npos) << raw;
  if (end == std::string::npos) return answer;
  answer.head = raw.substr(0, end);
  answer.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
  std::string_view body = std::string_view(raw).substr(end + 4);
  if (answer.head.find("Transfer-Encoding: chunked") == std::string::npos) {
    answer.body = body;
    EXPECT_NE(answer.head.find("Content-Length: " + std::to_string(body.size())),
              std::string::npos);
  } else {
    auto decoded = dechunk(body, answer.chunks);
    EXPECT_TRUE(decoded) << raw;
    answer.body = decoded.value_or("");
  }
  EXPECT_NE(answer.head.find("\r\nConnection: close"), std::string::npos);
  return answer;
}

struct AccessCase {
  const char* token;
  std::string auth;
  std::string request_line;
  std::string body;
  int status;
};

TEST(StandIn, ChecksTokenPathMethodAndBody) {
  const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  const AccessCase cases[] = {
      {"tok", "Authorization: Bearer tok", "POST /mcp HTTP/1.1", ping, 200},
      {"tok", "authorization:  Bearer tok ", "POST /mcp HTTP/1.1", ping, 200},
      {"", "Authorization: Bearer ", "POST /mcp HTTP/1.1", ping, 200},
      {"tok", "Authorization: Bearer wrong", "POST /mcp HTTP/1.1", ping, 401},
      {"tok", "Authorization: Basic tok", "POST /mcp HTTP/1.1", ping, 401},
      {"tok", "X-Other: 1", "POST /mcp HTTP/1.1", ping, 401},
      {"tok", "Authorization: Bearer tok", "GET /mcp HTTP/1.1", "", 405},
      {"tok", "Authorization: Bearer tok", "POST /other HTTP/1.1", ping, 404},
      {"tok", "Authorization: Bearer tok", "POST /mcp HTTP/1.1", "{not json", 400},
      {"tok", "Authorization: Bearer tok", "POST /mcp HTTP/1.1", "[1]", 400},
      {"tok", "no colon here", "POST /mcp HTTP/1.1", ping, 400},
  };
  for (const AccessCase& c : cases) {
    SCOPED_TRACE(c.auth + " / " + c.request_line + " / " + c.body);
    Options options;
    options.token = c.token;
    auto server = start(options);
    Answer answer = split(exchange(server->port(), post(c.body, c.auth, c.request_line)));
    EXPECT_EQ(answer.status, c.status);
    EXPECT_TRUE(stand_in::parse_json(answer.body)) << answer.body;
  }
}

struct AnswerCase {
  std::string request;
  int status;
  const char* body;
};

TEST(StandIn, AnswersMethodsToolsAndFaults) {
  const AnswerCase cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})", 200,
       R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"resources":{},"tools":{}},)"
       R"("protocolVersion":"2025-06-18","serverInfo":{"name":"stand-in","version":"1.0"}}})"},
      {R"({"jsonrpc":"2.0","id":"p","method":"ping"})", 200,
       R"({"id":"p","jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":2,"method":"nope"})", 200,
       R"({"error":{"code":-32601,"message":"Method not found"},"id":2,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":3,"method":"resources/read","params":{"uri":"x:/a"}})", 200,
       R"({"id":3,"jsonrpc":"2.0","result":{"contents":[{"mimeType":"text/plain","text":"Contents of x:/a","uri":"x:/a"}]}})"},
      {call("echo", R"({"text":"hi \u00e9"})"), 200,
       "{\"id\":5,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"hi "
       "\xC3\xA9\",\"type\":\"text\"}]}}"},
      {call("nope", "{}"), 200,
       R"({"error":{"code":-32602,"message":"Unknown tool: nope"},"id":5,"jsonrpc":"2.0"})"},
      {call("fault", R"({"mode":"status500"})"), 500,
       R"({"error":{"code":-32603,"message":"Internal failure"},"id":5,"jsonrpc":"2.0"})"},
      {call("fault", R"({"mode":"array"})"), 200,
       R"([{"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"fault array","type":"text"}]}}])"},
      {call("fault", R"({"mode":"no_result"})"), 200, R"({"id":5,"jsonrpc":"2.0"})"},
      {call("fault", R"({"mode":"null_id"})"), 200,
       R"({"id":null,"jsonrpc":"2.0","result":{"content":[{"text":"fault null_id","type":"text"}]}})"},
      {call("fault", R"({"mode":"no_id"})"), 200,
       R"({"jsonrpc":"2.0","result":{"content":[{"text":"fault no_id","type":"text"}]}})"},
      {call("fault", R"({"mode":"other_id"})"), 200,
       R"({"id":"other","jsonrpc":"2.0","result":{"content":[{"text":"fault other_id","type":"text"}]}})"},
      {call("fault", R"({"mode":"trickle","interval_ms":1})"), 200,
       R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"fault trickle","type":"text"}]}})"},
      {call("fault", R"({"mode":"chunked"})"), 200,
       R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"fault chunked","type":"text"}]}})"},
  };
  auto server = start();
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.request);
    Answer answer = split(exchange(server->port(), post(c.request)));
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.body);
  }
}

TEST(StandIn, AcceptsNotificationsAndMessagesWithoutMethodEmpty) {
  const std::string bodies[] = {
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","id":4,"result":{}})",
      call("fault", R"({"mode":"empty202"})"),
  };
  auto server = start();
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    Answer answer = split(exchange(server->port(), post(body)));
    EXPECT_EQ(answer.status, 202);
    EXPECT_EQ(answer.body, "");
  }
}

TEST(StandIn, ChunkedModeCarriesTheSameAnswersInSeveralChunks) {
  auto plain = start();
  Options options;
  options.chunked = true;
  auto chunked = start(options);
  for (const std::string& body : {std::string(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})"),
                                  call("large", R"({"bytes":200000})")}) {
    SCOPED_TRACE(body);
    Answer expected = split(exchange(plain->port(), post(body)));
    Answer answer = split(exchange(chunked->port(), post(body)));
    EXPECT_EQ(answer.head.find("Content-Length"), std::string::npos);
    EXPECT_GE(answer.chunks, 2);
    EXPECT_EQ(answer.body, expected.body);
  }
}

TEST(StandIn, LargeAnswerHoldsTheWholePattern) {
  auto server = start();
  Answer answer = split(exchange(server->port(), post(call("large", R"({"bytes":10000000})"))));
  auto message = stand_in::parse_json(answer.body);
  ASSERT_TRUE(message);
  const std::string& text =
      (*message)["result"]["content"][0]["text"].get_ref<const std::string&>();
  ASSERT_EQ(text.size(), 10000000u);
  for (size_t i : {size_t(0), size_t(25), size_t(26), size_t(9999999)})
    EXPECT_EQ(text[i], 'a' + i % 26);
}

TEST(StandIn, BrokenFramesAreBroken) {
  auto server = start();
  std::string dropped = exchange(server->port(), post(call("fault", R"({"mode":"drop"})")));
  size_t body_at = dropped.find("\r\n\r\n") + 4;
  size_t announced = std::stoul(dropped.substr(dropped.find("Content-Length: ") + 16));
  EXPECT_GT(dropped.size(), body_at);
  EXPECT_LT(dropped.size() - body_at, announced);

  std::string garbage = exchange(server->port(), post(call("fault", R"({"mode":"garbage"})")));
  EXPECT_FALSE(garbage.empty());
  EXPECT_EQ(garbage.find("\r\n\r\n"), std::string::npos);
}

// Each reply would take 30 s; the stand-in must see the bridge hang up at once.
TEST(StandIn, NoticesAClosedConnectionWhileWaiting) {
  const std::string bodies[] = {call("slow", "{}"), call("fault", R"({"mode":"silent"})"),
                                call("echo", R"({"text":"x","delay_ms":30000})")};
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    auto server = start();
    bridge::Fd fd = connect_to(server->port());
    send_text(fd, post(body));
    ASSERT_TRUE(server->wait_for_requests(1, 5s));
    EXPECT_FALSE(server->requests()[0].closed_early);
    auto closed_at = Clock::now();
    ::shutdown(fd.get(), SHUT_RDWR);
    EXPECT_TRUE(server->wait_until([](auto& seen) { return seen[0].closed_early; }, 5s));
    EXPECT_LT(Clock::now() - closed_at, 1s);
  }
}

TEST(StandIn, StopCutsOpenConnectionsPromptly) {
  auto server = start();
  bridge::Fd idle = connect_to(server->port());
  bridge::Fd waiting = connect_to(server->port());
  send_text(waiting, post(call("slow", "{}")));
  ASSERT_TRUE(server->wait_for_requests(1, 5s));
  auto stopped_at = Clock::now();
  server->stop();
  EXPECT_LT(Clock::now() - stopped_at, 2s);
  EXPECT_EQ(read_to_end(waiting), "");
  EXPECT_FALSE(server->requests()[0].closed_early);
}

TEST(StandIn, RecordsRequestsAsSent) {
  auto server = start();
  const std::string head =
      "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:1\r\nAuthorization: Bearer tok\r\nMcp-Method: ping\r\n"
      "x-dup: 1\r\nX-Dup:  2 \r\nContent-Length: 39";
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  split(exchange(server->port(), head + "\r\n\r\n" + body.substr(0, 39) + "trailing"));
  std::vector<Request> seen = server->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].head, head);
  EXPECT_EQ(seen[0].request_line, "POST /mcp HTTP/1.1");
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/mcp");
  const Headers expected = {{"Host", "127.0.0.1:1"}, {"Authorization", "Bearer tok"},
                            {"Mcp-Method", "ping"},  {"x-dup", "1"},
                            {"X-Dup", "2"},          {"Content-Length", "39"}};
  EXPECT_EQ(seen[0].headers, expected);
  EXPECT_EQ(seen[0].body, body.substr(0, 39));
  EXPECT_FALSE(seen[0].closed_early);
}

TEST(StandIn, RecordsABodyCutShortAsClosedEarly) {
  auto server = start();
  bridge::Fd fd = connect_to(server->port());
  send_text(
      fd, "POST /mcp HTTP/1.1\r\nAuthorization: Bearer tok\r\nContent-Length: 100\r\n\r\n{\"id\":");
  ::shutdown(fd.get(), SHUT_WR);
  EXPECT_EQ(read_to_end(fd), "");
  ASSERT_TRUE(server->wait_for_requests(1, 5s));
  EXPECT_EQ(server->requests()[0].body, "{\"id\":");
  EXPECT_TRUE(server->requests()[0].closed_early);
}

TEST(StandIn, HookAndDelayShapeEveryAnswer) {
  const std::string odd = "HTTP/1.1 200 OK\r\n\r\nodd";
  Options options;
  options.delay = 300ms;
  options.hook = [&](const Request& request) -> std::optional<std::string> {
    if (request.body.find("odd") == std::string::npos) return std::nullopt;
    return odd;
  };
  auto server = start(options);
  auto began = Clock::now();
  EXPECT_EQ(exchange(server->port(), post(call("echo", R"({"text":"odd"})"))), odd);
  EXPECT_EQ(split(exchange(server->port(), post(call("echo", R"({"text":"even"})")))).status, 200);
  EXPECT_GE(Clock::now() - began, 600ms);
}

TEST(StandIn, ServesConnectionsConcurrently) {
  Options options;
  options.delay = 500ms;
  auto server = start(options);
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  auto began = Clock::now();
  for (int i = 0; i < 100; ++i) {
    clients.emplace_back([&] {
      if (split(exchange(server->port(), post(call("echo", R"({"text":"x"})")))).status == 200)
        ++answered;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered, 100);
  EXPECT_LT(Clock::now() - began, 5s);
}

TEST(StandIn, WritesTheSettingsFileWhole) {
  std::string dir = (std::filesystem::temp_directory_path() / "stand_in_XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  auto server = start();
  const std::pair<std::optional<bool>, const char*> cases[] = {
      {true, R"({"enabled":true})"}, {false, R"({"enabled":false})"}, {std::nullopt, "{}"}};
  for (const auto& [enabled, settings] : cases) {
    SCOPED_TRACE(settings);
    ASSERT_TRUE(server->write_settings(dir, enabled));
    std::ifstream file(dir + "/mcp.json");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), R"({"port":)" + std::to_string(server->port()) + R"(,"settings":)" +
                              settings + R"(,"token":"tok"})");
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  EXPECT_FALSE(write_settings_file(dir + "/missing", 1, "t", true));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace stand_in
