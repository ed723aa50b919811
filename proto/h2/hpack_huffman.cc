#include "proto/h2/hpack_huffman.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace velmora::h2::hpack {

namespace {

struct Code {
  uint32_t code;  // aligned to the least significant bit
  uint8_t len;
};

// RFC 7541 Appendix B, indexed by symbol; 256 is EOS.
constexpr Code kCodes[257] = {
    {0x1ff8, 13}, {0x7fffd8, 23}, {0xfffffe2, 28}, {0xfffffe3, 28}, {0xfffffe4, 28}, {0xfffffe5, 28},
    {0xfffffe6, 28}, {0xfffffe7, 28}, {0xfffffe8, 28}, {0xffffea, 24}, {0x3ffffffc, 30}, {0xfffffe9, 28},
    {0xfffffea, 28}, {0x3ffffffd, 30}, {0xfffffeb, 28}, {0xfffffec, 28}, {0xfffffed, 28}, {0xfffffee, 28},
    {0xfffffef, 28}, {0xffffff0, 28}, {0xffffff1, 28}, {0xffffff2, 28}, {0x3ffffffe, 30}, {0xffffff3, 28},
    {0xffffff4, 28}, {0xffffff5, 28}, {0xffffff6, 28}, {0xffffff7, 28}, {0xffffff8, 28}, {0xffffff9, 28},
    {0xffffffa, 28}, {0xffffffb, 28}, {0x14, 6}, {0x3f8, 10}, {0x3f9, 10}, {0xffa, 12},
    {0x1ff9, 13}, {0x15, 6}, {0xf8, 8}, {0x7fa, 11}, {0x3fa, 10}, {0x3fb, 10},
    {0xf9, 8}, {0x7fb, 11}, {0xfa, 8}, {0x16, 6}, {0x17, 6}, {0x18, 6},
    {0x0, 5}, {0x1, 5}, {0x2, 5}, {0x19, 6}, {0x1a, 6}, {0x1b, 6},
    {0x1c, 6}, {0x1d, 6}, {0x1e, 6}, {0x1f, 6}, {0x5c, 7}, {0xfb, 8},
    {0x7ffc, 15}, {0x20, 6}, {0xffb, 12}, {0x3fc, 10}, {0x1ffa, 13}, {0x21, 6},
    {0x5d, 7}, {0x5e, 7}, {0x5f, 7}, {0x60, 7}, {0x61, 7}, {0x62, 7},
    {0x63, 7}, {0x64, 7}, {0x65, 7}, {0x66, 7}, {0x67, 7}, {0x68, 7},
    {0x69, 7}, {0x6a, 7}, {0x6b, 7}, {0x6c, 7}, {0x6d, 7}, {0x6e, 7},
    {0x6f, 7}, {0x70, 7}, {0x71, 7}, {0x72, 7}, {0xfc, 8}, {0x73, 7},
    {0xfd, 8}, {0x1ffb, 13}, {0x7fff0, 19}, {0x1ffc, 13}, {0x3ffc, 14}, {0x22, 6},
    {0x7ffd, 15}, {0x3, 5}, {0x23, 6}, {0x4, 5}, {0x24, 6}, {0x5, 5},
    {0x25, 6}, {0x26, 6}, {0x27, 6}, {0x6, 5}, {0x74, 7}, {0x75, 7},
    {0x28, 6}, {0x29, 6}, {0x2a, 6}, {0x7, 5}, {0x2b, 6}, {0x76, 7},
    {0x2c, 6}, {0x8, 5}, {0x9, 5}, {0x2d, 6}, {0x77, 7}, {0x78, 7},
    {0x79, 7}, {0x7a, 7}, {0x7b, 7}, {0x7ffe, 15}, {0x7fc, 11}, {0x3ffd, 14},
    {0x1ffd, 13}, {0xffffffc, 28}, {0xfffe6, 20}, {0x3fffd2, 22}, {0xfffe7, 20}, {0xfffe8, 20},
    {0x3fffd3, 22}, {0x3fffd4, 22}, {0x3fffd5, 22}, {0x7fffd9, 23}, {0x3fffd6, 22}, {0x7fffda, 23},
    {0x7fffdb, 23}, {0x7fffdc, 23}, {0x7fffdd, 23}, {0x7fffde, 23}, {0xffffeb, 24}, {0x7fffdf, 23},
    {0xffffec, 24}, {0xffffed, 24}, {0x3fffd7, 22}, {0x7fffe0, 23}, {0xffffee, 24}, {0x7fffe1, 23},
    {0x7fffe2, 23}, {0x7fffe3, 23}, {0x7fffe4, 23}, {0x1fffdc, 21}, {0x3fffd8, 22}, {0x7fffe5, 23},
    {0x3fffd9, 22}, {0x7fffe6, 23}, {0x7fffe7, 23}, {0xffffef, 24}, {0x3fffda, 22}, {0x1fffdd, 21},
    {0xfffe9, 20}, {0x3fffdb, 22}, {0x3fffdc, 22}, {0x7fffe8, 23}, {0x7fffe9, 23}, {0x1fffde, 21},
    {0x7fffea, 23}, {0x3fffdd, 22}, {0x3fffde, 22}, {0xfffff0, 24}, {0x1fffdf, 21}, {0x3fffdf, 22},
    {0x7fffeb, 23}, {0x7fffec, 23}, {0x1fffe0, 21}, {0x1fffe1, 21}, {0x3fffe0, 22}, {0x1fffe2, 21},
    {0x7fffed, 23}, {0x3fffe1, 22}, {0x7fffee, 23}, {0x7fffef, 23}, {0xfffea, 20}, {0x3fffe2, 22},
    {0x3fffe3, 22}, {0x3fffe4, 22}, {0x7ffff0, 23}, {0x3fffe5, 22}, {0x3fffe6, 22}, {0x7ffff1, 23},
    {0x3ffffe0, 26}, {0x3ffffe1, 26}, {0xfffeb, 20}, {0x7fff1, 19}, {0x3fffe7, 22}, {0x7ffff2, 23},
    {0x3fffe8, 22}, {0x1ffffec, 25}, {0x3ffffe2, 26}, {0x3ffffe3, 26}, {0x3ffffe4, 26}, {0x7ffffde, 27},
    {0x7ffffdf, 27}, {0x3ffffe5, 26}, {0xfffff1, 24}, {0x1ffffed, 25}, {0x7fff2, 19}, {0x1fffe3, 21},
    {0x3ffffe6, 26}, {0x7ffffe0, 27}, {0x7ffffe1, 27}, {0x3ffffe7, 26}, {0x7ffffe2, 27}, {0xfffff2, 24},
    {0x1fffe4, 21}, {0x1fffe5, 21}, {0x3ffffe8, 26}, {0x3ffffe9, 26}, {0xffffffd, 28}, {0x7ffffe3, 27},
    {0x7ffffe4, 27}, {0x7ffffe5, 27}, {0xfffec, 20}, {0xfffff3, 24}, {0xfffed, 20}, {0x1fffe6, 21},
    {0x3fffe9, 22}, {0x1fffe7, 21}, {0x1fffe8, 21}, {0x7ffff3, 23}, {0x3fffea, 22}, {0x3fffeb, 22},
    {0x1ffffee, 25}, {0x1ffffef, 25}, {0xfffff4, 24}, {0xfffff5, 24}, {0x3ffffea, 26}, {0x7ffff4, 23},
    {0x3ffffeb, 26}, {0x7ffffe6, 27}, {0x3ffffec, 26}, {0x3ffffed, 26}, {0x7ffffe7, 27}, {0x7ffffe8, 27},
    {0x7ffffe9, 27}, {0x7ffffea, 27}, {0x7ffffeb, 27}, {0xffffffe, 28}, {0x7ffffec, 27}, {0x7ffffed, 27},
    {0x7ffffee, 27}, {0x7ffffef, 27}, {0x7fffff0, 27}, {0x3ffffee, 26}, {0x3fffffff, 30},
};

constexpr uint32_t kEos = 256;

// ---- decoding tables -------------------------------------------------------
//
// The code is canonical (codes of one length are consecutive, shorter codes
// come first), so any code can be found by comparing a prefix of the input
// with the limit of each length. That slow search is only needed for codes
// longer than kPeek bits; everything shorter (the printable ASCII that headers
// are made of) goes through one table indexed by the next kPeek input bits,
// whose entries give up to two whole symbols at once.

constexpr unsigned kPeek = 12;

// Fast entry: bits used | sym1 << 8 | sym2 << 16 | count << 24 | len1 << 26.
// count 0: the next code is longer than kPeek bits. The bits used sit at the
// bottom so that the shift that consumes them takes the entry as it is (x86
// masks shift counts to 6 bits): the table load and one shift are the whole
// dependency chain from one lookup to the next.
struct FastTable {
  std::array<uint32_t, 1u << kPeek> e{};
};

constexpr FastTable make_fast() {
  std::array<uint16_t, 1u << kPeek> sym{};
  std::array<uint8_t, 1u << kPeek> len{};  // 0: no code of up to kPeek bits
  for (uint32_t s = 0; s < kEos; ++s) {
    unsigned l = kCodes[s].len;
    if (l > kPeek) continue;
    uint32_t lo = kCodes[s].code << (kPeek - l), hi = (kCodes[s].code + 1) << (kPeek - l);
    for (uint32_t i = lo; i < hi; ++i) {
      sym[i] = uint16_t(s);
      len[i] = uint8_t(l);
    }
  }
  FastTable t;
  for (uint32_t i = 0; i < (1u << kPeek); ++i) {
    unsigned l1 = len[i];
    if (l1 == 0) continue;
    uint32_t e = l1 | (uint32_t(sym[i]) << 8) | (1u << 24) | (l1 << 26);
    uint32_t rest = (i << l1) & ((1u << kPeek) - 1);  // bits after the first code
    unsigned l2 = len[rest];
    if (l2 != 0 && l1 + l2 <= kPeek)
      e = (l1 + l2) | (uint32_t(sym[i]) << 8) | (uint32_t(sym[rest]) << 16) | (2u << 24) | (l1 << 26);
    t.e[i] = e;
  }
  return t;
}

constexpr FastTable kFast = make_fast();

// Canonical search for the long codes.
struct SlowTable {
  std::array<uint32_t, 32> first{};  // value of the first code of each length
  std::array<uint32_t, 32> limit{};  // one past the last code of each length
  std::array<uint16_t, 32> offset{};  // index of the first symbol of each length in `syms`
  std::array<uint16_t, 257> syms{};  // symbols ordered by (length, symbol)
};

constexpr SlowTable make_slow() {
  SlowTable t;
  uint16_t k = 0;
  for (unsigned l = 1; l <= 30; ++l) {
    t.offset[l] = k;
    bool any = false;
    for (uint32_t s = 0; s <= kEos; ++s) {
      if (kCodes[s].len != l) continue;
      if (!any) t.first[l] = kCodes[s].code;
      any = true;
      t.syms[k++] = uint16_t(s);
      t.limit[l] = kCodes[s].code + 1;
    }
    if (!any) t.first[l] = t.limit[l] = (l > 1 ? t.limit[l - 1] << 1 : 0);
  }
  return t;
}

constexpr SlowTable kSlow = make_slow();

// The code at the top of `w` (MSB-aligned) that is longer than kPeek bits:
// symbol in the low 16 bits, length above.
inline uint32_t slow_decode(uint32_t w) noexcept {
  for (unsigned l = kPeek + 1; l <= 30; ++l) {
    uint32_t v = w >> (32 - l);
    if (v < kSlow.limit[l]) return kSlow.syms[kSlow.offset[l] + (v - kSlow.first[l])] | (l << 16);
  }
  return kEos | (30u << 16);  // unreachable: every 30-bit pattern is a code
}

inline uint64_t load_be64(const uint8_t* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return __builtin_bswap64(w);
}

}  // namespace

size_t huffman_encoded_size(std::string_view s) noexcept {
  size_t bits = 0;
  for (unsigned char c : s) bits += kCodes[c].len;
  return (bits + 7) / 8;
}

char* huffman_encode(std::string_view s, char* out) noexcept {
  // Codes are shifted into the low end of `acc`; whole 32-bit words leave
  // from the top. Bits above `n` are stale and fall off as `acc` shifts.
  uint64_t acc = 0;
  unsigned n = 0;
  for (unsigned char c : s) {
    acc = (acc << kCodes[c].len) | kCodes[c].code;
    n += kCodes[c].len;
    if (n >= 32) {
      n -= 32;
      uint32_t w = __builtin_bswap32(uint32_t(acc >> n));
      std::memcpy(out, &w, 4);
      out += 4;
    }
  }
  if (unsigned pad = (8 - n % 8) % 8) {  // the start of EOS: all ones
    acc = (acc << pad) | ((1u << pad) - 1);
    n += pad;
  }
  while (n > 0) {
    n -= 8;
    *out++ = char(acc >> n);
  }
  return out;
}

std::expected<size_t, HpackError> huffman_decode(std::string_view in, char* out) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const auto* end = p + in.size();
  char* o = out;
  // Input bits are consumed from the top of `acc`; `n` of them are valid.
  // Refills also leave later input octets below `n`; a later refill puts the
  // same bits at the same place, and past the last octet the bits are zero.
  uint64_t acc = 0;
  unsigned n = 0;

  // While at least 30 bits are valid, any code fits.
  auto run = [&]() -> bool {
    while (n >= 30) {
      uint32_t e = kFast.e[acc >> (64 - kPeek)];
      if (e & (3u << 24)) [[likely]] {
        uint16_t two = uint16_t(e >> 8);
        std::memcpy(o, &two, 2);  // the second octet is rewritten if unused
        o += (e >> 24) & 3;
        acc <<= (e & 63);
        n -= e & 15;
        continue;
      }
      uint32_t r = slow_decode(uint32_t(acc >> 32));
      if ((r & 0xffff) == kEos) return false;
      *o++ = char(r);
      acc <<= r >> 16;
      n -= r >> 16;
    }
    return true;
  };

  while (end - p >= 8) {
    acc |= load_be64(p) >> n;
    p += (63 - n) >> 3;
    n |= 56;
    if (!run()) return std::unexpected(HpackError::invalid_huffman_code);
  }
  while (p < end) {  // fewer than 8 octets left, and n < 30
    // Assembled in a register: a variable-length copy through memory would
    // stall the load that follows it.
    unsigned k = std::min(unsigned(end - p), (63 - n) >> 3);
    uint64_t w = 0;
    for (unsigned i = 0; i < k; ++i) w |= uint64_t(p[i]) << (56 - 8 * i);
    acc |= w >> n;
    p += k;
    n += k * 8;
    if (!run()) return std::unexpected(HpackError::invalid_huffman_code);
  }
  // The last bits: every code must end within them, and what is left over
  // must be at most 7 bits of ones (a prefix of EOS).
  while (n > 0) {
    if (n <= 7 && (acc >> (64 - n)) == (uint64_t(1) << n) - 1) break;
    uint32_t e = kFast.e[acc >> (64 - kPeek)];
    if (e & (3u << 24)) {
      unsigned used = e & 15;
      if (((e >> 24) & 3) == 2 && used <= n) {
        uint16_t two = uint16_t(e >> 8);
        std::memcpy(o, &two, 2);
        o += 2;
        acc <<= used;
        n -= used;
        continue;
      }
      unsigned len = (e >> 26) & 15;
      if (len > n) return std::unexpected(HpackError::invalid_huffman_code);
      *o++ = char(e >> 8);
      acc <<= len;
      n -= len;
      continue;
    }
    uint32_t r = slow_decode(uint32_t(acc >> 32));
    // A code running past the end is a cut-off code, or padding that is too
    // long or not all ones.
    if ((r >> 16) > n || (r & 0xffff) == kEos) return std::unexpected(HpackError::invalid_huffman_code);
    *o++ = char(r);
    acc <<= r >> 16;
    n -= r >> 16;
  }
  return size_t(o - out);
}

}  // namespace velmora::h2::hpack
