#include "stand_in/endpoint.h"

#include <string_view>

#include "stand_in/tools.h"
#include "stand_in/wire.h"

namespace stand_in {
namespace {


bool authorized(const Request& request, const std::string& token) {
  const std::string* value = find_header(request, "Authorization");
  // Header values arrive without surrounding blanks, so an empty token shows
  // as the bare word.
  std::string expected = "Bearer " + token;
  while (!expected.empty() && (expected.back() == ' ' || expected.back() == '\t'))
    expected.pop_back();
  return value && *value == expected;
}

Json initialize_result() {
  return {{"protocolVersion", "2025-06-18"},
          {"capabilities", {{"tools", Json::object()}, {"resources", Json::object()}}},
          {"serverInfo", {{"name", "stand-in"}, {"version", "1.0"}}}};
}

Json read_resource(const Json& id, const Json& params) {
  auto uri = params.find("uri");
  if (uri == params.end() || !uri->is_string()) {
    return error_message(id, -32602, "resources/read needs params.uri");
  }
  Json content = {{"uri", *uri},
                  {"mimeType", "text/plain"},
                  {"text", "Contents of " + uri->get<std::string>()}};
  return result_message(id, {{"contents", Json::array({content})}});
}

// The answer to a JSON-RPC request, one that has both id and method.
Reply answer_request(const Json& message, bool chunked) {
  const Json& id = message.at("id");
  const Json& method = message.at("method");
  Json params = message.value("params", Json::object());
  if (!params.is_object()) params = Json::object();
  if (!method.is_string())
    return json_reply(200, error_message(id, -32600, "Invalid Request"), chunked);
  if (method == "initialize")
    return json_reply(200, result_message(id, initialize_result()), chunked);
  if (method == "ping") return json_reply(200, result_message(id, Json::object()), chunked);
  if (method == "tools/list")
    return json_reply(200, result_message(id, {{"tools", tool_list()}}), chunked);
  if (method == "tools/call") return call_tool(id, params, chunked);
  if (method == "resources/read") return json_reply(200, read_resource(id, params), chunked);
  return json_reply(200, error_message(id, -32601, "Method not found"), chunked);
}

}  // namespace

Reply answer(const Request& request, const Endpoint& endpoint) {
  const bool chunked = endpoint.chunked;
  if (!authorized(request, endpoint.token)) {
    return json_reply(401, error_message(nullptr, -32001, "Unauthorized"), chunked);
  }
  std::string_view target = request.target;
  if (target.substr(0, target.find('?')) != "/mcp") {
    return json_reply(404, error_message(nullptr, -32601, "Not Found"), chunked);
  }
  if (request.method != "POST") {
    return json_reply(405, error_message(nullptr, -32600, "Method Not Allowed"), chunked);
  }
  std::optional<Json> message = parse_json(request.body);
  if (!message) return json_reply(400, error_message(nullptr, -32700, "Parse error"), chunked);
  if (!message->is_object()) {
    return json_reply(400, error_message(nullptr, -32600, "Invalid Request"), chunked);
  }
  if (!message->contains("id") || !message->contains("method")) {
    return raw_reply(response(202, "", chunked));
  }
  return answer_request(*message, chunked);
}

}  // namespace stand_in
