// Byte-level text helpers shared by the line reader, the settings file and the
// HTTP parser: UTF-8 validation, lossy decoding and Unicode white-space trim.
#pragma once

#include <string>
#include <string_view>

namespace bridge {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid_utf8(std::string_view bytes);

// Returns `bytes` with every ill-formed sequence replaced by U+FFFD (one per
// maximal ill-formed subpart).
std::string lossy_utf8(std::string_view bytes);

// Strips Unicode white space (the White_Space property: tab to carriage
// return, space, U+0085, no-break space, the U+2000 block and friends) from
// both ends. REQUIRES: `text` is valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace bridge
