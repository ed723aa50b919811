#include "proto/http/fields.h"

#include <cstring>

namespace velmora::http {

bool lower_token_into(std::string_view src, char* dst) noexcept {
  if (src.empty()) return false;
  uint8_t all = 0xff;
  for (size_t i = 0; i < src.size(); ++i) {
    uint8_t c = detail::kTables.token_lower[(unsigned char)src[i]];
    all &= c ? 0xff : 0;
    dst[i] = char(c);
  }
  return all != 0;
}

bool is_visible_ascii(std::string_view s) noexcept {
  for (unsigned char c : s)
    if (!((c >= 0x20 && c < 0x7f) || c == '\t')) return false;
  return true;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  return true;
}

void lower_into(std::string_view src, char* dst) noexcept {
  for (size_t i = 0; i < src.size(); ++i) dst[i] = to_lower(src[i]);
}

std::string_view trim_ows(std::string_view s) noexcept {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool list_has_token(std::string_view value, std::string_view token) noexcept {
  if (!is_visible_ascii(value)) return false;
  while (true) {
    size_t comma = value.find(',');
    if (iequals(trim_ows(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

std::string_view list_last(std::string_view value) noexcept {
  size_t comma = value.rfind(',');
  return trim_ows(comma == std::string_view::npos ? value : value.substr(comma + 1));
}

char* write_title_case(std::string_view name, char* out) noexcept {
  bool up = true;
  for (char c : name) {
    *out++ = (up && c >= 'a' && c <= 'z') ? char(c - 32) : c;
    up = c == '-';
  }
  return out;
}

Result<uint64_t> parse_u64_digits(std::string_view s) noexcept {
  if (s.empty()) return fail(ErrorKind::invalid_number);
  uint64_t v = 0;
  for (unsigned char c : s) {
    if (c < '0' || c > '9') return fail(ErrorKind::invalid_number);
    if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return fail(ErrorKind::invalid_number);
  }
  return v;
}

}  // namespace velmora::http
