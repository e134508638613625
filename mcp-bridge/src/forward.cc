#include "forward.h"

#include <new>
#include <string_view>
#include <variant>

#include "output.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;

// Between polls of an application that is starting.
constexpr auto kPollInterval = 250ms;
// How long one request waits for a starting application.
constexpr auto kWaitLimit = 15s;
// After a launch, requests wait this long instead of launching again...
constexpr auto kLaunchGrace = 15s;
// ...and the launcher is not called again before this.
constexpr auto kRelaunchAfter = 60s;

constexpr std::string_view kLost = kLostMessage;
constexpr std::string_view kUnreachable =
    "Torvela\u2019ya ba\u011Flan\u0131lamad\u0131. Torvela\u2019y\u0131 a\u00E7 ve MCP "
    "b\u00F6l\u00FCm\u00FCnde MCP sunucusunu a\u00E7.";
constexpr std::string_view kDisabled =
    "Torvela\u2019da MCP kapal\u0131. Torvela \u203A MCP\u2019den a\u00E7.";
// The bridge itself ran out of descriptors, memory or processes: the
// application may be up and well, so it is neither launched nor waited for.
constexpr std::string_view kNoResources =
    "Sistem kaynaklar\u0131 yetmedi\u011Fi i\u00E7in istek Torvela\u2019ya "
    "g\u00F6nderilemedi. Biraz sonra yeniden dene.";

std::string unexpected_answer(uint16_t status) {
  return "Torvela beklenmeyen bir yan\u0131t verdi (HTTP " + std::to_string(status) + ").";
}

// The ways a request can fail, each with its message for the host.
enum class Failure { kLost, kUnreachable, kDisabled, kNoResources };

std::string_view message_of(Failure failure) {
  switch (failure) {
    case Failure::kLost: return kLost;
    case Failure::kUnreachable: return kUnreachable;
    case Failure::kDisabled: return kDisabled;
    case Failure::kNoResources: return kNoResources;
  }
  return kUnreachable;
}

// What became of a request: the application's response, or a failure.
using Outcome = std::variant<Response, Failure>;

bool unreached(const Outcome& outcome) {
  return std::holds_alternative<Failure>(outcome) &&
         std::get<Failure>(outcome) == Failure::kUnreachable;
}

std::optional<std::string_view> string_member(const JsonValue* value, std::string_view name) {
  const JsonValue* found = member(value, name);
  if (found == nullptr || !found->is_string()) return std::nullopt;
  return found->string();
}

bool is_request(const Json& message) {
  return member(&message.root, "id") != nullptr && member(&message.root, "method") != nullptr;
}

std::optional<std::string> remembered_version(Bridge& bridge) {
  std::lock_guard<std::mutex> hold(bridge.version_mutex);
  return bridge.protocol_version;
}

// The version, method and name the message carries itself; else the version
// that the application last reported; else nothing.
Headers extra_headers(Bridge& bridge, const Json& message) {
  const std::optional<std::string> remembered = remembered_version(bridge);
  const JsonValue* params = member(&message.root, "params");
  Headers headers;
  const std::optional<std::string_view> version =
      string_member(member(params, "_meta"), "io.modelcontextprotocol/protocolVersion");
  if (!version) {
    if (remembered) headers.emplace_back("MCP-Protocol-Version", header_safe(*remembered));
    return headers;
  }
  headers.emplace_back("MCP-Protocol-Version", header_safe(*version));
  if (const auto method = string_member(&message.root, "method")) {
    headers.emplace_back("Mcp-Method", header_safe(*method));
  }
  std::optional<std::string_view> name = string_member(params, "name");
  if (!name) name = string_member(params, "uri");
  if (name) headers.emplace_back("Mcp-Name", header_safe(*name));
  return headers;
}

// One request on its way: what all its attempts share.
struct Request {
  Bridge& bridge;
  const Headers& headers;
  const std::string& body;
  const std::string& key;
};

// What one attempt to reach the application came to, and the enabled flag
// that the settings file said meanwhile.
struct Attempt {
  /// kUnreachable when nobody took the request: no settings, or no
  /// connection. The request is then still open.
  Outcome outcome;
  std::optional<bool> enabled;
};

Attempt attempt(const Request& r) {
  const State current = state(r.bridge.settings_dir);
  if (current.out_of_resources) return {Failure::kNoResources, std::nullopt};
  if (!current.settings) return {Failure::kUnreachable, current.enabled};
  SendOutcome sent = send(r.bridge.in_flight, *current.settings, r.headers, r.body, &r.key,
                          r.bridge.timing.limits);
  switch (sent.kind) {
    case SendOutcome::Kind::kResponse: return {std::move(sent.response), current.enabled};
    case SendOutcome::Kind::kBroken: return {Failure::kLost, current.enabled};
    case SendOutcome::Kind::kNoResources: return {Failure::kNoResources, current.enabled};
    case SendOutcome::Kind::kNotConnected: break;
  }
  return {Failure::kUnreachable, current.enabled};
}

enum class LaunchDecision { kWait, kRefuse, kNoResources };

// Under the launch lock, held across the launcher so that requests which find
// the application down together queue behind one launch. A request cancelled
// while it queued launches nothing: the host no longer wants it.
LaunchDecision decide_launch(const Request& r) {
  Bridge& bridge = r.bridge;
  std::lock_guard<std::mutex> hold(bridge.launch_mutex);
  if (bridge.last_launch) {
    const auto age = bridge.timing.now() - *bridge.last_launch;
    if (age < kLaunchGrace) return LaunchDecision::kWait;
    if (age < kRelaunchAfter) return LaunchDecision::kRefuse;
  }
  // The in-flight lock is only ever taken inside the launch lock, never the
  // other way round, so looking here cannot deadlock.
  if (is_cancelled(bridge.in_flight, r.key)) return LaunchDecision::kRefuse;
  switch (bridge.launcher()) {
    case LaunchResult::kAlreadyRunning:
    case LaunchResult::kOpened: break;
    case LaunchResult::kNotStarted: return LaunchDecision::kRefuse;
    case LaunchResult::kNoResources: return LaunchDecision::kNoResources;
  }
  bridge.last_launch = bridge.timing.now();
  return LaunchDecision::kWait;
}

// Polls a starting application until it answers, says it is disabled, the
// request is cancelled, or the wait runs out.
Outcome wait_for_application(const Request& r) {
  const Timing& timing = r.bridge.timing;
  const auto deadline = timing.now() + kWaitLimit;
  for (;;) {
    if (timing.now() >= deadline || is_cancelled(r.bridge.in_flight, r.key)) {
      return Failure::kUnreachable;
    }
    timing.sleep(kPollInterval);
    Attempt current = attempt(r);
    if (!unreached(current.outcome)) return std::move(current.outcome);
    if (current.enabled == false) return Failure::kDisabled;
  }
}

Outcome reach_application(const Request& r) {
  if (is_cancelled(r.bridge.in_flight, r.key)) return Failure::kUnreachable;
  Attempt first = attempt(r);
  if (!unreached(first.outcome)) return std::move(first.outcome);
  if (first.enabled == false) return Failure::kDisabled;
  // Cancelled while the connect was failing: the host no longer wants an
  // answer, so nothing may be started for it.
  if (is_cancelled(r.bridge.in_flight, r.key)) return Failure::kUnreachable;
  switch (decide_launch(r)) {
    case LaunchDecision::kWait: break;
    case LaunchDecision::kRefuse: return Failure::kUnreachable;
    case LaunchDecision::kNoResources: return Failure::kNoResources;
  }
  return wait_for_application(r);
}

// A JSON-RPC answer: a result of any kind, or an error object.
bool is_json_rpc_answer(const JsonValue& answer) {
  const JsonValue* error = member(&answer, "error");
  return member(&answer, "result") != nullptr || (error != nullptr && error->is_object());
}

void remember_version(Bridge& bridge, const Json& request, const Json& answer) {
  if (string_member(&request.root, "method") != "initialize") return;
  if (const auto version = string_member(member(&answer.root, "result"), "protocolVersion")) {
    std::lock_guard<std::mutex> hold(bridge.version_mutex);
    bridge.protocol_version = std::string(*version);
  }
}

// The answer as the host gets it: the application's JSON-RPC answer, its id
// filled in when missing or null; anything else becomes the unexpected-answer
// error. The answer's tree points into the received bytes, which it takes
// over. An answer too large for the memory at hand is lost.
Json check_answer(Bridge& bridge, const Json& request, const JsonValue& id, Response response) {
  const uint16_t status = response.status;
  // The reply's wire form is about as long as the body it came from, plus an
  // id filled in.
  const size_t expected_size = response.body_size + request_key(id).size() + 8;
  std::optional<Json> answer;
  try {
    answer = parse_json(std::move(response.received), response.body_offset, response.body_size);
    if (answer && is_json_rpc_answer(answer->root)) {
      const JsonValue* answered_id = member(&answer->root, "id");
      if (answered_id == nullptr || answered_id->is_null()) set_id(*answer, id);
    }
  } catch (const std::bad_alloc&) {
    return error_reply(id, kLost);
  }
  if (!answer || !is_json_rpc_answer(answer->root)) {
    return error_reply(id, unexpected_answer(status));
  }
  remember_version(bridge, request, *answer);
  answer->wire_size = expected_size;
  return std::move(*answer);
}

// The message's wire form, built in room for about the input line it came
// from: the compact form is rarely longer than what the host wrote.
std::string request_body(const Json& message) {
  std::string body;
  body.reserve(message.wire_size + 64);
  serialize(message.root, body);
  return body;
}

// Everything of a request between its entry's start and finish. Memory that
// runs out on the way, before anything is sent, fails this request alone.
Outcome carry_request(Bridge& bridge, const Json& message, const std::string& key) {
  try {
    const Headers headers = extra_headers(bridge, message);
    const std::string body = request_body(message);
    return reach_application(Request{bridge, headers, body, key});
  } catch (const std::bad_alloc&) {
    return Failure::kNoResources;
  }
}

std::optional<Json> forward_request(Bridge& bridge, const Json& message, bool admitted) {
  const JsonValue& id = *member(&message.root, "id");
  const std::string key = request_key(id);
  if (!admitted) start_flight(bridge.in_flight, key);
  Outcome outcome = carry_request(bridge, message, key);
  if (finish_flight(bridge.in_flight, key).value_or(false)) return std::nullopt;
  if (const Failure* failure = std::get_if<Failure>(&outcome)) {
    return error_reply(id, message_of(*failure));
  }
  return check_answer(bridge, message, id, std::move(std::get<Response>(outcome)));
}

void forward_cancellation(Bridge& bridge, const Json& message) {
  if (const JsonValue* id = member(member(&message.root, "params"), "requestId")) {
    cancel(bridge.in_flight, request_key(*id));
  }
}

// Sent once when the application's settings are known; whatever comes back,
// or fails, is dropped.
void forward_notification(Bridge& bridge, const Json& message) {
  const State current = state(bridge.settings_dir);
  if (!current.settings) return;
  send(bridge.in_flight, *current.settings, extra_headers(bridge, message), request_body(message),
       nullptr, bridge.timing.limits);
}

std::optional<Json> forward_message(Bridge& bridge, const Json& message, bool admitted) {
  if (is_request(message)) return forward_request(bridge, message, admitted);
  if (string_member(&message.root, "method") == "notifications/cancelled") {
    forward_cancellation(bridge, message);
  } else {
    forward_notification(bridge, message);
  }
  return std::nullopt;
}

}  // namespace

Bridge::Bridge(std::optional<std::string> settings_dir, Launcher launcher, Timing timing)
    : settings_dir(std::move(settings_dir)),
      launcher(std::move(launcher)),
      timing(std::move(timing)) {}

std::optional<Json> forward(Bridge& bridge, const Json& message) {
  return forward_message(bridge, message, false);
}

void admit(Bridge& bridge, const Json& message) {
  if (!is_request(message)) return;
  try {
    start_flight(bridge.in_flight, request_key(*member(&message.root, "id")));
  } catch (const std::bad_alloc&) {
    // Without an entry the request still goes; only a cancellation of it
    // cannot reach it.
  }
}

std::optional<Json> forward_admitted(Bridge& bridge, const Json& message) {
  return forward_message(bridge, message, true);
}

std::optional<Json> refuse(Bridge& bridge, const Json& message) {
  if (!is_request(message)) return std::nullopt;
  const JsonValue& id = *member(&message.root, "id");
  if (finish_flight(bridge.in_flight, request_key(id)).value_or(false)) return std::nullopt;
  return error_reply(id, kNoResources);
}

}  // namespace bridge
