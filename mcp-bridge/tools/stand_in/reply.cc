#include "stand_in/reply.h"

#include "stand_in/wire.h"

namespace stand_in {

Reply raw_reply(std::string bytes) {
  Reply reply;
  reply.bytes = std::move(bytes);
  return reply;
}

Reply json_reply(int status, const Json& body, bool chunked) {
  return raw_reply(response(status, serialize(body), chunked));
}

Json result_message(const Json& id, Json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json error_message(const Json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

Json text_result(std::string text) {
  Json item = {{"type", "text"}, {"text", std::move(text)}};
  return {{"content", Json::array({std::move(item)})}};
}

}  // namespace stand_in
