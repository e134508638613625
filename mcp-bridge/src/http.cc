// One request to the application over a fresh connection, answered by one
// response that ends when the application closes the connection.
#include "http.h"

#include <fcntl.h>
#include <poll.h>

#include <utility>

#include "io.h"
#include "tcp.h"

namespace bridge {
namespace {

using Kind = SendOutcome::Kind;

constexpr std::string_view kCrLf = "\r\n";

// Most answers are small: the first read takes them whole without a large
// block per request.
constexpr size_t kFirstRead = size_t{4} << 10;
// Once an answer outgrows that, large reads keep the number of system calls
// low.
constexpr size_t kReadChunk = size_t{64} << 10;
// A larger announced size gets no room up front; the buffer still grows to
// whatever arrives.
constexpr size_t kLargestPresized = size_t{1} << 30;

SendOutcome outcome(Kind kind) { return SendOutcome{kind, Response{}}; }

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

// How far the bytes of one exchange got.
enum class Stream {
  /// Still open: more may come.
  kOpen,
  /// The application closed it: what arrived is the whole response.
  kEnded,
  /// It broke off (an error, a wait past its limit): what arrived is whole
  /// only if its own framing says so.
  kBroken,
  /// The answer outgrew the memory the bridge could get.
  kNoMemory,
};

// What arrives from the application, and the room it lands in.
class Receiver {
 public:
  explicit Receiver(int fd) : fd_(fd) {}

  // Takes in what the connection holds now, without waiting.
  Stream take_in() {
    for (;;) {
      const size_t before = received_.size;
      const IoResult got = read_into(fd_, received_, room_wanted());
      switch (got.status) {
        case Io::kMoved: presize(before); continue;
        case Io::kWouldBlock: return Stream::kOpen;
        case Io::kEnd: return Stream::kEnded;
        case Io::kFailed: return Stream::kBroken;
        case Io::kNoMemory: return Stream::kNoMemory;
      }
    }
  }

  // Reads until the stream ends or breaks off, each wait at most `limit`.
  Stream read_to_end(std::chrono::milliseconds limit) {
    for (;;) {
      // Right after the request the answer is seldom there yet: waiting
      // first saves a read that would only say so.
      if (wait_until(fd_, POLLIN, deadline_after(limit)) != Wait::kReady) return Stream::kBroken;
      const Stream stream = take_in();
      if (stream != Stream::kOpen) return stream;
    }
  }

  ByteBuffer& received() { return received_; }

 private:
  // The room a read needs: a small block first, then large steps once the
  // answer outgrows it; room left over, from presizing above all, is used up
  // before the buffer grows.
  size_t room_wanted() const {
    if (received_.capacity == 0) return kFirstRead;
    return received_.room() > 0 ? 1 : kReadChunk;
  }

  // Once the head is in, room for the announced size and one byte more, so
  // that the end of the stream is seen without growing again. A lie costs
  // nothing but the room: what arrives is kept either way.
  void presize(size_t before) {
    if (head_seen_) return;
    const auto framing = read_framing(received_.view(), before);
    if (!framing) return;
    head_seen_ = true;
    if (framing->chunked || !framing->content_length) return;
    const uint64_t total = framing->head_size + *framing->content_length;
    if (total > kLargestPresized || total < received_.capacity) return;
    move_to_block(received_, static_cast<size_t>(total) + 1);  // else doubling does the work
  }

  const int fd_;
  ByteBuffer received_;
  bool head_seen_ = false;
};

// Writes the head and the body. While the connection takes nothing, it waits
// at most `limit` for room, and takes in what the application answers
// meanwhile: one that answers early (a refusal of a body it will not read)
// and then closes must not have that answer lost with the connection. kOpen
// once all is written and the stream still open.
Stream send_request(int fd, std::string_view head, std::string_view body, Receiver& receiver,
                    std::chrono::milliseconds limit) {
  iovec pieces_store[] = {{const_cast<char*>(head.data()), head.size()},
                          {const_cast<char*>(body.data()), body.size()}};
  iovec* pieces = pieces_store;
  int count = advance(pieces, 2, 0);
  bool ended = false;  // the application has closed its side: all it says is in
  while (count > 0) {
    const IoResult sent = send_once(fd, pieces, count);
    if (sent.status == Io::kMoved) {
      count = advance(pieces, count, sent.bytes);
      continue;
    }
    // Once the application has closed its side, its answer is whole, and a
    // failure to send the rest changes nothing about it.
    const Stream failed = ended ? Stream::kEnded : Stream::kBroken;
    if (sent.status != Io::kWouldBlock) return failed;
    const short events = ended ? POLLOUT : POLLOUT | POLLIN;
    if (wait_until(fd, events, deadline_after(limit)) != Wait::kReady) return failed;
    if (ended) continue;
    const Stream early = receiver.take_in();
    if (early == Stream::kBroken || early == Stream::kNoMemory) return early;
    ended = early == Stream::kEnded;
  }
  return ended ? Stream::kEnded : Stream::kOpen;
}

// The response in what was received. After a stream that broke off, only an
// answer whose framing shows it whole counts, cut where its framing ends.
SendOutcome response_in(ByteBuffer received, Stream stream) {
  if (stream == Stream::kBroken) {
    const auto length = framed_length(received.view());
    if (!length) return outcome(Kind::kBroken);
    received.size = *length;
  } else if (stream != Stream::kEnded) {
    return outcome(Kind::kBroken);
  }
  std::optional<Response> response = parse_response(std::move(received));
  if (!response) return outcome(Kind::kBroken);
  return SendOutcome{Kind::kResponse, std::move(*response)};
}

// Everything of `send` except the final detach.
SendOutcome exchange(InFlight& in_flight, const ConnectionSettings& settings,
                     const Headers& headers, std::string_view body, const std::string* key,
                     const Limits& limits) {
  ConnectFailure failure = ConnectFailure::kNotConnected;
  std::optional<Fd> connection = connect_loopback(settings.port, limits.connect, &failure);
  if (!connection) {
    return outcome(failure == ConnectFailure::kNoResources ? Kind::kNoResources
                                                           : Kind::kNotConnected);
  }
  if (key != nullptr) share_with_flight(in_flight, *key, *connection);
  const std::string head = request_head(settings, headers, body.size());
  Receiver receiver(connection->get());
  Stream stream = send_request(connection->get(), head, body, receiver, limits.transfer);
  if (stream == Stream::kOpen) stream = receiver.read_to_end(limits.transfer);
  connection.reset();
  return response_in(std::move(receiver.received()), stream);
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
