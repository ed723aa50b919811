// Text helpers for proxy credentials: Base64 (RFC 4648, standard alphabet,
// padded) and percent-decoding of userinfo (RFC 3986) into valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace velmora::proxy {

// Base64 of `in` appended to `out` (standard alphabet, '=' padding).
void base64_append(std::string_view in, std::string& out);
inline size_t base64_size(size_t n) noexcept { return (n + 2) / 3 * 4; }

// Decodes every "%XX" escape (hex digits in any case); a '%' that does not
// start a valid escape is kept as is. Invalid UTF-8 in the decoded bytes is
// replaced by U+FFFD, one replacement per maximal invalid subpart, so the
// result is always valid UTF-8.
std::string percent_decode_utf8(std::string_view in);

}  // namespace velmora::proxy
