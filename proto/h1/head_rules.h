// Pieces the request and response rules share (request_head.cc,
// response_head.cc); not for other callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proto/h1/head_parser.h"
#include "proto/h1/tokenizer.h"
#include "proto/http/fields.h"
#include "proto/http/header_hash.h"

namespace velmora::h1::detail {

// Names the rules look at, recognised once lowercased.
enum class Known : uint8_t { other, transfer_encoding, content_length, connection, expect, upgrade, te };

inline constexpr std::string_view kKnownNames[] = {"",       "transfer-encoding", "content-length", "connection",
                                                   "expect", "upgrade",           "te"};

// The known names have lengths of their own, so a name's length picks the one
// known name it may be, and the hash the map builder computed for it rules
// out all but that name (or a colliding one) without a byte compare.
struct KnownSlot {
  uint32_t hash = 0;
  Known kind = Known::other;
};
inline constexpr size_t kKnownLengths = 18;  // longest known name + 1
consteval std::array<KnownSlot, kKnownLengths> make_known_slots() {
  std::array<KnownSlot, kKnownLengths> t{};
  for (size_t k = 1; k < std::size(kKnownNames); ++k) {
    std::string_view n = kKnownNames[k];
    if (n.size() >= kKnownLengths || t[n.size()].kind != Known::other) throw "known names need lengths of their own";
    t[n.size()] = KnownSlot{http::detail::known_hash(n), Known(k)};
  }
  return t;
}
inline constexpr std::array<KnownSlot, kKnownLengths> kKnownSlots = make_known_slots();

// `l` is a lowercase name and `h` its map hash.
inline Known known_name(std::string_view l, uint32_t h) noexcept {
  if (l.size() >= kKnownLengths) return Known::other;
  const KnownSlot& k = kKnownSlots[l.size()];
  if (k.hash != h || k.kind == Known::other) [[likely]]
    return Known::other;
  return l == kKnownNames[size_t(k.kind)] ? k.kind : Known::other;
}

inline std::string_view name_of(const char* b, const HeadSlot& s) noexcept { return {b + s.name_off, s.name_len}; }
inline std::string_view value_of(const char* b, const HeadSlot& s) noexcept { return {b + s.value_off, s.value_len}; }

// Tokenizes from a checkpoint of the same kind of head when there is one: a
// resumed scan only validates the new lines, so once it finds the head
// complete, the head is tokenized again from the start to fill the slots.
inline Result<Tokenized> tokenize_resuming(std::string_view buf, const TokenizeOptions& o, HeadSlot* slots,
                                           Checkpoint* resume) noexcept {
  if (resume && resume->offset != 0 && resume->request == o.request) {
    Result<Tokenized> t = tokenize_head(buf, o, nullptr, resume);
    return t && t->complete ? tokenize_head(buf, o, slots, nullptr) : t;
  }
  return tokenize_head(buf, o, slots, resume);
}

// Whether `v` is `word` (lowercase letters and '-', at most 16 bytes) in any
// ASCII case: letters compare with their 0x20 bit set, other bytes exactly.
template <size_t N>
inline bool word_ieq(std::string_view v, const char (&word)[N]) noexcept {
  constexpr size_t n = N - 1;
  static_assert(n >= 8 && n <= 16);
  constexpr auto fold = [](const char* w, size_t k) {
    uint64_t x = 0;
    for (size_t i = 0; i < k; ++i) x |= uint64_t(w[i] >= 'a' && w[i] <= 'z' ? 0x20 : 0) << (8 * i);
    return x;
  };
  if (v.size() != n) return false;
  const uint64_t a = http::detail::load(v.data(), 8), b = http::detail::load(v.data() + n - 8, 8);
  return (a | fold(word, 8)) == http::detail::load(word, 8) && (b | fold(word + n - 8, 8)) == http::detail::load(word + n - 8, 8);
}

// Connection: turns keep-alive off on "close" while on, on with "keep-alive"
// while off, so a later line can undo an earlier one. A value that is one of
// the two words alone, the usual case, is answered without the list search.
inline void apply_connection(std::string_view v, bool& keep_alive) noexcept {
  if (word_ieq(v, "keep-alive")) {
    keep_alive = true;
  } else if (v.size() == 5 && http::iequals(v, "close")) {
    keep_alive = false;
  } else if (keep_alive) {
    if (http::list_has_token(v, "close")) keep_alive = false;
  } else if (http::list_has_token(v, "keep-alive")) {
    keep_alive = true;
  }
}

}  // namespace velmora::h1::detail
