// One HTTP request as the stand-in application received it. Tests read these
// to see exactly what the bridge sent.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stand_in {

/// (name, value) pairs in the order they arrived.
using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  /// The head exactly as received, without the CR LF CR LF that ends it.
  std::string head;
  /// First line of the head, e.g. "POST /mcp HTTP/1.1".
  std::string request_line;
  std::string method;
  std::string target;
  /// Header lines in order: the name as sent, the value without surrounding blanks.
  Headers headers;
  /// Body bytes; shorter than announced when the peer stopped sending.
  std::string body;
  /// The peer closed the connection before the answer had been sent in full.
  bool closed_early = false;
};

// Value of the first header called `name` (ASCII case ignored), or nullptr.
const std::string* find_header(const Request& request, std::string_view name);

}  // namespace stand_in
