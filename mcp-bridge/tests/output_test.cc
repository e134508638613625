#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace bridge {
namespace {

// Writes one line through a pipe and returns exactly what came out.
std::string written_line(const Json& value) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  Output output(fds[1]);
  write_line(output, value);
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
  ::close(fds[0]);
  return out;
}

TEST(OutputTest, ParseErrorLineIsFixed) {
  const std::string line = written_line(parse_error_reply());
  EXPECT_EQ(line,
            "{\"error\":{\"code\":-32700,\"message\":\"Parse error\"},\"id\":null,"
            "\"jsonrpc\":\"2.0\"}\n");
  EXPECT_EQ(line.size(), 76u);
}

TEST(OutputTest, ErrorReplyCarriesTheIdAndMessage) {
  struct Case {
    const char* id;
    const char* message;
    const char* line;
  };
  const Case kCases[] = {
      {"7", "M", R"({"error":{"code":-32603,"message":"M"},"id":7,"jsonrpc":"2.0"})"},
      {"null", "", R"({"error":{"code":-32603,"message":""},"id":null,"jsonrpc":"2.0"})"},
      {R"("a\"b\u00e9")", "x",
       "{\"error\":{\"code\":-32603,\"message\":\"x\"},\"id\":\"a\\\"b\xC3\xA9\",\"jsonrpc\":"
       "\"2.0\"}"},
      {"1.50", "x", R"({"error":{"code":-32603,"message":"x"},"id":1.5,"jsonrpc":"2.0"})"},
      {R"({"b":[1],"a":2})", "x",
       R"({"error":{"code":-32603,"message":"x"},"id":{"a":2,"b":[1]},"jsonrpc":"2.0"})"},
      // Turkish text stays raw UTF-8, line feeds become escapes.
      {"1", "Torvela\xE2\x80\x99ya ba\xC4\x9Fl\xC4\xB1\n",
       "{\"error\":{\"code\":-32603,\"message\":\"Torvela\xE2\x80\x99ya "
       "ba\xC4\x9Fl\xC4\xB1\\n\"},\"id\":1,\"jsonrpc\":\"2.0\"}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.id);
    const auto id = parse_json(c.id);
    ASSERT_TRUE(id);
    EXPECT_EQ(written_line(error_reply(id->root, c.message)), std::string(c.line) + "\n");
  }
}

TEST(OutputTest, ReordersMembersOfAnAnswer) {
  const auto answer = parse_json(R"({"result":{"b":1,"a":"x\ny"},"jsonrpc":"2.0","id":3})");
  ASSERT_TRUE(answer);
  EXPECT_EQ(written_line(*answer), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{\"a\":\"x\\ny\",\"b\":1}}\n");
}

}  // namespace
}  // namespace bridge
