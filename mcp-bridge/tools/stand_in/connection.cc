#include "stand_in/connection.h"

#include "stand_in/io.h"
#include "stand_in/wire.h"

namespace stand_in {
namespace {

Reply reply_for(const Request& request, Receipt receipt, const Options& options,
                const Endpoint& endpoint) {
  Reply reply;
  if (receipt != Receipt::kComplete) {
    reply = json_reply(400, error_message(nullptr, -32600, "Bad Request"), endpoint.chunked);
  } else if (auto raw = options.hook ? options.hook(request) : std::nullopt) {
    reply.bytes = std::move(*raw);
  } else {
    reply = answer(request, endpoint);
  }
  reply.wait += options.delay;
  return reply;
}

// Carries `reply` out; false when the peer closed the connection before the
// reply was complete.
bool deliver(int fd, const Reply& reply) {
  if (reply.until_close) {
    peer_closes_within(fd, std::nullopt);
    return false;
  }
  if (reply.wait.count() > 0 && peer_closes_within(fd, reply.wait)) return false;
  if (reply.byte_interval.count() <= 0) return send_all(fd, reply.bytes);
  std::string_view bytes = reply.bytes;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && peer_closes_within(fd, reply.byte_interval)) return false;
    if (!send_all(fd, bytes.substr(i, 1))) return false;
  }
  return true;
}

}  // namespace

void serve(int fd, const Options& options, const Endpoint& endpoint, RequestLog& log,
           const std::atomic<bool>& stopping) {
  Request request;
  Receipt receipt = read_request(fd, request);
  if (receipt == Receipt::kNothing) return;
  request.closed_early = receipt == Receipt::kCutShort;
  size_t index = log.record(request);
  if (receipt == Receipt::kCutShort) return;
  if (!deliver(fd, reply_for(request, receipt, options, endpoint))) {
    if (!stopping) log.mark_closed_early(index);
    return;
  }
  finish_sending(fd);
}

}  // namespace stand_in
