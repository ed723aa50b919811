// Base64 (RFC 4648, standard alphabet, '=' padding): proxy credentials and
// the WebSocket handshake's key and accept values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::http {

// Base64 of `in` appended to `out`.
void base64_append(std::string_view in, std::string& out);
inline size_t base64_size(size_t n) noexcept { return (n + 2) / 3 * 4; }

// The octets `in` encodes, strictly: a length that is a multiple of 4,
// padding only at the end, no other characters, and unused bits zero (one
// encoding per value). nullopt otherwise.
std::optional<std::string> base64_decode(std::string_view in);

}  // namespace velmora::http
