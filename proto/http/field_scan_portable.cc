// The portable kernels: a word at a time where a word test is exact, a byte
// at a time otherwise.
#include <cstring>

#include "proto/http/field_scan_kernels.h"

namespace velmora::http::detail {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

// Non-zero when some byte of w is below b (b <= 0x80). Exact as an "any" test.
inline uint64_t has_less(uint64_t w, uint8_t b) noexcept { return (w - kOnes * b) & ~w & kHigh; }
inline uint64_t has_byte(uint64_t w, uint8_t b) noexcept {
  uint64_t x = w ^ (kOnes * b);
  return (x - kOnes) & ~x & kHigh;
}

// Stops at a byte below `Below` (other than those Bad accepts) or at DEL: a
// word that might hold one is settled byte by byte.
template <uint8_t Below, bool (*Bad)(uint8_t) noexcept>
size_t scan_controls(const char* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (has_less(w, Below) | has_byte(w, 0x7f))
      for (size_t k = i; k < i + 8; ++k)
        if (Bad(uint8_t(p[k]))) return k;
  }
  for (; i < n; ++i)
    if (Bad(uint8_t(p[i]))) return i;
  return n;
}

}  // namespace

size_t scan_value_portable(const char* p, size_t n) noexcept { return scan_controls<0x20, bad_value_byte>(p, n); }

size_t scan_target_portable(const char* p, size_t n) noexcept { return scan_controls<0x21, bad_target_byte>(p, n); }

size_t scan_token_portable(const char* p, size_t n) noexcept {
  size_t i = 0;
  while (i < n && kTables.tchar[uint8_t(p[i])]) ++i;
  return i;
}

size_t scan_lower_token_portable(const char* p, size_t n) noexcept {
  size_t i = 0;
  while (i < n && kTables.lower_tchar[uint8_t(p[i])]) ++i;
  return i;
}

const ScanKernels kPortableKernels = {ScanPath::portable,  scan_token_portable, scan_lower_token_portable,
                                      scan_value_portable, scan_target_portable, nullptr,
                                      utf8_portable,       mask_portable};

}  // namespace velmora::http::detail
