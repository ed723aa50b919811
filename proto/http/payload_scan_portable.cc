// The portable payload kernels: UTF-8 validation with an eight-byte ASCII
// step, masking a word at a time.
#include <cstring>

#include "proto/http/field_scan_kernels.h"
#include "proto/http/utf8_seq.h"

namespace velmora::http::detail {

size_t utf8_portable(const char* p, size_t n) noexcept {
  constexpr uint64_t highs = 0x8080808080808080ull;
  std::string_view s(p, n);
  size_t i = 0, bad;
  while (i < n) {
    for (; n - i >= 8; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & highs) break;
    }
    while (i < n && (unsigned char)p[i] < 0x80) ++i;
    if (i == n) break;
    size_t k = utf8_sequence(s, i, bad);
    if (!k) return i;
    i += k;
  }
  return n;
}

void mask_portable(char* dst, const char* src, size_t n, uint32_t key) noexcept {
  const uint64_t k8 = uint64_t(key) | uint64_t(key) << 32;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    w ^= k8;
    std::memcpy(dst + i, &w, 8);
  }
  uint8_t kb[4];
  std::memcpy(kb, &key, 4);
  for (; i < n; ++i) dst[i] = char(uint8_t(src[i]) ^ kb[i & 3]);
}

}  // namespace velmora::http::detail
