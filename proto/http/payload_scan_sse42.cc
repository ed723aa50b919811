// SSE4.2-path payload kernels, 16 bytes per step (they use SSSE3 at most, so
// the table's requirement is no stricter for them): masking by a vector XOR,
// UTF-8 by the lookup check of utf8_lookup.h, ASCII blocks skipped.
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86
#include <immintrin.h>

#include "proto/http/utf8_lookup.h"
#include "proto/http/utf8_seq.h"

namespace velmora::http::detail {

__attribute__((target("sse4.2"))) size_t utf8_sse42(const char* p, size_t n) noexcept {
  using namespace utf8_lookup;
  const __m128i t1h = _mm_load_si128(reinterpret_cast<const __m128i*>(kByte1High));
  const __m128i t1l = _mm_load_si128(reinterpret_cast<const __m128i*>(kByte1Low));
  const __m128i t2h = _mm_load_si128(reinterpret_cast<const __m128i*>(kByte2High));
  const __m128i nib = _mm_set1_epi8(0x0f);
  // Lead octets in the last three places that need more octets than remain.
  const __m128i last = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xef), char(0xdf),
                                     char(0xbf));
  __m128i prev = _mm_setzero_si128(), unfinished = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (!_mm_movemask_epi8(in)) {
      if (!_mm_testz_si128(unfinished, unfinished)) break;  // a sequence cut short by ASCII
      prev = in;
      continue;
    }
    const __m128i prev1 = _mm_alignr_epi8(in, prev, 15);
    const __m128i sc = _mm_and_si128(
        _mm_and_si128(_mm_shuffle_epi8(t1h, _mm_and_si128(_mm_srli_epi16(prev1, 4), nib)),
                      _mm_shuffle_epi8(t1l, _mm_and_si128(prev1, nib))),
        _mm_shuffle_epi8(t2h, _mm_and_si128(_mm_srli_epi16(in, 4), nib)));
    const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 14), _mm_set1_epi8(char(0xe0 - 0x80)));
    const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 13), _mm_set1_epi8(char(0xf0 - 0x80)));
    const __m128i due = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
    const __m128i err = _mm_xor_si128(due, sc);
    if (!_mm_testz_si128(err, err)) break;
    unfinished = _mm_subs_epu8(in, last);
    prev = in;
  }
  return utf8_resume(p, n, i);
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
