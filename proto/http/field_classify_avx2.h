// The AVX2 block classifier, inline, for code compiled for AVX2 that walks
// blocks itself (the HTTP/1 head tokenizer's AVX2 walk) as well as for the
// kernel table's classify entry.
#pragma once

#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

namespace velmora::http::detail {

// The 32 bytes at p as (non-token, bad value, bad target) masks: tokens by
// the nibble lookup, values and targets by unsigned range tests.
[[gnu::always_inline]] __attribute__((target("avx2"))) inline void classify32_avx2(const char* p, uint32_t& tok,
                                                                                   uint32_t& val,
                                                                                   uint32_t& tgt) noexcept {
  const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTokenLut.lo));
  const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTokenLut.hi));
  const __m256i nib = _mm256_set1_epi8(0x0f);
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nib));
  __m256i h = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nib));
  tok = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(l, h), _mm256_setzero_si256())));
  __m256i del = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7f));
  __m256i ctl = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1f)), v);  // v <= 0x1f
  __m256i sp = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(' '));
  __m256i tab = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'));
  val = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(_mm256_andnot_si256(tab, ctl), del)));
  tgt = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(ctl, sp), del)));
}

// The 64 bytes at p (ScanKernels::classify).
[[gnu::always_inline]] __attribute__((target("avx2"))) inline void classify64_avx2(const char* p,
                                                                                   FieldMasks& out) noexcept {
  uint32_t t0, v0, g0, t1, v1, g1;
  classify32_avx2(p, t0, v0, g0);
  classify32_avx2(p + 32, t1, v1, g1);
  out.non_token = uint64_t(t1) << 32 | t0;
  out.bad_value = uint64_t(v1) << 32 | v0;
  out.bad_target = uint64_t(g1) << 32 | g0;
}

}  // namespace velmora::http::detail

#endif
