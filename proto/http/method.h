// Request methods (RFC 9110, section 9): the standard ones by value, any
// other token as an extension method. Shared by both codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::http {

enum class Method : uint8_t { options, get, post, put, delete_, head, trace, connect, patch, query, extension };
inline constexpr size_t kStandardMethods = 10;

// The text of a standard method; empty for `extension`.
std::string_view method_name(Method m) noexcept;
// A standard method by its exact (case-sensitive) text, else `extension`.
// Does not check that `token` is a token: see is_method_token().
Method classify_method(std::string_view token) noexcept;
// A method as it may appear on the wire: a non-empty token.
bool is_method_token(std::string_view s) noexcept;

}  // namespace velmora::http
