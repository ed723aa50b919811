// AVX2 kernels, 32 bytes per step: unsigned range tests by compare for
// values and targets, a nibble lookup for tokens. Tails shorter than a step
// go to the SSE4.2 kernels, which every AVX2 CPU has.
#include "proto/http/field_classify_avx2.h"
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

namespace velmora::http::detail {

size_t scan_value_sse42(const char* p, size_t n) noexcept;
size_t scan_target_sse42(const char* p, size_t n) noexcept;
size_t scan_token_sse42(const char* p, size_t n) noexcept;
size_t scan_lower_token_sse42(const char* p, size_t n) noexcept;

namespace {

// Stops at a byte up to `Limit` (HTAB excepted when AllowTab) or at DEL.
template <char Limit, bool AllowTab, size_t (*Tail)(const char*, size_t) noexcept>
__attribute__((target("avx2"))) size_t scan_controls(const char* p, size_t n) noexcept {
  const __m256i lim = _mm256_set1_epi8(Limit), tab = _mm256_set1_epi8('\t'), del = _mm256_set1_epi8(0x7f);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i ctl = _mm256_cmpeq_epi8(_mm256_min_epu8(v, lim), v);  // v <= Limit
    if constexpr (AllowTab) ctl = _mm256_andnot_si256(_mm256_cmpeq_epi8(v, tab), ctl);
    uint32_t m = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(ctl, _mm256_cmpeq_epi8(v, del))));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + Tail(p + i, n - i);
}

template <const TokenLut& Lut, size_t (*Tail)(const char*, size_t) noexcept>
__attribute__((target("avx2"))) size_t scan_lut(const char* p, size_t n) noexcept {
  const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(Lut.lo));
  const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(Lut.hi));
  const __m256i nib = _mm256_set1_epi8(0x0f), zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nib));
    __m256i h = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nib));
    uint32_t m = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(l, h), zero)));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + Tail(p + i, n - i);
}

__attribute__((target("avx2"))) void classify_avx2(const char* p, FieldMasks& out) noexcept { classify64_avx2(p, out); }

size_t scan_value_avx2(const char* p, size_t n) noexcept { return scan_controls<0x1f, true, scan_value_sse42>(p, n); }
size_t scan_target_avx2(const char* p, size_t n) noexcept {
  return scan_controls<0x20, false, scan_target_sse42>(p, n);
}
size_t scan_token_avx2(const char* p, size_t n) noexcept { return scan_lut<kTokenLut, scan_token_sse42>(p, n); }
size_t scan_lower_token_avx2(const char* p, size_t n) noexcept {
  return scan_lut<kLowerTokenLut, scan_lower_token_sse42>(p, n);
}

}  // namespace

const ScanKernels kAvx2Kernels = {ScanPath::avx2,  scan_token_avx2,  scan_lower_token_avx2,
                                  scan_value_avx2, scan_target_avx2, classify_avx2,
                                  utf8_avx2,       mask_avx2};

}  // namespace velmora::http::detail

#endif
