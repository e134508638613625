#include "stand_in/tools.h"

#include <algorithm>
#include <string>

#include "stand_in/faults.h"

namespace stand_in {
namespace {

using std::chrono::milliseconds;

/// The largest text the large tool makes; beyond it the call is refused.
constexpr double kMaxLargeBytes = 256.0 * 1024 * 1024;
/// Waits are capped at a day, which no test reaches and no clock overflows.
constexpr double kMaxWaitMs = 24.0 * 3600 * 1000;

std::string string_argument(const Json& arguments, const char* name, std::string fallback) {
  auto found = arguments.find(name);
  return found != arguments.end() && found->is_string() ? found->get<std::string>() : fallback;
}

double number_argument(const Json& arguments, const char* name, double fallback) {
  auto found = arguments.find(name);
  return found != arguments.end() && found->is_number() ? found->get<double>() : fallback;
}

milliseconds to_wait(double ms) {
  return milliseconds(static_cast<long long>(std::clamp(ms, 0.0, kMaxWaitMs)));
}

Reply echo(const Json& id, const Json& arguments, bool chunked) {
  Reply reply = json_reply(
      200, result_message(id, text_result(string_argument(arguments, "text", ""))), chunked);
  reply.wait = to_wait(number_argument(arguments, "delay_ms", 0));
  return reply;
}

Reply slow(const Json& id, const Json& arguments, bool chunked) {
  double seconds = number_argument(arguments, "seconds", 30);
  Reply reply = json_reply(200, result_message(id, text_result("waited")), chunked);
  reply.wait = to_wait(seconds * 1000);
  return reply;
}

// Byte i of the text is 'a' + i % 26, so a reader can tell a cut or a
// shuffled answer from a whole one.
Reply large(const Json& id, const Json& arguments, bool chunked) {
  double bytes = number_argument(arguments, "bytes", 1024 * 1024);
  if (bytes < 0 || bytes > kMaxLargeBytes) {
    return json_reply(200, error_message(id, -32602, "bytes out of range"), chunked);
  }
  std::string text(static_cast<size_t>(bytes), 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  return json_reply(200, result_message(id, text_result(std::move(text))), chunked);
}

Reply fault_tool(const Json& id, const Json& arguments, bool chunked) {
  std::string mode = string_argument(arguments, "mode", "");
  milliseconds interval = to_wait(number_argument(arguments, "interval_ms", 5));
  if (auto reply = fault(mode, id, interval, chunked)) return std::move(*reply);
  return json_reply(200, error_message(id, -32602, "Unknown fault mode: " + mode), chunked);
}

Json tool(const char* name, const char* description, Json properties, Json required) {
  Json schema = {
      {"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
  return {{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}};
}

}  // namespace

Json tool_list() {
  Json number = {{"type", "number"}};
  Json modes = {{"type", "string"}, {"enum", fault_modes()}};
  return Json::array({
      tool("echo", "Returns the text; waits delay_ms first.",
           {{"text", {{"type", "string"}}}, {"delay_ms", number}}, Json::array({"text"})),
      tool("slow", "Answers after the given seconds (default 30) unless the connection closes.",
           {{"seconds", number}}, Json::array()),
      tool("large", "Returns a text of the given number of bytes.",
           {{"bytes", {{"type", "integer"}}}}, Json::array()),
      tool("fault", "Answers in a deliberately broken way.",
           {{"mode", modes}, {"interval_ms", number}}, Json::array({"mode"})),
  });
}

Reply call_tool(const Json& id, const Json& params, bool chunked) {
  std::string name = string_argument(params, "name", "");
  Json arguments = params.value("arguments", Json::object());
  if (!arguments.is_object()) arguments = Json::object();
  if (name == "echo") return echo(id, arguments, chunked);
  if (name == "slow") return slow(id, arguments, chunked);
  if (name == "large") return large(id, arguments, chunked);
  if (name == "fault") return fault_tool(id, arguments, chunked);
  return json_reply(200, error_message(id, -32602, "Unknown tool: " + name), chunked);
}

}  // namespace stand_in
