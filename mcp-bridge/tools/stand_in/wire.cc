#include "stand_in/wire.h"

#include <algorithm>
#include <cstdio>

namespace stand_in {
namespace {

bool same_ascii_case(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Splits off the text up to the first `separator`; the rest follows it.
std::string_view take_until(std::string_view& rest, std::string_view separator) {
  size_t at = rest.find(separator);
  std::string_view taken = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + separator.size());
  return taken;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    default:
      return "Unknown";
  }
}

}  // namespace

const std::string* find_header(const Request& request, std::string_view name) {
  for (const auto& [key, value] : request.headers) {
    if (same_ascii_case(key, name)) return &value;
  }
  return nullptr;
}

bool parse_head(std::string_view head, Request& request) {
  std::string_view rest = head;
  std::string_view line = take_until(rest, "\r\n");
  request.request_line = line;
  request.method = take_until(line, " ");
  request.target = take_until(line, " ");
  if (request.method.empty() || request.target.empty() || line.empty()) return false;
  while (!rest.empty()) {
    line = take_until(rest, "\r\n");
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  return true;
}

std::optional<size_t> content_length(const Request& request) {
  const std::string* found = nullptr;
  for (const auto& [key, value] : request.headers) {
    if (!same_ascii_case(key, "Content-Length")) continue;
    if (found) return std::nullopt;
    found = &value;
  }
  if (!found) return 0;
  // Twelve digits is far beyond any body a test sends and cannot overflow.
  if (found->empty() || found->size() > 12) return std::nullopt;
  size_t length = 0;
  for (char c : *found) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  return length;
}

std::string chunk(std::string_view body) {
  // Small bodies still come in a few pieces so that readers meet real chunk
  // boundaries; large ones in pieces of at most 64 KiB.
  size_t piece = std::clamp<size_t>(body.size() / 3, 1, 64 * 1024);
  std::string out;
  out.reserve(body.size() + body.size() / piece * 8 + 16);
  char size_line[32];
  for (size_t at = 0; at < body.size(); at += piece) {
    std::string_view data = body.substr(at, piece);
    out.append(size_line, std::snprintf(size_line, sizeof size_line, "%zx\r\n", data.size()));
    out.append(data);
    out.append("\r\n");
  }
  out.append("0\r\n\r\n");
  return out;
}

std::string response(int status, std::string_view body, bool chunked) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  if (!body.empty()) out += "Content-Type: application/json\r\n";
  if (chunked) {
    out += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    out += chunk(body);
  } else {
    out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    out += body;
  }
  return out;
}

}  // namespace stand_in
