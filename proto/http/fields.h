// Character classes and field rules of HTTP (RFC 9110 section 5): tokens,
// header names and values, and the small ASCII helpers every codec shares.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "proto/http/error.h"
#include "proto/http/field_scan.h"  // is_token(), is_valid_value(), the scanners

namespace velmora::http {

namespace detail {
struct CharTables {
  std::array<uint8_t, 256> tchar{};   // RFC 9110 tchar
  std::array<uint8_t, 256> lower{};   // ASCII lowercase map
  std::array<uint8_t, 256> token_lower{};  // lowercase of a tchar, 0 otherwise
  std::array<uint8_t, 256> lower_tchar{};  // a tchar that is not an uppercase letter
  constexpr CharTables() {
    for (int c = 0; c < 256; ++c) {
      bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      bool digit = c >= '0' && c <= '9';
      bool sym = std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos && c != 0;
      tchar[c] = alpha || digit || sym;
      lower[c] = uint8_t((c >= 'A' && c <= 'Z') ? c + 32 : c);
      token_lower[c] = tchar[c] ? lower[c] : 0;
      lower_tchar[c] = tchar[c] && !(c >= 'A' && c <= 'Z');
    }
  }
};
inline constexpr CharTables kTables{};
}  // namespace detail

inline bool is_tchar(unsigned char c) noexcept { return detail::kTables.tchar[c]; }
inline char to_lower(char c) noexcept { return char(detail::kTables.lower[(unsigned char)c]); }

// Visible ASCII plus SP and HTAB (the test list-valued fields pass first).
bool is_visible_ascii(std::string_view s) noexcept;

// Validates a token and writes it lowercased to dst in one pass; false (dst
// partly written) when `src` is empty or holds a non-token byte.
bool lower_token_into(std::string_view src, char* dst) noexcept;

bool iequals(std::string_view a, std::string_view b) noexcept;  // ASCII case-insensitive
void lower_into(std::string_view src, char* dst) noexcept;
std::string_view trim_ows(std::string_view s) noexcept;  // strips SP and HTAB

// True when the comma-separated list `value` (visible ASCII) holds `token`,
// compared trimmed and ASCII case-insensitively.
bool list_has_token(std::string_view value, std::string_view token) noexcept;
// The last comma-separated element of `value`, trimmed.
std::string_view list_last(std::string_view value) noexcept;

// The value of a hexadecimal digit in either case; -1 for any other byte.
constexpr int hex_value(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Writes `name` title-cased to `out` (name.size() bytes): the first byte and
// every byte after a '-' become uppercase when they are a-z; other bytes are
// copied. Returns the end of what was written.
char* write_title_case(std::string_view name, char* out) noexcept;

// Digits only, no sign, no spaces, within 64 bits. Errors: invalid_number.
Result<uint64_t> parse_u64_digits(std::string_view s) noexcept;

}  // namespace velmora::http
