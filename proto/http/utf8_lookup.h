// The vector UTF-8 check shared by the SSE4.2 and AVX2 kernels: three
// nibble lookups classify each octet with the one before it, and the octets
// two and three back say where a continuation must be (the lookup method of
// Keiser and Lemire, "Validating UTF-8 In Less Than One Instruction Per
// Byte", 2021). A block's error vector is non-zero when some octet in it (or
// straddling from the block before) breaks a sequence; the kernels then
// locate the exact stop with the portable step.
#pragma once

#include <cstdint>

namespace velmora::http::detail::utf8_lookup {

// Error classes, one bit each; an octet pair is invalid when all three
// lookups share a bit.
inline constexpr uint8_t kTooShort = 1 << 0;    // a lead not followed by a continuation
inline constexpr uint8_t kTooLong = 1 << 1;     // ASCII followed by a continuation
inline constexpr uint8_t kOverlong3 = 1 << 2;   // E0 80..9F
inline constexpr uint8_t kTooLarge = 1 << 3;    // F4 90..BF, F5..FF
inline constexpr uint8_t kSurrogate = 1 << 4;   // ED A0..BF
inline constexpr uint8_t kOverlong2 = 1 << 5;   // C0, C1
inline constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
inline constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
inline constexpr uint8_t kTwoConts = 1 << 7;    // a continuation after a continuation (unless one is due)
inline constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// By the high nibble of the first octet of the pair.
alignas(32) inline constexpr uint8_t kByte1High[32] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};

// By the low nibble of the first octet.
alignas(32) inline constexpr uint8_t kByte1Low[32] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};

// By the high nibble of the second octet.
alignas(32) inline constexpr uint8_t kByte2High[32] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort,
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};

}  // namespace velmora::http::detail::utf8_lookup
