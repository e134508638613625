// Splitting a received response into status and body, and chunked decoding.
// The application closes the connection after its one response, so the whole
// stream is at hand: nothing here needs to know where the body ends. The
// announced length only sizes the buffer that the stream is read into.
#include <cstdint>
#include <cstring>
#include <limits>

#include "http.h"
#include "text.h"

namespace bridge {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// "+"? followed by at least one digit of `base`, nothing else, at most `max`.
std::optional<uint64_t> parse_unsigned(std::string_view text, unsigned base, uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    const int digit = base == 16 ? hex_value(c) : (is_digit(c) ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    if (value > (max - static_cast<uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<uint64_t>(digit);
  }
  return value;
}

// The second space-separated field of the whole head, read as the status.
std::optional<uint16_t> status_code(std::string_view head) {
  const size_t first = head.find(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = head.find(' ', first + 1);
  const size_t length =
      second == std::string_view::npos ? std::string_view::npos : second - first - 1;
  const auto code = parse_unsigned(head.substr(first + 1, length), 10, 65535);
  if (!code) return std::nullopt;
  return static_cast<uint16_t>(*code);
}

bool equals_ascii_case_insensitive(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The trimmed value of a "name: value" line whose name is `lower_name` in any
// letter case; nullopt for any other line.
std::optional<std::string_view> header_value(std::string_view line, std::string_view lower_name) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos ||
      !equals_ascii_case_insensitive(trim_white_space(line.substr(0, colon)), lower_name)) {
    return std::nullopt;
  }
  return trim_white_space(line.substr(colon + 1));
}

// Calls `visit` with each header line after the status line, its line end
// cut off, until `visit` returns true; whether one did. REQUIRES: `head` is
// valid UTF-8 (cutting it at LF keeps it so).
template <typename Visit>
bool any_header_line(std::string_view head, Visit visit) {
  size_t lf = head.find('\n');
  while (lf != std::string_view::npos) {
    head.remove_prefix(lf + 1);
    lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (visit(line)) return true;
  }
  return false;
}

// Whether a header line after the status line announces the chunked coding.
bool announces_chunked(std::string_view head) {
  return any_header_line(head, [](std::string_view line) {
    const auto coding = header_value(line, "transfer-encoding");
    return coding && equals_ascii_case_insensitive(*coding, "chunked");
  });
}

// The value of the first Content-Length line, if any.
std::optional<std::string_view> content_length(std::string_view head) {
  std::optional<std::string_view> value;
  any_header_line(head, [&](std::string_view line) {
    value = header_value(line, "content-length");
    return value.has_value();
  });
  return value;
}

// The size on a chunk's size line, extensions dropped.
std::optional<uint64_t> chunk_size(std::string_view line) {
  if (!valid_utf8(line)) return std::nullopt;
  const std::string_view number = trim_white_space(line.substr(0, line.find(';')));
  return parse_unsigned(number, 16, std::numeric_limits<uint64_t>::max());
}

// Where a chunked body starting at `begin` ends: after its last chunk's size
// line. nullopt while that line has not arrived, or when a size is malformed.
std::optional<size_t> chunked_length(std::string_view bytes, size_t begin) {
  for (;;) {
    const size_t line_end = bytes.find(kLineEnd, begin);
    if (line_end == std::string_view::npos) return std::nullopt;
    const auto size = chunk_size(bytes.substr(begin, line_end - begin));
    if (!size) return std::nullopt;
    begin = line_end + kLineEnd.size();
    if (*size == 0) return begin;
    if (*size > bytes.size() - begin || bytes.size() - begin - *size < 2) return std::nullopt;
    begin += *size + 2;
  }
}

}  // namespace

std::optional<size_t> dechunk(std::span<char> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  std::string_view rest(bytes.data(), bytes.size());
  size_t out = 0;  // decoded bytes at the front; always before `rest`
  for (;;) {
    const size_t line_end = rest.find(kLineEnd);
    if (line_end == std::string_view::npos) return std::nullopt;
    const auto size = chunk_size(rest.substr(0, line_end));
    if (!size) return std::nullopt;
    if (*size == 0) return out;  // trailers and the final line go unread
    rest.remove_prefix(line_end + kLineEnd.size());
    if (*size > rest.size()) return std::nullopt;
    std::memmove(bytes.data() + out, rest.data(), *size);
    out += *size;
    // The two bytes after the data are the chunk's CR LF; they are skipped
    // without comparing them.
    if (rest.size() - *size < 2) return std::nullopt;
    rest.remove_prefix(*size + 2);
    if (rest.size() < 2) return std::nullopt;  // no last chunk
  }
}

std::optional<Response> parse_response(ByteBuffer received) {
  const std::string_view bytes = received.view();
  const size_t head_end = bytes.find(kHeadEnd);
  if (head_end == std::string_view::npos) return std::nullopt;
  const std::string_view head = bytes.substr(0, head_end);
  if (!valid_utf8(head)) return std::nullopt;
  const auto status = status_code(head);
  if (!status) return std::nullopt;
  const size_t body_offset = head_end + kHeadEnd.size();
  size_t body_size = bytes.size() - body_offset;
  if (announces_chunked(head)) {
    const auto decoded = dechunk({received.data.get() + body_offset, body_size});
    if (!decoded) return std::nullopt;
    body_size = *decoded;
  }
  return Response{*status, std::move(received), body_offset, body_size};
}

std::optional<Framing> read_framing(std::string_view received, size_t seen) {
  const size_t head_end = received.find(kHeadEnd, seen < 3 ? 0 : seen - 3);
  if (head_end == std::string_view::npos) return std::nullopt;
  const std::string_view head = received.substr(0, head_end);
  Framing framing{head_end + kHeadEnd.size(), false, std::nullopt};
  if (!valid_utf8(head)) return framing;
  framing.chunked = announces_chunked(head);
  if (const auto value = content_length(head)) {
    framing.content_length =
        parse_unsigned(*value, 10, std::numeric_limits<uint64_t>::max());
  }
  return framing;
}

std::optional<size_t> framed_length(std::string_view received) {
  const auto framing = read_framing(received);
  if (!framing) return std::nullopt;
  if (framing->chunked) return chunked_length(received, framing->head_size);
  const auto length = framing->content_length;
  if (!length || *length > received.size() - framing->head_size) return std::nullopt;
  return framing->head_size + static_cast<size_t>(*length);
}

}  // namespace bridge
