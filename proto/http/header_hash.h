// Name hashing for HeaderMap, shared by its out-of-line code, the builder's
// inline per-field steps and the HTTP/1 rules, which recognise the names they
// act on by the hash the builder computes anyway (known_hash).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::http::detail {

// k bytes at p into the low-addressed bytes of a word, as memcpy puts them on
// a little-endian target; the loop is the constant-evaluated form of the same
// load (known_hash below).
constexpr uint64_t load(const char* p, size_t k) noexcept {
  uint64_t w = 0;
  if consteval {
    for (size_t i = 0; i < k; ++i) w |= uint64_t(uint8_t(p[i])) << (8 * i);
  } else {
    std::memcpy(&w, p, k);
  }
  return w;
}

// Multiply-xorshift over 8-byte words. A name of up to 16 bytes, the usual
// kind, is two words: its bytes in order, zero past its end. Longer names
// take a word every 8 bytes, the last one overlapping the one before.
inline constexpr uint64_t kHashSeed = 0xcbf29ce484222325ull;
constexpr uint64_t hash_mix(uint64_t h, uint64_t w) noexcept {
  h = (h ^ w) * 0x100000001b3ull;
  return h ^ (h >> 29);
}
constexpr uint32_t hash_finish(uint64_t h) noexcept {
  h *= 0x9e3779b97f4a7c15ull;
  return uint32_t(h >> 32) ^ uint32_t(h);
}
constexpr uint32_t hash_pair(uint64_t a, uint64_t b, size_t n) noexcept {
  return hash_finish(hash_mix(hash_mix(kHashSeed ^ n, a), b));
}

// The hash of the n bytes at p, each word passed through `word` first (the
// identity, or a fold that reads a name in any case as its lowercase). The
// words of a short name are put together from overlapping loads rather than
// byte by byte; `word` must act on each byte alone and leave zero bytes zero,
// so it may see them in either order.
template <class Word>
constexpr uint32_t hash_words(const char* p, size_t n, Word word) noexcept {
  if (n > 16) [[unlikely]] {
    uint64_t h = kHashSeed ^ n;
    for (size_t i = 0; i + 8 < n; i += 8) h = hash_mix(h, word(load(p + i, 8)));
    return hash_finish(hash_mix(h, word(load(p + n - 8, 8))));
  }
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    a = load(p, 8);
    if (n > 8) b = load(p + n - 8, 8) >> (8 * (16 - n));
  } else if (n >= 4) {
    a = load(p, 4) | (load(p + n - 4, 4) >> (8 * (8 - n))) << 32;
  } else if (n > 0) {
    a = load(p, 1) | load(p + n / 2, 1) << (8 * (n / 2)) | load(p + n - 1, 1) << (8 * (n - 1));
  }
  return hash_pair(word(a), word(b), n);
}

// The hash of the n bytes at p as they stand.
constexpr uint32_t hash_bytes(const char* p, size_t n) noexcept {
  return hash_words(p, n, [](uint64_t w) { return w; });
}

// The hash of a lowercase name, at compile time: what the index holds for it,
// so a known name is recognised by its hash before any byte compare.
consteval uint32_t known_hash(std::string_view lname) { return hash_bytes(lname.data(), lname.size()); }

// The word w with its bytes 'A'-'Z' lowered (they gain 0x20); every other
// byte, zero and those from 0x80 up included, is left as it is. Each byte
// folds alone: the sums run on the low seven bits of each byte, which never
// carry into the next one, and a byte with its high bit set is no letter.
constexpr uint64_t lower_word(uint64_t w) noexcept {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  const uint64_t low7 = w & ~highs;
  const uint64_t ge_a = (low7 + ones * (0x80 - 'A')) & highs;
  const uint64_t gt_z = (low7 + ones * (0x80 - 'Z' - 1)) & highs;
  return w | (ge_a & ~gt_z & ~w) >> 2;
}

// Lowercases the token of n bytes at p in place (tokens are ASCII), a word
// at a time: overlapping words are lowered twice, which changes nothing.
inline void lower_token_words(char* p, size_t n) noexcept {
  auto lower = [](char* q, size_t k) {
    const uint64_t w = lower_word(load(q, k));
    std::memcpy(q, &w, k);
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) lower(p + i, 8);
    lower(p + n - 8, 8);
  } else {
    for (size_t i = 0; i < n; ++i) lower(p + i, 1);
  }
}

// Lowercases the token of n bytes at p in place and returns the hash of the
// result, as hash_bytes() gives it. `room` is how many bytes from p may be
// read and written back unchanged (at least n): with 16 of them, a name of up
// to 16 bytes is lowered and split into its two words in one vector pass.
inline uint32_t lower_and_hash(char* p, size_t n, size_t room) noexcept {
#if defined(__SSE2__)
  if (n <= 16 && room >= 16) [[likely]] {
    static constexpr char kFirst[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kFirst + 16 - n));  // bytes < n
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed compares: bytes from 0x80 up are negative, so never 'A'-'Z'.
    const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(w, _mm_set1_epi8('A' - 1)),
                                        _mm_cmplt_epi8(w, _mm_set1_epi8('Z' + 1)));
    const __m128i low = _mm_or_si128(w, _mm_and_si128(_mm_and_si128(upper, keep), _mm_set1_epi8(0x20)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), low);
    const __m128i name = _mm_and_si128(low, keep);
    const uint64_t a = uint64_t(_mm_cvtsi128_si64(name));
    const uint64_t b = uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(name, name)));
    return hash_pair(a, b, n);
  }
#endif
  (void)room;
  lower_token_words(p, n);
  return hash_bytes(p, n);
}

}  // namespace velmora::http::detail
