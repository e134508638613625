// Deliberately broken answers, chosen by the fault tool's "mode" argument.
// Each one stands for a way in which the application could let the bridge
// down: a cut connection, bytes that are not HTTP, bodies that are not a
// usable JSON-RPC reply, unusual but valid framing, or no answer at all.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stand_in/message_json.h"
#include "stand_in/reply.h"

namespace stand_in {

// The names of all modes, for the tool's input schema.
std::vector<std::string_view> fault_modes();

// The reply for `mode` to the request `id`; nullopt for an unknown mode.
// `interval` paces the "trickle" mode.
std::optional<Reply> fault(std::string_view mode, const Json& id,
                           std::chrono::milliseconds interval, bool chunked);

}  // namespace stand_in
