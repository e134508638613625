#include "forward.h"

#include <string_view>

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

constexpr std::string_view kLost =
    "Torvela\u2019yla ba\u011Flant\u0131 yan\u0131t gelmeden koptu. \u0130\u015Flemin "
    "yap\u0131l\u0131p yap\u0131lmad\u0131\u011F\u0131n\u0131 Torvela\u2019da kontrol et.";
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

const std::string* string_member(const Json* value, std::string_view name) {
  const Json* found = member(value, name);
  return found != nullptr && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

std::optional<std::string> remembered_version(Bridge& bridge) {
  std::lock_guard<std::mutex> hold(bridge.version_mutex);
  return bridge.protocol_version;
}

// The version, method and name the message carries itself; else the version
// that the application last reported; else nothing.
Headers extra_headers(Bridge& bridge, const Json& message) {
  const std::optional<std::string> remembered = remembered_version(bridge);
  const Json* params = member(&message, "params");
  Headers headers;
  const std::string* version =
      string_member(member(params, "_meta"), "io.modelcontextprotocol/protocolVersion");
  if (version == nullptr) {
    if (remembered) headers.emplace_back("MCP-Protocol-Version", header_safe(*remembered));
    return headers;
  }
  headers.emplace_back("MCP-Protocol-Version", header_safe(*version));
  if (const std::string* method = string_member(&message, "method")) {
    headers.emplace_back("Mcp-Method", header_safe(*method));
  }
  const std::string* name = string_member(params, "name");
  if (name == nullptr) name = string_member(params, "uri");
  if (name != nullptr) headers.emplace_back("Mcp-Name", header_safe(*name));
  return headers;
}

// What became of a request: the application's response or an error text.
struct Outcome {
  std::optional<Response> response;
  std::string error;
};

Outcome failed(std::string_view message) { return {std::nullopt, std::string(message)}; }

// Everything one request's attempts share.
struct Attempt {
  Bridge& bridge;
  const Headers& headers;
  const std::string& body;
  const std::string& key;
};

// One exchange. nullopt when the application could not be reached.
std::optional<Outcome> try_send(const Attempt& a, const ConnectionSettings& settings) {
  SendOutcome sent = send(a.bridge.in_flight, settings, a.headers, a.body, &a.key,
                          a.bridge.timing.limits);
  switch (sent.kind) {
    case SendOutcome::Kind::kResponse: return Outcome{std::move(sent.response), {}};
    case SendOutcome::Kind::kBroken: return failed(kLost);
    case SendOutcome::Kind::kNoResources: return failed(kNoResources);
    case SendOutcome::Kind::kNotConnected: break;
  }
  return std::nullopt;
}

enum class LaunchDecision { kWait, kRefuse, kNoResources };

// Under the launch lock, held across the launcher so that requests which find
// the application down together queue behind one launch.
LaunchDecision decide_launch(Bridge& bridge) {
  std::lock_guard<std::mutex> hold(bridge.launch_mutex);
  if (bridge.last_launch) {
    const auto age = bridge.timing.now() - *bridge.last_launch;
    if (age < kLaunchGrace) return LaunchDecision::kWait;
    if (age < kRelaunchAfter) return LaunchDecision::kRefuse;
  }
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
Outcome wait_for_application(const Attempt& a) {
  Bridge& bridge = a.bridge;
  const auto deadline = bridge.timing.now() + kWaitLimit;
  for (;;) {
    if (bridge.timing.now() >= deadline || is_cancelled(bridge.in_flight, a.key)) {
      return failed(kUnreachable);
    }
    bridge.timing.sleep(kPollInterval);
    const State current = state(bridge.settings_dir);
    if (current.out_of_resources) return failed(kNoResources);
    if (current.settings) {
      if (std::optional<Outcome> done = try_send(a, *current.settings)) return std::move(*done);
    }
    if (current.enabled == false) return failed(kDisabled);
  }
}

Outcome when_unreachable(const Attempt& a, std::optional<bool> enabled) {
  if (enabled == false) return failed(kDisabled);
  // Cancelled while the connect was failing: the host no longer wants an
  // answer, so nothing may be started for it.
  if (is_cancelled(a.bridge.in_flight, a.key)) return failed(kUnreachable);
  switch (decide_launch(a.bridge)) {
    case LaunchDecision::kWait: break;
    case LaunchDecision::kRefuse: return failed(kUnreachable);
    case LaunchDecision::kNoResources: return failed(kNoResources);
  }
  return wait_for_application(a);
}

Outcome reach_application(const Attempt& a) {
  if (is_cancelled(a.bridge.in_flight, a.key)) return failed(kUnreachable);
  const State current = state(a.bridge.settings_dir);
  if (current.out_of_resources) return failed(kNoResources);
  if (current.settings) {
    if (std::optional<Outcome> done = try_send(a, *current.settings)) return std::move(*done);
  }
  return when_unreachable(a, current.enabled);
}

// The answer as the host gets it: one JSON value with "result" or "error",
// its id filled in when missing or null.
Json check_answer(Bridge& bridge, const Json& request, const Json& id, const Response& response) {
  std::optional<Json> answer = parse_json(response.body());
  if (!answer || !(answer->contains("result") || answer->contains("error"))) {
    return error_reply(id, unexpected_answer(response.status));
  }
  const std::string* method = string_member(&request, "method");
  if (method != nullptr && *method == "initialize") {
    if (const std::string* version = string_member(member(&*answer, "result"), "protocolVersion")) {
      std::lock_guard<std::mutex> hold(bridge.version_mutex);
      bridge.protocol_version = *version;
    }
  }
  const auto it = answer->find("id");
  if (it == answer->end() || it->is_null()) (*answer)["id"] = id;
  return std::move(*answer);
}

// The message's wire form, built in room for about the input line it came
// from: the compact form is rarely longer than what the host wrote.
std::string request_body(const Json& message, size_t line_size) {
  std::string body;
  body.reserve(line_size + 64);
  serialize(message, body);
  return body;
}

std::optional<Reply> forward_request(Bridge& bridge, const Json& message, const Headers& headers,
                                     size_t line_size) {
  const Json& id = message.at("id");
  const std::string key = request_key(id);
  start_flight(bridge.in_flight, key);
  const std::string body = request_body(message, line_size);
  Outcome outcome = reach_application(Attempt{bridge, headers, body, key});
  if (finish_flight(bridge.in_flight, key).value_or(false)) return std::nullopt;
  if (!outcome.response) return error_reply(id, outcome.error);
  // The reply's wire form is about as long as the body it came from (plus an
  // id filled in); the received bytes are freed before it is written.
  const size_t expected_size = outcome.response->body_size + key.size() + 8;
  Json answer = check_answer(bridge, message, id, *outcome.response);
  outcome.response.reset();
  return Reply(std::move(answer), expected_size);
}

void forward_cancellation(Bridge& bridge, const Json& message) {
  if (const Json* id = member(member(&message, "params"), "requestId")) {
    cancel(bridge.in_flight, request_key(*id));
  }
}

// Sent once when the application's settings are known; whatever comes back,
// or fails, is dropped.
void forward_notification(Bridge& bridge, const Json& message, const Headers& headers,
                          size_t line_size) {
  const State current = state(bridge.settings_dir);
  if (!current.settings) return;
  send(bridge.in_flight, *current.settings, headers, request_body(message, line_size), nullptr,
       bridge.timing.limits);
}

}  // namespace

Bridge::Bridge(std::optional<std::string> settings_dir, Launcher launcher, Timing timing)
    : settings_dir(std::move(settings_dir)),
      launcher(std::move(launcher)),
      timing(std::move(timing)) {}

std::optional<Reply> forward(Bridge& bridge, const Json& message, size_t line_size) {
  const Headers headers = extra_headers(bridge, message);
  if (message.contains("id") && message.contains("method")) {
    return forward_request(bridge, message, headers, line_size);
  }
  const std::string* method = string_member(&message, "method");
  if (method != nullptr && *method == "notifications/cancelled") {
    forward_cancellation(bridge, message);
  } else {
    forward_notification(bridge, message, headers, line_size);
  }
  return std::nullopt;
}

}  // namespace bridge
