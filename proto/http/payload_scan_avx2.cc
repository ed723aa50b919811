// AVX2-path payload kernels, 32 bytes per step: masking by a vector XOR
// (two stores per step), UTF-8 by skipping ASCII blocks and checking the
// sequences of a block that holds others one at a time.
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

#include "proto/http/utf8_seq.h"

namespace velmora::http::detail {

__attribute__((target("avx2"))) size_t utf8_avx2(const char* p, size_t n) noexcept {
  std::string_view s(p, n);
  size_t i = 0, bad;
  while (i + 64 <= n) {
    // Two vectors per test: long ASCII runs are the common case.
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    if (!_mm256_movemask_epi8(_mm256_or_si256(a, b))) {
      i += 64;
      continue;
    }
    uint64_t m = uint32_t(_mm256_movemask_epi8(a)) | uint64_t(uint32_t(_mm256_movemask_epi8(b))) << 32;
    i += size_t(__builtin_ctzll(m));
    for (size_t end = i + 32; i < end && i < n;) {
      if ((unsigned char)p[i] < 0x80) {
        ++i;
        continue;
      }
      size_t k = utf8_sequence(s, i, bad);
      if (!k) return i;
      i += k;
    }
  }
  return i + utf8_sse42(p + i, n - i);
}

__attribute__((target("avx2"))) void mask_avx2(char* dst, const char* src, size_t n, uint32_t key) noexcept {
  const __m256i k = _mm256_set1_epi32(int(key));
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_xor_si256(a, k));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), _mm256_xor_si256(b, k));
  }
  mask_sse42(dst + i, src + i, n - i, key);
}

}  // namespace velmora::http::detail

#endif
