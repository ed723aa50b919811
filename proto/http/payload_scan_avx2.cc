// AVX2-path payload kernels, 32 bytes per step: masking by a vector XOR
// (two stores per step), UTF-8 by the lookup check of utf8_lookup.h, ASCII
// blocks skipped.
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

#include "proto/http/utf8_lookup.h"
#include "proto/http/utf8_seq.h"

namespace velmora::http::detail {

__attribute__((target("avx2"))) size_t utf8_avx2(const char* p, size_t n) noexcept {
  using namespace utf8_lookup;
  const __m256i t1h = _mm256_load_si256(reinterpret_cast<const __m256i*>(kByte1High));
  const __m256i t1l = _mm256_load_si256(reinterpret_cast<const __m256i*>(kByte1Low));
  const __m256i t2h = _mm256_load_si256(reinterpret_cast<const __m256i*>(kByte2High));
  const __m256i nib = _mm256_set1_epi8(0x0f);
  const __m256i last = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xef), char(0xdf), char(0xbf));
  __m256i prev = _mm256_setzero_si256(), unfinished = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    if (!_mm256_movemask_epi8(in)) {
      if (!_mm256_testz_si256(unfinished, unfinished)) break;  // a sequence cut short by ASCII
      prev = in;
      continue;
    }
    // The 32 octets before each position's: the previous block's high lane
    // joined to this block's low lane.
    const __m256i joined = _mm256_permute2x128_si256(prev, in, 0x21);
    const __m256i prev1 = _mm256_alignr_epi8(in, joined, 15);
    const __m256i sc = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t1h, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nib)),
                         _mm256_shuffle_epi8(t1l, _mm256_and_si256(prev1, nib))),
        _mm256_shuffle_epi8(t2h, _mm256_and_si256(_mm256_srli_epi16(in, 4), nib)));
    const __m256i third = _mm256_subs_epu8(_mm256_alignr_epi8(in, joined, 14), _mm256_set1_epi8(char(0xe0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(_mm256_alignr_epi8(in, joined, 13), _mm256_set1_epi8(char(0xf0 - 0x80)));
    const __m256i due = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
    const __m256i err = _mm256_xor_si256(due, sc);
    if (!_mm256_testz_si256(err, err)) break;
    unfinished = _mm256_subs_epu8(in, last);
    prev = in;
  }
  return utf8_resume(p, n, i);
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
