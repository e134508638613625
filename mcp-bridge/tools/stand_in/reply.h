// What a connection does once its request has been read, and the JSON-RPC
// messages most answers carry. Building a reply is pure; the server carries
// it out on the socket.
#pragma once

#include <chrono>
#include <string>

#include "stand_in/message_json.h"

namespace stand_in {

struct Reply {
  /// Pause before answering; it ends early when the peer closes.
  std::chrono::milliseconds wait{0};
  /// Never answer; hold the connection until the peer closes it.
  bool until_close = false;
  /// The response exactly as it goes on the wire.
  std::string bytes;
  /// When positive, the bytes go out one at a time with this pause between them.
  std::chrono::milliseconds byte_interval{0};
};

// Sends `bytes` at once, as they are.
Reply raw_reply(std::string bytes);
// A response with `body` serialized as its JSON body.
Reply json_reply(int status, const Json& body, bool chunked);

// {"jsonrpc":"2.0","id":id,"result":result}
Json result_message(const Json& id, Json result);
// {"jsonrpc":"2.0","id":id,"error":{"code":code,"message":message}}
Json error_message(const Json& id, int code, const std::string& message);
// A tool call's result holding one text item: {"content":[{"type":"text","text":text}]}
Json text_result(std::string text);

}  // namespace stand_in
