#include "proto/http/utf8.h"

#include <cstdint>
#include <cstring>

namespace velmora::http {

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is invalid; in
// that case `bad` is the length of its maximal invalid subpart (at least 1).
size_t utf8_sequence(std::string_view s, size_t i, size_t& bad) noexcept {
  auto b = (unsigned char)s[i];
  bad = 1;
  if (b < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xbf;
  if (b >= 0xc2 && b <= 0xdf) {
    need = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    need = 3;
    if (b == 0xe0) lo = 0xa0;
    if (b == 0xed) hi = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    need = 4;
    if (b == 0xf0) lo = 0x90;
    if (b == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  size_t k = 1;
  for (; k < need && i + k < s.size(); ++k) {
    auto c = (unsigned char)s[i + k];
    if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xbf)) break;
  }
  if (k == need) return need;
  bad = k;
  return 0;
}

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

bool is_valid_utf8(std::string_view s) noexcept {
  size_t bad;
  for (size_t i = 0; i < s.size();) {
    i += ascii_prefix(s.substr(i));
    if (i == s.size()) break;
    size_t n = utf8_sequence(s, i, bad);
    if (!n) return false;
    i += n;
  }
  return true;
}

void repair_utf8_append(std::string_view in, std::string& out) {
  size_t bad;
  for (size_t i = 0; i < in.size();) {
    size_t n = utf8_sequence(in, i, bad);
    if (n) {
      out.append(in.substr(i, n));
      i += n;
    } else {
      out += "\xef\xbf\xbd";
      i += bad;
    }
  }
}

}  // namespace velmora::http
