// Response parsing on arbitrary bytes. Beyond not crashing, whatever it
// accepts must agree with the plain reading of those bytes, and a body that
// the fuzzer chunk-encodes itself must come back whole.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "http.h"
#include "support/buffers.h"

namespace {

using bridge::fuzz::require;

constexpr std::string_view kHeadEnd = "\r\n\r\n";

// Whether "chunked" occurs anywhere in `head`, in any letter case. Broader
// than the parser's rule on purpose: where this is false, no header line can
// have asked for chunked decoding.
bool mentions_chunked(std::string_view head) {
  constexpr std::string_view kWord = "chunked";
  for (size_t i = 0; i + kWord.size() <= head.size(); ++i) {
    size_t matched = 0;
    while (matched < kWord.size() &&
           std::tolower(static_cast<unsigned char>(head[i + matched])) == kWord[matched]) {
      ++matched;
    }
    if (matched == kWord.size()) return true;
  }
  return false;
}

void check_any_response(std::string_view input) {
  const auto response = bridge::parse_response(bridge::testing::copy_to_buffer(input));
  const size_t head_end = input.find(kHeadEnd);
  if (head_end == std::string_view::npos) {
    require(!response, "a response without the end of its head is refused");
    return;
  }
  if (!response) return;
  const std::string_view after_head = input.substr(head_end + kHeadEnd.size());
  require(response->body().size() <= after_head.size(),
          "the body is never longer than the bytes after the head");
  if (!mentions_chunked(input.substr(0, head_end))) {
    require(response->body() == after_head, "an unchunked body is the bytes after the head");
  }
}

void check_any_chunked_body(std::string_view input) {
  std::string bytes(input);
  const auto decoded = bridge::dechunk(bytes);
  if (decoded) require(*decoded <= input.size(), "decoded data is never longer");
}

std::string hex(size_t value, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value % 16]);
    value /= 16;
  } while (value != 0);
  return out;
}

// Chunk-encodes `data` the way servers do, with chunk sizes and spellings
// (letter case, leading zeros, white space, extensions, trailers) taken from
// the data itself so that the fuzzer controls them too.
std::string chunk_encode(std::string_view data) {
  std::string out;
  size_t step = 0;
  auto shape = [&] { return data.empty() ? 0 : static_cast<uint8_t>(data[step++ % data.size()]); };
  size_t at = 0;
  while (at < data.size()) {
    const uint8_t bits = shape();
    const size_t size = std::min<size_t>(1 + bits % 37, data.size() - at);
    if (bits & 0x80) out += "00";
    out += hex(size, bits & 0x40);
    if (bits & 0x10) out += " \t";
    if (bits & 0x20) out += ";name=\"va;lue\"";
    out += "\r\n";
    out.append(data.substr(at, size));
    out += "\r\n";
    at += size;
  }
  out += (shape() & 0x08) ? "000" : "0";
  out += "\r\n";
  if (shape() & 0x04) out += "Trailer-Field: x\r\n";
  out += "\r\n";
  return out;
}

void check_round_trip(std::string_view data) {
  const std::string encoded = chunk_encode(data);
  std::string decoded = encoded;
  const auto size = bridge::dechunk(decoded);
  require(size && std::string_view(decoded).substr(0, *size) == data,
          "dechunk undoes chunked encoding");
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" +
      encoded;
  const auto parsed = bridge::parse_response(bridge::testing::copy_to_buffer(response));
  require(parsed && parsed->status == 200 && parsed->body() == data,
          "a chunked response gives back the encoded body");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = bridge::fuzz::as_bytes(data, size);
  check_any_response(input);
  check_any_chunked_body(input);
  check_round_trip(input);
  return 0;
}
