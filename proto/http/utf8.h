// UTF-8 validation and repair, shared by everything that turns received
// bytes into text.
#pragma once

#include <string>
#include <string_view>

namespace velmora::http {

// Every byte below 0x80.
bool is_ascii(std::string_view s) noexcept;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;

// Appends `in` to `out`, replacing each maximal invalid subpart by U+FFFD.
void repair_utf8_append(std::string_view in, std::string& out);

}  // namespace velmora::http
