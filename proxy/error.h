// Errors of proxy selection: why a proxy URL or a NO_PROXY entry is not
// usable. Selection itself never fails (a URL without a proxy is an answer,
// not an error); these kinds tell the parsers' callers what they skipped.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace velmora::proxy {

enum class ErrorKind : uint8_t {
  invalid_url,         // "invalid proxy url" (the URI parser refused it, or it is empty)
  unsupported_scheme,  // "unsupported proxy scheme"
  no_authority,        // "proxy url has no host"
  invalid_address,     // "invalid IP address"
  invalid_prefix,      // "invalid network prefix"
};

struct Error {
  ErrorKind kind;
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// The fixed text of a kind (in the comments above).
std::string_view message(ErrorKind k) noexcept;
inline std::string_view message(const Error& e) noexcept { return message(e.kind); }

inline std::unexpected<Error> fail(ErrorKind k) noexcept { return std::unexpected(Error{k}); }

}  // namespace velmora::proxy
