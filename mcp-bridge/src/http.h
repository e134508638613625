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
#include "buffer.h"
#include "flight.h"

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

// What a complete head says of the size of its message. parse_response never
// reads Content-Length: the end of the stream ends a response. The framing
// serves only to size the receive buffer, and to keep an answer that arrived
// whole when the stream then broke off.
struct Framing {
  /// The head and its CR LF CR LF.
  size_t head_size = 0;
  bool chunked = false;
  /// A Content-Length that is a decimal number; ignored when chunked.
  std::optional<uint64_t> content_length;
};

// The framing once the head in `received` is complete, else nullopt.
// `seen`: leading bytes known to hold no complete head. A head that is not
// UTF-8 announces nothing.
std::optional<Framing> read_framing(std::string_view received, size_t seen = 0);

// The length of the response at the start of `received` when its framing
// shows it complete: the head and Content-Length bytes, or the head and a
// chunked body through its last chunk's size line. nullopt while it is
// incomplete or announces no length.
std::optional<size_t> framed_length(std::string_view received);

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
  /// Bound on each single wait for incoming data, and on each wait for room
  /// to send while nothing arrives either.
  std::chrono::milliseconds transfer{150000};
};

struct SendOutcome {
  enum class Kind {
    kResponse,
    /// No connection could be made to the application.
    kNotConnected,
    /// Connected, but the exchange failed before a whole answer came; the
    /// application may have acted on the request.
    kBroken,
    /// Nothing was sent: the bridge had no descriptor, memory, buffer or local
    /// port to spare, which says nothing about the application.
    kNoResources,
  };
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
