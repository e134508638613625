// The application's MCP endpoint: token check, routing and the JSON-RPC
// methods, one request in, one reply out.
#pragma once

#include <string>

#include "stand_in/reply.h"
#include "stand_in/request.h"

namespace stand_in {

struct Endpoint {
  /// Requests must carry "Authorization: Bearer <token>".
  std::string token;
  /// Send well-formed answers in the chunked transfer coding.
  bool chunked = false;
};

// The reply to a completely received request. Checks the token first, then
// the path (/mcp, else 404) and the method (POST, else 405); then the body
// decides: not JSON 400, a notification or a message without a method 202
// with an empty body, a request the JSON-RPC answer with status 200.
Reply answer(const Request& request, const Endpoint& endpoint);

}  // namespace stand_in
