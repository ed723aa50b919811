#include "proto/http/utf8.h"

#include <cstdint>
#include <cstring>

#include "proto/http/field_scan.h"
#include "proto/http/utf8_seq.h"

namespace velmora::http {

namespace {

// Length of the ASCII run at the start of `s`, found eight bytes at a time
// (received text is mostly ASCII).
size_t ascii_prefix(std::string_view s) noexcept {
  constexpr uint64_t highs = 0x8080808080808080ull;
  size_t i = 0;
  for (; s.size() - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & highs) break;
  }
  // A tail short of a word is read as the last word of `s`, overlapping
  // bytes already known to be ASCII.
  if (i < s.size() && s.size() - i < 8 && s.size() >= 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + s.size() - 8, 8);
    if (!(w & highs)) return s.size();
  }
  while (i < s.size() && (unsigned char)s[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool is_ascii(std::string_view s) noexcept { return ascii_prefix(s) == s.size(); }

bool is_valid_utf8(std::string_view s) noexcept { return scan_utf8(s.data(), s.size()) == s.size(); }

void repair_utf8_append(std::string_view in, std::string& out) {
  size_t bad;
  for (size_t i = 0; i < in.size();) {
    size_t n = detail::utf8_sequence(in, i, bad);
    if (n) {
      out.append(in.substr(i, n));
      i += n;
    } else {
      out += "\xef\xbf\xbd";
      i += bad;
    }
  }
}

bool Utf8Stream::feed(std::string_view s) noexcept {
  size_t i = 0;
  if (held_) {
    // Complete the carried code point first, a byte at a time.
    size_t bad;
    while (i < s.size()) {
      carry_[held_++] = s[i++];
      size_t k = detail::utf8_sequence({carry_, held_}, 0, bad);
      if (k) {
        held_ = 0;
        break;
      }
      if (bad != held_) return false;
    }
    if (held_) return true;  // still unfinished: s was used up
  }
  size_t n = s.size() - i;
  size_t ok = scan_utf8(s.data() + i, n);
  if (ok == n) return true;
  size_t rest = n - ok;
  if (!detail::utf8_incomplete(s.data() + i + ok, rest)) return false;
  std::memcpy(carry_, s.data() + i + ok, rest);
  held_ = uint8_t(rest);
  return true;
}

}  // namespace velmora::http
