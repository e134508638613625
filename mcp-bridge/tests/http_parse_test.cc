#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "http.h"
#include "support/buffers.h"

namespace bridge {
namespace {

using testing::copy_to_buffer;

constexpr std::string_view kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct ResponseCase {
  const char* name;
  std::string bytes;
  std::optional<uint16_t> status;  // nullopt: the response is unusable
  std::string_view body;
};

TEST(ParseResponseTest, SplitsStatusAndBody) {
  const std::string chunked(kChunked);
  const ResponseCase kCases[] = {
      {"nothing received", "", std::nullopt, ""},
      {"head cut off", "HTTP/1.1 200 OK\r\nContent-Type: a\r\n", std::nullopt, ""},
      {"bare LF lines", "HTTP/1.1 200 OK\nA: b\n\nbody", std::nullopt, ""},
      {"usual", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"a\":1}", 200,
       "{\"a\":1}"},
      {"empty body", "HTTP/1.1 404 Not Found\r\n\r\n", 404, ""},
      {"version and code only", "HTTP/1.1 204\r\n\r\nbody", 204, "body"},
      {"code runs into the next line", "HTTP/1.1 200\r\nA: b\r\n\r\n", std::nullopt, ""},
      {"no space at all", "HTTP/1.1\r\n\r\n", std::nullopt, ""},
      {"two spaces", "HTTP/1.1  200 OK\r\n\r\n", std::nullopt, ""},
      {"no version", " 201 Created\r\n\r\nx", 201, "x"},
      {"plus sign", "HTTP/1.1 +200 OK\r\n\r\n", 200, ""},
      {"leading zero", "HTTP/1.1 0200 OK\r\n\r\n", 200, ""},
      {"largest code", "HTTP/1.1 65535 X\r\n\r\n", 65535, ""},
      {"code too large", "HTTP/1.1 65536 X\r\n\r\n", std::nullopt, ""},
      {"far too large", "HTTP/1.1 99999999999999999999999 X\r\n\r\n", std::nullopt, ""},
      {"negative", "HTTP/1.1 -1 X\r\n\r\n", std::nullopt, ""},
      {"lone plus", "HTTP/1.1 + X\r\n\r\n", std::nullopt, ""},
      {"letter inside", "HTTP/1.1 2x0 X\r\n\r\n", std::nullopt, ""},
      {"Latin-1 reason", "HTTP/1.1 200 Gr\xFC\xDF\r\n\r\n", std::nullopt, ""},
      {"Latin-1 body", "HTTP/1.1 200 OK\r\n\r\n\xFC", 200, "\xFC"},
      {"content length ignored", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", 200, "hello"},
      {"interim response kept", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n{}", 100,
       "HTTP/1.1 200 OK\r\n\r\n{}"},
      {"chunked", chunked + "5\r\nhello\r\n0\r\n\r\n", 200, "hello"},
      {"chunked any case and spaces",
       "HTTP/1.1 200 OK\r\n  TRANSFER-Encoding \t:  ChUnKeD \r\n\r\n5\r\nhello\r\n0\r\n", 200,
       "hello"},
      {"chunked after LF only",
       "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n", 200, "x"},
      {"chunked as last coding only",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n", 200, "0\r\n"},
      {"chunked in the status line", "HTTP/1.1 200 Transfer-Encoding:chunked\r\n\r\n0\r\n", 200,
       "0\r\n"},
      {"line without colon skipped",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding chunked\r\nX: y\r\n\r\n0\r\n", 200, "0\r\n"},
      {"chunked after a colonless line",
       "HTTP/1.1 200 OK\r\nNoColon\r\ntransfer-encoding:chunked\r\n\r\n2\r\nab\r\n0\r\n", 200,
       "ab"},
      {"chunked without body bytes", chunked, std::nullopt, ""},
      {"chunked without last chunk", chunked + "5\r\nhello\r\n", std::nullopt, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto response = parse_response(copy_to_buffer(c.bytes));
    ASSERT_EQ(response.has_value(), c.status.has_value());
    if (!response) continue;
    EXPECT_EQ(response->status, *c.status);
    EXPECT_EQ(response->body(), c.body);
  }
}

struct ChunkedCase {
  const char* name;
  std::string_view bytes;
  std::optional<std::string_view> body;  // nullopt: malformed
};

TEST(DechunkTest, DecodesWhatTheApplicationSends) {
  using namespace std::string_view_literals;
  const ChunkedCase kCases[] = {
      {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"no final empty line", "5\r\nhello\r\n0\r\n", "hello"},
      {"trailers", "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n", "hello"},
      {"several chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n", "abcde"},
      {"only the last chunk", "0\r\n", ""},
      {"hex in both cases", "a\r\n0123456789\r\nA\r\nabcdefghij\r\n0\r\n", "0123456789abcdefghij"},
      {"spaces and extension", " 5 ;name=\"v\"\r\nhello\r\n0;x\r\n", "hello"},
      // U+0085, "5", U+3000.
      {"Unicode white space", "\xC2\x85\x35\xE3\x80\x80\r\nhello\r\n0\r\n", "hello"},
      {"plus sign", "+5\r\nhello\r\n0\r\n", "hello"},
      {"many leading zeros", "00000000000000000000005\r\nhello\r\n0\r\n", "hello"},
      {"data not followed by CR LF", "5\r\nhelloXY0\r\n", "hello"},
      {"data with NUL bytes", "3\r\na\0b\r\n0\r\n"sv, "a\0b"sv},
      {"nothing", "", std::nullopt},
      {"one byte", "0", std::nullopt},
      {"ends after the digit 0", "5\r\nhello\r\n0", std::nullopt},
      {"no last chunk", "5\r\nhello\r\n", std::nullopt},
      {"one byte after a chunk", "5\r\nhello\r\nX", std::nullopt},
      {"one byte after data", "5\r\nhello\r", std::nullopt},
      {"data cut off", "ff\r\nhello\r\n0\r\n", std::nullopt},
      {"empty size", "\r\nhello\r\n0\r\n", std::nullopt},
      {"lone plus", "+\r\n", std::nullopt},
      {"minus", "-5\r\nhello\r\n0\r\n", std::nullopt},
      {"not hex", "5x\r\nhello\r\n0\r\n", std::nullopt},
      {"extension not UTF-8", "5;\xFF\r\nhello\r\n0\r\n", std::nullopt},
      {"size beyond 64 bits", "10000000000000000\r\nhello\r\n0\r\n", std::nullopt},
      {"largest size, too few bytes", "ffffffffffffffff\r\nhello\r\n0\r\n", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string bytes(c.bytes);
    const auto size = dechunk(bytes);
    ASSERT_EQ(size.has_value(), c.body.has_value());
    if (size) {
      EXPECT_EQ(std::string_view(bytes).substr(0, *size), *c.body);
    }
  }
}

TEST(FramingTest, ReadsTheSizeOnceTheHeadIsComplete) {
  struct Case {
    const char* name;
    std::string_view received;
    size_t seen;
    std::optional<size_t> head_size;  // nullopt: the head is incomplete
    bool chunked;
    std::optional<uint64_t> content_length;
  };
  const Case kCases[] = {
      {"head incomplete", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", 0, {}, false, {}},
      {"no length", "HTTP/1.1 200 OK\r\n\r\nab", 0, 19, false, {}},
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", 0, 38, false, 5},
      {"any case, white space", "HTTP/1.1 200 OK\r\ncontent-LENGTH :\t7 \r\n\r\n", 0, 40, false,
       7},
      {"first of two", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 9\r\n\r\n", 0,
       57, false, 1},
      {"in the status line only", "HTTP/1.1 200 Content-Length: 5\r\n\r\n", 0, 34, false, {}},
      {"not a number", "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n", 0, 39, false, {}},
      {"negative", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", 0, 39, false, {}},
      {"beyond 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n", 0,
       57, false, {}},
      {"head not UTF-8", "HTTP/1.1 200 \xFF\r\nContent-Length: 5\r\n\r\n", 0, 37, false, {}},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0, 47, true, {}},
      // The end of the head straddles what was seen before and what is new.
      {"head end across reads", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", 37, 38, false, 5},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto framing = read_framing(c.received, c.seen);
    ASSERT_EQ(framing.has_value(), c.head_size.has_value());
    if (!framing) continue;
    EXPECT_EQ(framing->head_size, *c.head_size);
    EXPECT_EQ(framing->chunked, c.chunked);
    EXPECT_EQ(framing->content_length, c.content_length);
  }
}

// Only what the framing shows whole counts, cut where the framing ends.
TEST(FramingTest, TellsTheLengthOfAWholeResponse) {
  const std::string chunked(kChunked);
  const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  struct Case {
    const char* name;
    std::string received;
    std::optional<size_t> length;
  };
  const Case kCases[] = {
      {"length satisfied", sized + "hello", sized.size() + 5},
      {"length exceeded", sized + "hello world", sized.size() + 5},
      {"length short", sized + "hell", std::nullopt},
      {"length zero", "HTTP/1.1 202 OK\r\nContent-Length: 0\r\n\r\n", 38},
      {"no length", "HTTP/1.1 200 OK\r\n\r\nhello", std::nullopt},
      {"head incomplete", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", std::nullopt},
      {"last chunk", chunked + "5\r\nhello\r\n0\r\n", chunked.size() + 13},
      {"last chunk, then more", chunked + "5\r\nhello\r\n0\r\n\r\nxyz", chunked.size() + 13},
      {"no last chunk yet", chunked + "5\r\nhello\r\n", std::nullopt},
      {"chunk cut off", chunked + "5\r\nhel", std::nullopt},
      {"size line cut off", chunked + "5\r\nhello\r\n0", std::nullopt},
      {"bad size", chunked + "z\r\n", std::nullopt},
      {"chunked wins over length", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: "
                                   "chunked\r\n\r\n0\r\n",
       69},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(framed_length(c.received), c.length);
  }
}

// Quadratic work (re-copying the rest after each chunk or line) would take
// minutes here; linear work takes milliseconds.
TEST(ParseResponseTest, TakesLinearTime) {
  constexpr int kCount = 300000;
  std::string chunked(kChunked);
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < kCount; ++i) {
    chunked += "1\r\nx\r\n";
    head += "X: y\r\n";
  }
  chunked += "0\r\n";
  const auto start = std::chrono::steady_clock::now();
  const auto many_chunks = parse_response(copy_to_buffer(chunked));
  const auto many_lines = parse_response(copy_to_buffer(head + "\r\nbody"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ASSERT_TRUE(many_chunks && many_lines);
  EXPECT_EQ(many_chunks->body(), std::string(kCount, 'x'));
  EXPECT_EQ(many_lines->body(), "body");
}

}  // namespace
}  // namespace bridge
