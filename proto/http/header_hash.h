// Name hashing for HeaderMap, shared by its out-of-line code and the
// builder's inline per-field steps. Internal to header_map.h/.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::http::detail {

inline uint64_t load(const char* p, size_t k) noexcept {
  uint64_t w = 0;
  std::memcpy(&w, p, k);
  return w;
}

// Multiply-xorshift over 8-byte words: names are short. The last word
// overlaps the one before rather than being assembled byte by byte; names of
// four to seven bytes take two overlapping 4-byte loads. Word::apply(p, k, w)
// sees each k-byte word w read at p before it is mixed in (and may rewrite it
// in place, as lowercasing does), so a name hashed while it is lowercased
// hashes as its lowercase. Every load happens before the first rewrite: a
// load overlapping an earlier narrower store would stall.
template <class Word>
inline uint32_t hash_words(char* p, size_t n) noexcept {
  uint64_t h = 0xcbf29ce484222325ull ^ n;
  auto mix = [&h](uint64_t w) {
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  };
  if (n >= 8) {
    uint64_t last = load(p + n - 8, 8);
    for (size_t i = 0; i + 8 < n; i += 8) mix(Word::apply(p + i, 8, load(p + i, 8)));
    mix(Word::apply(p + n - 8, 8, last));
  } else if (n >= 4) {
    uint64_t a = load(p, 4), b = load(p + n - 4, 4);
    a = Word::apply(p, 4, a);
    b = Word::apply(p + n - 4, 4, b);
    mix(a | b << 32);
  } else if (n > 0) {
    uint64_t a = load(p, 1), b = load(p + n / 2, 1), c = load(p + n - 1, 1);
    a = Word::apply(p, 1, a);
    b = Word::apply(p + n / 2, 1, b);
    c = Word::apply(p + n - 1, 1, c);
    mix(a | b << 8 | c << 16);
  }
  h *= 0x9e3779b97f4a7c15ull;
  return uint32_t(h >> 32) ^ uint32_t(h);
}

struct AsIs {
  static uint64_t apply(char*, size_t, uint64_t w) noexcept { return w; }
};

// Tokens are ASCII: 'A'-'Z' gain 0x20, a word at a time (overlapping words
// are lowered twice, which changes nothing).
struct LowerInPlace {
  static uint64_t apply(char* p, size_t k, uint64_t w) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    uint64_t ge_a = (w + ones * (0x80 - 'A')) & highs;
    uint64_t gt_z = (w + ones * (0x80 - 'Z' - 1)) & highs;
    w |= (ge_a & ~gt_z) >> 2;
    if (k < 8) w &= (uint64_t(1) << (8 * k)) - 1;
    std::memcpy(p, &w, k);
    return w;
  }
};

}  // namespace velmora::http::detail
