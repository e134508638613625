#include "json.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bridge {
namespace {

struct RoundTrip {
  const char* in;
  const char* out;
};

// Every row parses, and its wire form is exactly `out`.
const RoundTrip kRoundTrips[] = {
    // Key order is byte order at every depth; a repeated key keeps the last.
    {R"({"b":1,"a":{"z":[],"y":{}},"B":2})", R"({"B":2,"a":{"y":{},"z":[]},"b":1})"},
    {R"({"a":1,"a":2})", R"({"a":2})"},
    {"{\"\xC3\xA9\":1,\"z\":2}", "{\"z\":2,\"\xC3\xA9\":1}"},
    // Whitespace goes; nothing else changes.
    {" [ 1 , true , false , null , \"x\" ] \t\r\n", R"([1,true,false,null,"x"])"},
    // Escapes only where required, the short forms where they exist.
    {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
    {R"("\u0000\u0001\u001f\u001F")", R"("\u0000\u0001\u001f\u001f")"},
    {R"("\u007f\u00e9\u20ac\ud83d\ude00")", "\"\x7F\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
    {"\"\xC4\xB1\xE2\x80\x99\xE2\x80\xBA\"", "\"\xC4\xB1\xE2\x80\x99\xE2\x80\xBA\""},
    // Integers within 64 bits, digit for digit.
    {"0", "0"},
    {"-9223372036854775808", "-9223372036854775808"},
    {"9223372036854775807", "9223372036854775807"},
    {"18446744073709551615", "18446744073709551615"},
    // Beyond 64 bits: doubles.
    {"18446744073709551616", "1.8446744073709552e+19"},
    {"-9223372036854775809", "-9.223372036854776e+18"},
    // Minus zero, wherever it stands; other zeros stay integers.
    {"-0", "-0.0"},
    {"[-0,0,-0.0,-0e0,-0E+1]", "[-0.0,0,-0.0,-0.0,-0.0]"},
    {R"({"a":-0})", R"({"a":-0.0})"},
    {R"(["-0",-0])", R"(["-0",-0.0])"},
    {"1e-0", "1.0"},
    // Plain notation for powers of ten from -5 to 15.
    {"1e2", "100.0"},
    {"1.5", "1.5"},
    {"0.1", "0.1"},
    {"100.25", "100.25"},
    {"1e15", "1000000000000000.0"},
    {"1.2345e15", "1234500000000000.0"},
    {"9.999999999999998e15", "9999999999999998.0"},
    {"0.00001", "0.00001"},
    {"0.000012345", "0.000012345"},
    {"-1.5e-5", "-0.000015"},
    // Scientific outside it.
    {"1e16", "1e+16"},
    {"1.5e-6", "1.5e-6"},
    {"0.000001", "1e-6"},
    {"-2.5e300", "-2.5e+300"},
    {"1.7976931348623157e308", "1.7976931348623157e+308"},
    {"5e-324", "5e-324"},
    {"0.1e1", "1.0"},
    {"123456789012345678901234567890", "1.2345678901234568e+29"},
};

TEST(JsonTest, SerializesExactly) {
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(c.in);
    const auto value = parse_json(c.in);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(serialize(value->root), c.out);
  }
}

TEST(JsonTest, RejectsWhatIsNotExactlyOneValue) {
  const std::string kRejected[] = {
      "",
      "   ",
      "{} {}",
      "{}x",
      "{",
      "[1,]",
      "{'a':1}",
      "\xEF\xBB\xBF{}",                 // byte-order mark
      "\xC2\xA0{}",                     // no-break space is not JSON white space
      "{}\v",                           // nor is a vertical tab
      "\"\xFF\"",                       // invalid UTF-8
      "\"\xED\xA0\x80\"",               // encoded surrogate, raw
      "\"\\ud83\"",                     // short escape
      "\"\\ud83d\\u12\"",
      "\"a\nb\"",                       // raw control character in a string
      "1e400",                          // no double holds it
      "-01",
      "-",
      "NaN",
  };
  for (const auto& text : kRejected) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_json(text).has_value());
  }
}

TEST(JsonTest, RejectsANulByteAnywhere) {
  using namespace std::string_literals;
  const std::string kRejected[] = {
      "1\0x"s,                    // what follows a NUL must not be ignored
      "{}\0"s,
      "{\"a\":1}\0{\"b\":2}"s,
      "[1]\0]"s,
      "\0{}"s,
      "\"a\0b\""s,               // nor may a string hold one raw
  };
  for (const auto& text : kRejected) {
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_FALSE(parse_json(text).has_value());
  }
}

// A lone surrogate escape survives the round trip as the same escape, in
// lowercase; an escaped pair still becomes one raw character.
const RoundTrip kSurrogates[] = {
    {R"("\ud83d")", R"("\ud83d")"},
    {R"("\uD83D")", R"("\ud83d")"},
    {R"("\udc00")", R"("\udc00")"},
    {R"("x\udbffy")", R"("x\udbffy")"},
    {R"("\ud83d\u0041")", R"("\ud83dA")"},
    {R"("\ud83d\ud83d\ude00")", "\"\\ud83d\xF0\x9F\x98\x80\""},
    {R"("\ude00\ud83d")", R"("\ude00\ud83d")"},
    {R"("\ud83d\n")", R"("\ud83d\n")"},
    {R"({"\udfff":1,"a":"\ud800"})", R"({"a":"\ud800","\udfff":1})"},
    // Ordinary characters that share the lead byte stay raw.
    {R"("\ud7ff\ud000")", "\"\xED\x9F\xBF\xED\x80\x80\""},
};

TEST(JsonTest, KeepsLoneSurrogateEscapes) {
  for (const auto& c : kSurrogates) {
    SCOPED_TRACE(c.in);
    const auto value = parse_json(c.in);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(serialize(value->root), c.out);
  }
}

std::string nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonTest, NestsAtMost127Levels) {
  EXPECT_TRUE(parse_json(nested(127, '[', ']')));
  EXPECT_FALSE(parse_json(nested(128, '[', ']')));
  std::string objects;
  for (int i = 0; i < 126; ++i) objects += "{\"a\":";
  objects += "[]" + std::string(126, '}');
  EXPECT_TRUE(parse_json(objects));
  EXPECT_FALSE(parse_json("{\"a\":" + objects + "}"));
  // Brackets inside strings do not count.
  EXPECT_TRUE(parse_json("[\"" + std::string(500, '[') + "\"]"));
  EXPECT_TRUE(parse_json("[\"\\\"" + std::string(500, '{') + "\"]"));
  // A very deep text fails fast instead of building a tree.
  EXPECT_FALSE(parse_json(nested(1000000, '[', ']')));
}

TEST(JsonTest, ReparsesItsOwnOutputToTheSameBytes) {
  const auto value = parse_json(
      R"({"id":[1,-2,3.25,-0,1e300,"\u0001\"é"],"m":{"k":null,"t":true},"x":1e-7})");
  ASSERT_TRUE(value);
  const std::string once = serialize(value->root);
  const auto again = parse_json(once);
  ASSERT_TRUE(again);
  EXPECT_EQ(serialize(again->root), once);
}

// An answer's id is completed from the request's document: the copy lives in
// the answer's arena, and the member lands in key order, added or replaced.
TEST(JsonTest, SetIdReplacesOrAddsTheOneMember) {
  struct Case {
    const char* answer;
    const char* line;
  };
  const Case kCases[] = {
      {R"({"result":1})", R"({"id":["x",{"k":"\n"}],"result":1})"},
      {R"({"id":null,"result":1})", R"({"id":["x",{"k":"\n"}],"result":1})"},
      {R"({"a":0,"z":0})", R"({"a":0,"id":["x",{"k":"\n"}],"z":0})"},
      {R"({"jsonrpc":"2.0","error":{}})", R"({"error":{},"id":["x",{"k":"\n"}],"jsonrpc":"2.0"})"},
      {"{}", R"({"id":["x",{"k":"\n"}]})"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.answer);
    std::optional<Json> answer = parse_json(c.answer);
    ASSERT_TRUE(answer);
    {
      // The request goes before the answer is written.
      const auto request = parse_json(R"({"id":["x",{"k":"\n"}],"method":"m"})");
      ASSERT_TRUE(request);
      set_id(*answer, *member(&request->root, "id"));
    }
    EXPECT_EQ(serialize(answer->root), c.line);
    EXPECT_NE(member(&answer->root, "id"), nullptr);
  }
}

// A document read on one thread from a buffer that is then reused is whole
// on another thread, and is freed there.
TEST(JsonTest, ADocumentOwnsItsBytesAcrossThreads) {
  std::string line = R"({"id":7,"method":"tools/call","params":{"text":"plain","e":"\u00e9\t"}})";
  const std::string expected = R"({"id":7,"method":"tools/call","params":{"e":"é\t","text":"plain"}})";
  std::vector<Json> documents;
  for (int i = 0; i < 8; ++i) {
    std::optional<Json> document = parse_json(line);
    ASSERT_TRUE(document);
    documents.push_back(std::move(*document));
  }
  line.assign(line.size(), 'x');
  std::vector<std::thread> threads;
  std::vector<std::string> written(documents.size());
  for (size_t i = 0; i < documents.size(); ++i) {
    threads.emplace_back([&written, i, document = std::move(documents[i])]() mutable {
      written[i] = serialize(document.root);
      document = Json();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& w : written) EXPECT_EQ(w, expected);
}

}  // namespace
}  // namespace bridge
