// SSE4.2-path payload kernels, 16 bytes per step (they use only SSE2, so the
// table's requirement is no stricter for them): masking by a vector XOR,
// UTF-8 by skipping ASCII blocks and checking the sequences of a block that
// holds others one at a time.
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

#include "proto/http/utf8_seq.h"

namespace velmora::http::detail {

__attribute__((target("sse4.2"))) size_t utf8_sse42(const char* p, size_t n) noexcept {
  std::string_view s(p, n);
  size_t i = 0, bad;
  while (i + 16 <= n) {
    uint32_t m = uint32_t(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
    if (!m) {
      i += 16;
      continue;
    }
    i += size_t(__builtin_ctz(m));
    // A block of mixed text: the next 16 bytes one sequence at a time.
    for (size_t end = i + 16; i < end && i < n;) {
      if ((unsigned char)p[i] < 0x80) {
        ++i;
        continue;
      }
      size_t k = utf8_sequence(s, i, bad);
      if (!k) return i;
      i += k;
    }
  }
  return utf8_scalar_from(p, n, i);
}

__attribute__((target("sse4.2"))) void mask_sse42(char* dst, const char* src, size_t n, uint32_t key) noexcept {
  const __m128i k = _mm_set1_epi32(int(key));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_xor_si128(v, k));
  }
  mask_portable(dst + i, src + i, n - i, key);  // i is a multiple of 4: the key's phase is kept
}

}  // namespace velmora::http::detail

#endif
