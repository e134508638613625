// One HTTP/1.1 exchange with the application, and the pure pieces around it:
// header value encoding and response parsing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app.h"
#include "flight.h"
#include "tcp.h"

namespace bridge {

struct Response {
  uint16_t status = 0;
  /// Everything received; the body lies in it, de-chunked in place.
  ByteBuffer received;
  size_t body_offset = 0;
  size_t body_size = 0;

  /// De-chunked body bytes; not necessarily UTF-8.
  std::string_view body() const { return received.view().substr(body_offset, body_size); }
};

// Splits a whole received response into status and body, keeping the bytes
// and decoding a chunked body where it lies; nullopt when it is unusable (no
// CR LF CR LF, a head that is not UTF-8, a bad status field, a malformed
// chunked body).
std::optional<Response> parse_response(ByteBuffer received);

// Decodes a chunked body in place: the data ends up at the start of `bytes`
// (it is never longer than its encoding). Gives its size; nullopt when
// malformed, and `bytes` then holds anything.
std::optional<size_t> dechunk(std::span<char> bytes);

// The size of the whole response as far as a complete head announces it with
// Content-Length, for sizing the receive buffer only: parse_response never
// reads the header. `seen`: leading bytes known to hold no complete head.
AnnouncedSize announced_size(std::string_view received, size_t seen);

// RFC 4648 Base64: standard alphabet, "=" padding, no line breaks.
std::string base64_encode(std::string_view bytes);

// `text` when it can stand in a header line as it is, else
// "=?base64?" + base64(text) + "?=".
std::string header_safe(std::string_view text);

// (name, value) pairs sent after the fixed head lines, in order.
using Headers = std::vector<std::pair<std::string, std::string>>;

// Limits of one exchange. The product always uses the defaults; tests pass
// shorter ones.
struct Limits {
  /// Bound on establishing the TCP connection.
  std::chrono::milliseconds connect{2000};
  /// Bound on each single wait for incoming data.
  std::chrono::milliseconds receive{150000};
};

struct SendOutcome {
  /// kNoResources: no socket could be made for lack of descriptors or memory,
  /// which says nothing about the application.
  enum class Kind { kResponse, kNotConnected, kBroken, kNoResources };
  Kind kind = Kind::kNotConnected;
  /// Meaningful only for kResponse.
  Response response;
};

// POSTs `body` to http://127.0.0.1:<port>/mcp over a fresh connection and
// reads the answer to the end of the stream. With a `key`, the connection is
// attached to that request's Flight while the exchange runs, so `cancel` can
// cut it. Safe for concurrent use.
SendOutcome send(InFlight& in_flight, const ConnectionSettings& settings, const Headers& headers,
                 std::string_view body, const std::string* key, const Limits& limits = Limits());

}  // namespace bridge
