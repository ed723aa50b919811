// SSE4.2 kernels, 16 bytes per step: a string compare against ranges of stop
// bytes for values and targets, a nibble lookup for tokens.
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

namespace velmora::http::detail {

namespace {

alignas(16) constexpr char kValueStops[16] = {0x00, 0x08, 0x0a, 0x1f, 0x7f, 0x7f};
alignas(16) constexpr char kTargetStops[16] = {0x00, 0x20, 0x7f, 0x7f};

template <const char (&Stops)[16], int Count, size_t (*Tail)(const char*, size_t) noexcept>
__attribute__((target("sse4.2"))) size_t scan_ranges(const char* p, size_t n) noexcept {
  const __m128i r = _mm_load_si128(reinterpret_cast<const __m128i*>(Stops));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    int idx = _mm_cmpestri(r, Count, v, 16, _SIDD_UBYTE_OPS | _SIDD_CMP_RANGES | _SIDD_LEAST_SIGNIFICANT);
    if (idx != 16) return i + size_t(idx);
  }
  return i + Tail(p + i, n - i);
}

template <const TokenLut& Lut, size_t (*Tail)(const char*, size_t) noexcept>
__attribute__((target("sse4.2"))) size_t scan_lut(const char* p, size_t n) noexcept {
  const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(Lut.lo));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(Lut.hi));
  const __m128i nib = _mm_set1_epi8(0x0f), zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i l = _mm_shuffle_epi8(lo, _mm_and_si128(v, nib));
    __m128i h = _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(v, 4), nib));
    uint32_t m = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(l, h), zero)));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + Tail(p + i, n - i);
}

// The 16 bytes at p as (non-token, bad value, bad target) masks.
__attribute__((target("sse4.2"))) inline void classify16(const char* p, uint32_t& tok, uint32_t& val,
                                                         uint32_t& tgt) noexcept {
  const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(kTokenLut.lo));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(kTokenLut.hi));
  const __m128i nib = _mm_set1_epi8(0x0f);
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i l = _mm_shuffle_epi8(lo, _mm_and_si128(v, nib));
  __m128i h = _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(v, 4), nib));
  tok = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(l, h), _mm_setzero_si128())));
  __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f));
  __m128i ctl = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);  // v <= 0x1f
  __m128i sp = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
  __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
  val = uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(tab, ctl), del)));
  tgt = uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(ctl, sp), del)));
}

__attribute__((target("sse4.2"))) void classify_sse42(const char* p, FieldMasks& out) noexcept {
  uint64_t tok = 0, val = 0, tgt = 0;
  for (int k = 0; k < 4; ++k) {
    uint32_t t, v, g;
    classify16(p + 16 * k, t, v, g);
    tok |= uint64_t(t) << (16 * k);
    val |= uint64_t(v) << (16 * k);
    tgt |= uint64_t(g) << (16 * k);
  }
  out = FieldMasks{tok, val, tgt};
}

}  // namespace

size_t scan_value_sse42(const char* p, size_t n) noexcept {
  return scan_ranges<kValueStops, 6, scan_value_portable>(p, n);
}
size_t scan_target_sse42(const char* p, size_t n) noexcept {
  return scan_ranges<kTargetStops, 4, scan_target_portable>(p, n);
}
size_t scan_token_sse42(const char* p, size_t n) noexcept { return scan_lut<kTokenLut, scan_token_portable>(p, n); }
size_t scan_lower_token_sse42(const char* p, size_t n) noexcept {
  return scan_lut<kLowerTokenLut, scan_lower_token_portable>(p, n);
}

const ScanKernels kSse42Kernels = {ScanPath::sse42,  scan_token_sse42,  scan_lower_token_sse42,
                                   scan_value_sse42, scan_target_sse42, classify_sse42,
                                   utf8_sse42,       mask_sse42};

}  // namespace velmora::http::detail

#endif
