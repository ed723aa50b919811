// Errors of the shared HTTP layer: the URI parser and the header map. Every
// fallible step of proto/http returns a Result; message() gives the fixed
// text of each kind (the binding adds its own prefixes, such as
// "invalid url: ").
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace velmora::http {

enum class ErrorKind : uint8_t {
  // URI parsing (uri.h)
  invalid_char,       // "invalid uri character"
  invalid_scheme,     // "invalid scheme"
  invalid_authority,  // "invalid authority"
  invalid_port,       // "invalid port"
  invalid_format,     // "invalid format"
  scheme_missing,     // "scheme missing"
  authority_missing,  // "authority missing"
  path_missing,       // "path missing"
  path_no_slash,      // "path does not start with slash"
  too_long,           // "uri too long"
  empty,              // "empty string"
  scheme_too_long,    // "scheme too long"
  // Field values (fields.h, content_length.h)
  invalid_number,          // "invalid number"
  invalid_content_length,  // "invalid content-length"
  // Header maps (header_map.h) and names given to them
  header_map_full,       // "header map is full (HeaderMap MAX_SIZE, 32768 entries)"
  invalid_header_name,   // "invalid header name: invalid HTTP header name"
  invalid_header_value,  // "invalid header value: failed to parse header value"
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

}  // namespace velmora::http
