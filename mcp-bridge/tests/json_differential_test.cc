// The reader and writer in use against the reference ones they replaced: on
// the fuzz seed corpora, hand-made edge cases and seeded random mutations of
// both, the same bytes out or both refusing. The one difference allowed: a
// lone surrogate escape, which the reference refuses and the reader keeps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "json.h"
#include "support/reference_json.h"

namespace bridge {
namespace {

std::vector<std::string> corpus_inputs() {
  std::vector<std::string> inputs;
  for (const auto& dir : std::filesystem::directory_iterator(BRIDGE_FUZZ_CORPUS)) {
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      std::ifstream in(file.path(), std::ios::binary);
      inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      // An HTTP response's body, where one follows the head.
      const size_t body = inputs.back().find("\r\n\r\n");
      if (body != std::string::npos) inputs.push_back(inputs.back().substr(body + 4));
    }
  }
  return inputs;
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::vector<std::string> edge_cases() {
  using namespace std::string_literals;
  return {
      "-0", "-0.0", "-0e0", "-0e-0", "[-0]", "{\"a\":-0}", "-00", "-", "--1", "+1", ".5", "5.",
      "1e", "1e+", "01", "1E5", "1e-400", "1e400", "-1e400", "4.9e-324", "2.2250738585072011e-308",
      "9007199254740993", "0.1", "123.456e-7", "1.7976931348623158e308", "1.7976931348623159e308",
      "9223372036854775807", "9223372036854775808", "-9223372036854775808",
      "-9223372036854775809", "18446744073709551615", "18446744073709551616",
      "99999999999999999999999", "-99999999999999999999999", std::string(400, '9'),
      "0." + std::string(400, '0') + "1", "true", "false", "null", "tru", "nul", "truex",
      "[true false]", "{\"a\" 1}", "{\"a\":1,}", "{,}", "[,]", "[1 2]", "{\"a\":1 \"b\":2}",
      "\"\\u0000\"", "\"\\u001F\\u007F\\u0080\"", "\"\\uD834\\uDD1E\"", "\"\\x\"", "\"\\'\"",
      "\"\\U0041\"", "\"\\u00G0\"", "\"abc", "\"\t\"", "\"\x7F\"", "\"\xC0\x80\"", "\"\xC1\xBF\"",
      "\"\xE0\x9F\xBF\"", "\"\xE0\xA0\x80\"", "\"\xED\x9F\xBF\"", "\"\xED\xBF\xBF\"",
      "\"\xEF\xBF\xBF\"", "\"\xF0\x8F\xBF\xBF\"", "\"\xF0\x90\x80\x80\"", "\"\xF4\x8F\xBF\xBF\"",
      "\"\xF4\x90\x80\x80\"", "\"\xF5\x80\x80\x80\"", "\"\xC3\"", "\"\xE2\x82\"", "\"\x80\"",
      "\"a\xC3\xA9" + std::string(40, 'x') + "\xE2\x82\xAC\"", "\xEF\xBB\xBF" "1", " 1 ",
      "\r\n\t 1", "1\f", "\x0B" "1", "\"\0\""s, "1\0"s, "[\"" + std::string(100, '\\') + "\"]",
      "{\"b\":1,\"a\":2,\"b\":3}", "{\"\":0,\"\":{}}", "[[],{},[{}],{\"x\":[]}]", nested(127),
      nested(128), "{\"a\":" + nested(126) + "}", "{\"a\":" + nested(127) + "}", "[" + nested(126),
      "\"" + std::string(1000, 'a') + "\\n" + std::string(7, 'b') + "\"",
  };
}

// A few bytes worth trying at random places: structure, escapes, number
// parts, and the bytes at the edges of UTF-8.
const std::string kInteresting[] = {
    "\"", "\\", "\\u", "\\ud83d", "\\ude00", "\\uDFFF", "{", "}", "[", "]", ",", ":", "-", "0",
    "-0", "e", ".", "1e999", "\xED\xA0\x80", "\xC3\xA9", "\xF4\x90", "\x80", "\0", "\n", " ",
};

std::string mutate(std::string text, std::mt19937_64& random) {
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < edits; ++i) {
    const size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    switch (random() % 4) {
      case 0:
        text.insert(at, kInteresting[random() % std::size(kInteresting)]);
        break;
      case 1:
        if (at < text.size()) text.erase(at, 1 + random() % 3);
        break;
      case 2:
        if (at < text.size()) text[at] = static_cast<char>(random());
        break;
      default:
        if (at < text.size()) text.insert(at, text.substr(at, 1 + random() % 8));
    }
  }
  return text;
}

TEST(JsonDifferentialTest, AgreesOnCorporaAndEdgeCases) {
  std::vector<std::string> inputs = corpus_inputs();
  ASSERT_GT(inputs.size(), 40u);
  for (std::string& edge : edge_cases()) inputs.push_back(std::move(edge));
  for (const std::string& input : inputs) {
    EXPECT_EQ(reference::difference(input), "") << ::testing::PrintToString(input);
  }
}

TEST(JsonDifferentialTest, AgreesOnRandomMutations) {
  std::vector<std::string> seeds = corpus_inputs();
  for (std::string& edge : edge_cases()) seeds.push_back(std::move(edge));
  const char* fixed = std::getenv("BRIDGE_JSON_SEED");
  const uint64_t seed = fixed ? std::strtoull(fixed, nullptr, 10)
                              : static_cast<uint64_t>(std::random_device()());
  std::printf("mutation seed %llu (BRIDGE_JSON_SEED repeats it)\n",
              static_cast<unsigned long long>(seed));
  std::mt19937_64 random(seed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int failures = 0;
  int tried = 0;
  for (; tried < 100000 && failures < 10; ++tried) {
    if (tried % 256 == 0 && std::chrono::steady_clock::now() > deadline) break;
    const std::string input = mutate(seeds[random() % seeds.size()], random);
    const std::string problem = reference::difference(input);
    if (problem.empty()) continue;
    ++failures;
    ADD_FAILURE() << problem << " on " << ::testing::PrintToString(input);
  }
  std::printf("%d mutations compared\n", tried);
}

}  // namespace
}  // namespace bridge
