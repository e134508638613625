// Paths taken apart as text, without asking the file system: components,
// parent, last name, extension, and comparison by components.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace bridge {

// The components of `path`, each a view into it: "/" first for an absolute
// path, a leading "." kept for a relative one; empty pieces (repeated or
// trailing "/") and every later "." dropped; ".." kept as written.
std::vector<std::string_view> path_components(std::string_view path);

// `path` without its last component, as a prefix of it ("" for a single
// relative component); nullopt for "" and "/".
std::optional<std::string_view> parent_path(std::string_view path);

// The last component when it names something: not "/", "." or "..".
std::optional<std::string_view> file_name(std::string_view path);

// The part of the file name after its last "."; none when there is no ".",
// or when the only "." is the name's first byte (".app" has none).
std::optional<std::string_view> extension(std::string_view path);

// True when both paths have equal components, byte for byte.
bool same_path(std::string_view a, std::string_view b);

}  // namespace bridge
