#include "stand_in/reply.h"

#include "stand_in/wire.h"

namespace stand_in {

Reply raw_reply(std::string bytes) {
  Reply reply;
  reply.bytes = std::move(bytes);
  return reply;
}

Reply json_reply(int status, const bridge::Json& body, bool chunked) {
  return raw_reply(response(status, bridge::serialize(body), chunked));
}

bridge::Json result_message(const bridge::Json& id, bridge::Json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

bridge::Json error_message(const bridge::Json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

bridge::Json text_result(std::string text) {
  bridge::Json item = {{"type", "text"}, {"text", std::move(text)}};
  return {{"content", bridge::Json::array({std::move(item)})}};
}

}  // namespace stand_in
