// The tools that the stand-in offers over tools/call. Besides plain echoing
// they produce slow, large and deliberately broken answers, so that the
// bridge's handling of each can be tested against a real socket.
#pragma once

#include "stand_in/message_json.h"
#include "stand_in/reply.h"

namespace stand_in {

// The "tools" array that tools/list returns, each with its inputSchema.
Json tool_list();

// The reply to a tools/call request with this `id` and `params`.
Reply call_tool(const Json& id, const Json& params, bool chunked);

}  // namespace stand_in
