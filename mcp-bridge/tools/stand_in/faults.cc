#include "stand_in/faults.h"

#include <utility>

#include "stand_in/wire.h"

namespace stand_in {
namespace {


struct Fault {
  const Json& id;
  /// The well-formed reply that the mode mangles or frames unusually.
  Json normal;
  std::chrono::milliseconds interval;
  bool chunked;
};

// An id that surely differs from `id`.
Json other_id(const Json& id) {
  return id.is_string() ? Json(id.get<std::string>() + "-other") : Json("other");
}

// The head and half the body of an answer, then the end of the stream. A
// plain body cut short looks whole to the client; a chunked one does not.
Reply drop(Fault& f) {
  std::string whole = response(200, serialize(f.normal), f.chunked);
  size_t body_at = whole.find("\r\n\r\n") + 4;
  whole.resize(body_at + (whole.size() - body_at) / 2);
  return raw_reply(std::move(whole));
}

Reply with_id(Fault& f, Json id) {
  f.normal["id"] = std::move(id);
  return json_reply(200, f.normal, f.chunked);
}

using Make = Reply (*)(Fault&);

const std::pair<std::string_view, Make> kModes[] = {
    {"drop", drop},
    {"garbage", [](Fault&) { return raw_reply("\x16\x03\x01 not a response at all\n"); }},
    {"status500",
     [](Fault& f) {
       return json_reply(500, error_message(f.id, -32603, "Internal failure"), f.chunked);
     }},
    // What an OAuth-style server answers a bad token with: JSON, but no
    // JSON-RPC answer.
    {"oauth401",
     [](Fault& f) {
       return raw_reply(response(
           401, R"({"error":"invalid_token","error_description":"Invalid token"})", f.chunked));
     }},
    {"empty202", [](Fault& f) { return raw_reply(response(202, "", f.chunked)); }},
    {"array", [](Fault& f) { return json_reply(200, Json::array({f.normal}), f.chunked); }},
    {"no_result",
     [](Fault& f) {
       return json_reply(200, {{"jsonrpc", "2.0"}, {"id", f.id}}, f.chunked);
     }},
    {"null_id", [](Fault& f) { return with_id(f, nullptr); }},
    {"no_id",
     [](Fault& f) {
       f.normal.erase("id");
       return json_reply(200, f.normal, f.chunked);
     }},
    {"other_id", [](Fault& f) { return with_id(f, other_id(f.id)); }},
    {"chunked", [](Fault& f) { return json_reply(200, f.normal, true); }},
    {"trickle",
     [](Fault& f) {
       Reply reply = json_reply(200, f.normal, f.chunked);
       reply.byte_interval = std::max(f.interval, std::chrono::milliseconds(1));
       return reply;
     }},
    {"silent",
     [](Fault&) {
       Reply reply;
       reply.until_close = true;
       return reply;
     }},
};

}  // namespace

std::vector<std::string_view> fault_modes() {
  std::vector<std::string_view> names;
  for (const auto& [name, make] : kModes) names.push_back(name);
  return names;
}

std::optional<Reply> fault(std::string_view mode, const Json& id,
                           std::chrono::milliseconds interval, bool chunked) {
  for (const auto& [name, make] : kModes) {
    if (name != mode) continue;
    Fault f{id, result_message(id, text_result("fault " + std::string(mode))), interval, chunked};
    return make(f);
  }
  return std::nullopt;
}

}  // namespace stand_in
