// The kernel tables behind field_scan.h, one per CPU kind, for the
// dispatcher and the kernels' own files only.
#pragma once

#include <cstdint>

#include "proto/http/field_scan.h"
#include "proto/http/fields.h"

namespace velmora::http::detail {

extern const ScanKernels kPortableKernels;
#if defined(__x86_64__) || defined(__i386__)
#define VELMORA_SCAN_X86 1
extern const ScanKernels kSse42Kernels;
extern const ScanKernels kAvx2Kernels;
#endif

// Stop bytes of the value and target scanners.
inline bool bad_value_byte(uint8_t c) noexcept { return (c < 0x20 && c != '\t') || c == 0x7f; }
inline bool bad_target_byte(uint8_t c) noexcept { return c <= 0x20 || c == 0x7f; }

// Token bytes by nibble lookup, for the vector kernels: a byte is accepted
// exactly when the bit of its high nibble (rows 0x2_ to 0x7_) is set in the
// entry of its low nibble. Each table is doubled for 32-byte shuffles.
struct TokenLut {
  alignas(32) uint8_t lo[32] = {};
  alignas(32) uint8_t hi[32] = {};
  constexpr explicit TokenLut(bool lower_only) {
    for (int c = 0x20; c < 0x80; ++c) {
      if (!kTables.tchar[c] || (lower_only && c >= 'A' && c <= 'Z')) continue;
      lo[c & 15] |= uint8_t(1u << ((c >> 4) - 2));
      lo[16 + (c & 15)] |= uint8_t(1u << ((c >> 4) - 2));
    }
    for (int h = 2; h < 8; ++h) hi[h] = hi[16 + h] = uint8_t(1u << (h - 2));
  }
};
inline constexpr TokenLut kTokenLut{false};
inline constexpr TokenLut kLowerTokenLut{true};

// The portable kernels, which the vector ones finish their tails with.
size_t scan_token_portable(const char* p, size_t n) noexcept;
size_t scan_lower_token_portable(const char* p, size_t n) noexcept;
size_t scan_value_portable(const char* p, size_t n) noexcept;
size_t scan_target_portable(const char* p, size_t n) noexcept;

// The payload kernels (field_scan.h: ScanKernels::utf8, ::mask), per path.
size_t utf8_portable(const char* p, size_t n) noexcept;
void mask_portable(char* dst, const char* src, size_t n, uint32_t key) noexcept;
#ifdef VELMORA_SCAN_X86
size_t utf8_sse42(const char* p, size_t n) noexcept;
void mask_sse42(char* dst, const char* src, size_t n, uint32_t key) noexcept;
size_t utf8_avx2(const char* p, size_t n) noexcept;
void mask_avx2(char* dst, const char* src, size_t n, uint32_t key) noexcept;
#endif

}  // namespace velmora::http::detail
