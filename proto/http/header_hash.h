// Name hashing for HeaderMap, shared by its out-of-line code, the builder's
// inline per-field steps and the HTTP/1 rules, which recognise the names they
// act on by the hash the builder computes anyway (known_hash).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmora::http::detail {

// k bytes at p into the low-addressed bytes of a word, as memcpy puts them;
// the loop is the constant-evaluated form of the same load (known_hash below).
constexpr uint64_t load(const char* p, size_t k) noexcept {
  uint64_t w = 0;
  if consteval {
    constexpr bool little = std::endian::native == std::endian::little;
    for (size_t i = 0; i < k; ++i) w |= uint64_t(uint8_t(p[i])) << (8 * (little ? i : 7 - i));
  } else {
    std::memcpy(&w, p, k);
  }
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
constexpr uint32_t hash_words(char* p, size_t n) noexcept {
  uint64_t h = 0xcbf29ce484222325ull ^ n;
  auto mix = [&h](uint64_t w) {
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  };
  if (n >= 8) {
    uint64_t last = load(p + n - 8, 8);
    if (n > 16) [[unlikely]] {
      for (size_t i = 0; i + 8 < n; i += 8) mix(Word::apply(p + i, 8, load(p + i, 8)));
    } else if (n > 8) {  // the same, for the usual name: one word before the last
      mix(Word::apply(p, 8, load(p, 8)));
    }
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
  static constexpr uint64_t apply(char*, size_t, uint64_t w) noexcept { return w; }
};

// The hash of a lowercase name, at compile time: what the index holds for it,
// so a known name is recognised by its hash before any byte compare.
consteval uint32_t known_hash(std::string_view lname) {
  char copy[64] = {};
  for (size_t i = 0; i < lname.size(); ++i) copy[i] = lname[i];
  return hash_words<AsIs>(copy, lname.size());
}

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
