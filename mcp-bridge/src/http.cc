// One request to the application over a fresh connection, answered by one
// response that ends when the application closes the connection.
#include "http.h"

#include <fcntl.h>

#include <utility>

#include "tcp.h"

namespace bridge {
namespace {

constexpr std::string_view kCrLf = "\r\n";

SendOutcome outcome(SendOutcome::Kind kind) {
  return SendOutcome{kind, Response{}};
}

std::string request_head(const ConnectionSettings& settings, const Headers& headers,
                         size_t body_size) {
  std::string head = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:";
  head += std::to_string(settings.port);
  head += "\r\nAuthorization: Bearer ";
  head += settings.token;
  head +=
      "\r\nContent-Type: application/json\r\n"
      "Accept: application/json, text/event-stream\r\n"
      "Content-Length: ";
  head += std::to_string(body_size);
  head += "\r\nConnection: close\r\n";
  for (const auto& [name, value] : headers) {
    head.append(name).append(": ").append(value).append(kCrLf);
  }
  head += kCrLf;
  return head;
}

// Lets a cancellation of request `key` shut `connection` down from another
// thread. Without a duplicate the exchange simply cannot be cut short.
void share_with_flight(InFlight& in_flight, const std::string& key, const Fd& connection) {
  Fd duplicate(::fcntl(connection.get(), F_DUPFD_CLOEXEC, 0));
  if (duplicate) attach_stream(in_flight, key, std::move(duplicate));
}

// Everything of `send` except the final detach.
SendOutcome exchange(InFlight& in_flight, const ConnectionSettings& settings,
                     const Headers& headers, std::string_view body, const std::string* key,
                     const Limits& limits) {
  bool no_socket = false;
  std::optional<Fd> connection = connect_loopback(settings.port, limits.connect, &no_socket);
  if (!connection) {
    return outcome(no_socket ? SendOutcome::Kind::kNoResources : SendOutcome::Kind::kNotConnected);
  }
  if (key != nullptr) share_with_flight(in_flight, *key, *connection);
  const std::string head = request_head(settings, headers, body.size());
  std::optional<ByteBuffer> received;
  if (write_all(connection->get(), head, body)) {
    received = receive_to_end(connection->get(), limits.receive, announced_size);
  }
  connection.reset();
  if (!received) return outcome(SendOutcome::Kind::kBroken);
  std::optional<Response> response = parse_response(std::move(*received));
  if (!response) return outcome(SendOutcome::Kind::kBroken);
  return SendOutcome{SendOutcome::Kind::kResponse, std::move(*response)};
}

}  // namespace

SendOutcome send(InFlight& in_flight, const ConnectionSettings& settings, const Headers& headers,
                 std::string_view body, const std::string* key, const Limits& limits) {
  SendOutcome result = exchange(in_flight, settings, headers, body, key, limits);
  // Also after a failed connect: the entry must never keep a stale stream.
  if (key != nullptr) detach_stream(in_flight, *key);
  return result;
}

}  // namespace bridge
