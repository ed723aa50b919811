// One UTF-8 sequence, checked byte by byte: what every UTF-8 routine of the
// tree (the validators' kernels, repair, the incremental validator) uses for
// the bytes its word or vector steps leave over.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::http::detail {

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is invalid or
// cut short by the end of `s`; in that case `bad` is the length of its
// maximal invalid subpart (at least 1), and `bad` == s.size() - i with every
// byte so far acceptable means the sequence is only incomplete.
inline size_t utf8_sequence(std::string_view s, size_t i, size_t& bad) noexcept {
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

// True when the `n` (< 4) bytes at p could begin a valid sequence that more
// bytes complete: the rest of a text split inside a code point.
inline bool utf8_incomplete(const char* p, size_t n) noexcept {
  if (n == 0 || n > 3) return false;
  size_t bad;
  auto b = (unsigned char)p[0];
  return b >= 0xc2 && b <= 0xf4 && utf8_sequence({p, n}, 0, bad) == 0 && bad == n;
}

// From `i`, the longest run of whole valid sequences, one at a time: the
// tail step of every validation kernel.
inline size_t utf8_scalar_from(const char* p, size_t n, size_t i) noexcept {
  std::string_view s(p, n);
  size_t bad;
  while (i < n) {
    if ((unsigned char)p[i] < 0x80) {
      ++i;
      continue;
    }
    size_t k = utf8_sequence(s, i, bad);
    if (!k) return i;
    i += k;
  }
  return n;
}

// Where a vector kernel hands over at `i` (the end of its whole blocks, or
// the block where it found an error): every octet before i - 3 belongs to
// whole valid sequences, so the first octet from i - 3 back that is no
// continuation starts one; the portable step goes on from there and stops
// exactly where the text does.
inline size_t utf8_resume(const char* p, size_t n, size_t i) noexcept {
  size_t j = i >= 3 ? i - 3 : 0;
  while (j > 0 && ((unsigned char)p[j] & 0xc0) == 0x80) --j;
  return utf8_scalar_from(p, n, j);
}

}  // namespace velmora::http::detail
