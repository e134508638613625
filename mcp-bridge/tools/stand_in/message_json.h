// The stand-in application's JSON: the library's tree, which is handy to
// build answers with, read and written in the bridge's wire form (lone
// surrogate escapes included) by converting to and from the bridge's tree.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace stand_in {

using Json = nlohmann::json;

std::optional<Json> parse_json(std::string_view text);
std::string serialize(const Json& value);

}  // namespace stand_in
