// Scanners over the bytes of HTTP fields and request targets, shared by the
// HTTP/1 head tokenizer and HTTP/2 header validation. Each returns the index
// of the first byte that stops it, or `n` when every byte passes. Beside them
// the two payload kernels WebSocket frames need: UTF-8 validation and
// masking.
//
// Every scanner has one kernel per CPU kind. The kernels form one table,
// chosen once at run time (the widest the CPU supports) and forcible with
// set_scan_path(), so that tests and benchmarks cover every path on one
// machine. The paths agree byte for byte.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::http {

enum class ScanPath : uint8_t { automatic, portable, sse42, avx2 };

// Stop masks of 64 bytes, bit k for byte k (ScanKernels::classify).
struct FieldMasks {
  uint64_t non_token;   // the bytes token() stops at
  uint64_t bad_value;   // the bytes value() stops at
  uint64_t bad_target;  // the bytes target() stops at
};

// One implementation of every scanner.
struct ScanKernels {
  ScanPath path;
  // The first byte that is not a token character (RFC 9110 tchar).
  size_t (*token)(const char* p, size_t n) noexcept;
  // The first byte that is not a token character in lowercase: an uppercase
  // letter stops it too.
  size_t (*lower_token)(const char* p, size_t n) noexcept;
  // The first byte that may not appear in a field value: a control byte
  // other than HTAB (0x00-0x08, 0x0A-0x1F), or DEL (0x7F).
  size_t (*value)(const char* p, size_t n) noexcept;
  // The first byte that may not appear in a request target: SP, a control
  // byte, or DEL.
  size_t (*target)(const char* p, size_t n) noexcept;
  // Classifies the 64 bytes at p at once. Null on the portable path, where
  // scanning each field as it comes costs less than classifying every byte;
  // with it, a caller that walks many fields (the HTTP/1 head tokenizer's
  // header lines) classifies each byte once instead of calling a scanner per
  // name and value. The tokenizer's AVX2 build inlines the same classifier
  // (field_classify_avx2.h).
  void (*classify)(const char* p, FieldMasks& out) noexcept;
  // The length of the longest prefix of p made of whole, valid UTF-8
  // sequences (strict: no overlong forms, surrogates or code points above
  // U+10FFFF): n for a valid text, else the start of the first sequence that
  // is invalid or cut short by the end.
  size_t (*utf8)(const char* p, size_t n) noexcept;
  // dst[i] = src[i] ^ key byte (i % 4), where the key's byte 0 is its lowest
  // addressed byte (the key as read from memory). dst may equal src; the
  // ranges may not overlap otherwise.
  void (*mask)(char* dst, const char* src, size_t n, uint32_t key) noexcept;
};

namespace detail {
extern std::atomic<const ScanKernels*> g_kernels;
const ScanKernels* pick_kernels() noexcept;
inline const ScanKernels& kernels() noexcept {
  const ScanKernels* k = g_kernels.load(std::memory_order_relaxed);
  return k ? *k : *pick_kernels();
}
}  // namespace detail

// Forces a path for every scanner; `automatic` goes back to the widest one
// the CPU supports, and a path the CPU lacks gives `portable`. Takes effect
// for calls that start afterwards.
void set_scan_path(ScanPath p) noexcept;
// The path in use (never `automatic`).
inline ScanPath scan_path() noexcept { return detail::kernels().path; }

inline size_t scan_token(const char* p, size_t n) noexcept { return detail::kernels().token(p, n); }
inline size_t scan_lower_token(const char* p, size_t n) noexcept { return detail::kernels().lower_token(p, n); }
inline size_t scan_value(const char* p, size_t n) noexcept { return detail::kernels().value(p, n); }
inline size_t scan_target(const char* p, size_t n) noexcept { return detail::kernels().target(p, n); }

inline size_t scan_utf8(const char* p, size_t n) noexcept { return detail::kernels().utf8(p, n); }

// XORs n bytes with a 4-byte masking key, starting `phase` bytes into the
// key (the payload offset modulo 4 when a payload is masked piece by piece).
inline void mask_bytes(char* dst, const char* src, size_t n, const uint8_t key[4], size_t phase = 0) noexcept {
  uint32_t k = uint32_t(key[0]) | uint32_t(key[1]) << 8 | uint32_t(key[2]) << 16 | uint32_t(key[3]) << 24;
  if constexpr (std::endian::native == std::endian::big) k = __builtin_bswap32(k);
  unsigned r = unsigned(phase & 3) * 8;
  if (r) k = std::endian::native == std::endian::little ? (k >> r | k << (32 - r)) : (k << r | k >> (32 - r));
  detail::kernels().mask(dst, src, n, k);
}

// A field name as HTTP/2 carries it: a non-empty token with no uppercase.
inline bool is_lower_token(std::string_view s) noexcept {
  return !s.empty() && scan_lower_token(s.data(), s.size()) == s.size();
}
// A non-empty token.
inline bool is_token(std::string_view s) noexcept { return !s.empty() && scan_token(s.data(), s.size()) == s.size(); }
// Every byte allowed in a field value.
inline bool is_valid_value(std::string_view s) noexcept { return scan_value(s.data(), s.size()) == s.size(); }

}  // namespace velmora::http
