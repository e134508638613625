// The settings file "mcp.json" through which the application tells the bridge
// where to reach it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace stand_in {

// Writes "<dir>/mcp.json" holding port, token and settings.enabled (left out
// when `enabled` is absent). The file is written under a temporary name and
// renamed, so that a reader sees the old file or the new one, never a part.
// False when any step fails.
bool write_settings_file(const std::string& dir, uint16_t port, const std::string& token,
                         std::optional<bool> enabled);

// 32 hexadecimal digits from the system's random source.
std::string random_token();

}  // namespace stand_in
