#include <gtest/gtest.h>

#include <string_view>

#include "http.h"

namespace bridge {
namespace {

struct Case {
  std::string_view in;
  std::string_view out;
};

TEST(Base64Test, EncodesTheRfc4648Vectors) {
  using namespace std::string_view_literals;
  const Case kCases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // Every bit counts, whatever the signedness of char.
      {"\0"sv, "AA=="},
      {"\xFF\xFE\xFD", "//79"},
      {"\xFB\xFF", "+/8="},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(base64_encode(c.in), c.out);
  }
}

TEST(HeaderSafeTest, KeepsPrintableTextAndEncodesTheRest) {
  const Case kCases[] = {
      {"tools/call", "tools/call"},
      {"resources/read2", "resources/read2"},
      {"a b", "a b"},
      {"~!\"#", "~!\"#"},
      {"", ""},
      {" a", "=?base64?IGE=?="},
      {"a ", "=?base64?YSA=?="},
      {" ", "=?base64?IA==?="},
      {"a\tb", "=?base64?YQli?="},
      {"a\r\nb", "=?base64?YQ0KYg==?="},
      {"a\x7F", "=?base64?YX8=?="},
      {"\x1F", "=?base64?Hw==?="},
      {"caf\xC3\xA9", "=?base64?Y2Fmw6k=?="},
      // Whatever looks encoded is encoded again, so that the application can
      // decode every value that has the form.
      {"=?base64?=", "=?base64?PT9iYXNlNjQ/PQ==?="},
      {"=?base64?abc?=", "=?base64?PT9iYXNlNjQ/YWJjPz0=?="},
      {"=?base64?x", "=?base64?x"},
      {"=?base64", "=?base64"},
      {"?=", "?="},
      {"us-west1", "us-west1"},
      {"Hello, \xE4\xB8\x96\xE7\x95\x8C", "=?base64?SGVsbG8sIOS4lueVjA==?="},
      {" padded ", "=?base64?IHBhZGRlZCA=?="},
      {"line1\nline2", "=?base64?bGluZTEKbGluZTI=?="},
      {"=?base64?literal?=", "=?base64?PT9iYXNlNjQ/bGl0ZXJhbD89?="},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(header_safe(c.in), c.out);
  }
}

}  // namespace
}  // namespace bridge
