// The JSON reader and writer as they were before the bridge got its own
// one-pass reader: a pre-scan for depth and minus zero, then the library's
// parser; and the first wire-form writer. Kept only as the reference against
// which the differential tests compare the reader and writer in use.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace bridge::reference {

// The library's tree: objects in a std::map, so members in key order.
using Json = nlohmann::json;

std::optional<Json> parse_json(std::string_view text);
void serialize(const Json& value, std::string& out);
std::string serialize(const Json& value);

// Empty when the bridge's reader, tree and writer agree with these on
// `input`: the same bytes out and the same kinds of number, or both refusing. The one
// difference allowed is a lone surrogate escape, which these refuse and the
// reader in use keeps. Otherwise says what differs.
std::string difference(std::string_view input);

}  // namespace bridge::reference
