// The walk behind tokenize_head(), for the tokenizer's own files only. Each
// of them includes this once and instantiates the walk for its scan path, so
// that a path built for a wider CPU gets the walk compiled for that CPU, with
// its classifier inlined. Everything here has internal linkage: no file's
// copy can stand in for another's.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "proto/h1/tokenizer.h"
#include "proto/http/field_scan.h"

namespace velmora::h1 {

namespace detail {
// Whether a request header line that failed to tokenize may be dropped under
// ignore_invalid_headers (tokenizer.cc).
bool droppable_line(std::string_view line) noexcept;
}  // namespace detail

namespace {

constexpr std::string_view kVersionPrefix = "HTTP/1.";

struct Tok {
  const char* b;
  size_t n;
  Tokenized r;

  static std::unexpected<Error> fail(ParseError e) noexcept { return std::unexpected(Error::parse(e)); }
  Tokenized& partial() noexcept { return r; }
};

enum class Eol : uint8_t { ok, partial, bad };

// A line end at i: CR LF or a bare LF. `i` moves past it.
inline Eol line_end(const char* b, size_t n, size_t& i) noexcept {
  if (i >= n) return Eol::partial;
  if (b[i] == '\n') {
    ++i;
    return Eol::ok;
  }
  if (b[i] != '\r') return Eol::bad;
  if (i + 1 >= n) return Eol::partial;
  if (b[i + 1] != '\n') return Eol::bad;
  i += 2;
  return Eol::ok;
}

// "HTTP/1.0" / "HTTP/1.1" at i. 0: partial, 1: ok, -1: bad.
inline int version_at(const char* b, size_t n, size_t i, bool& http11) noexcept {
  if (n - i >= 8) [[likely]] {
    uint64_t w;
    std::memcpy(&w, b + i, 8);
    constexpr uint64_t kPrefix = 0x002e312f50545448ull;  // "HTTP/1." in memory order
    if (std::endian::native == std::endian::little && (w & 0x00ffffffffffffffull) == kPrefix) {
      const char d = char(w >> 56);
      if (d != '0' && d != '1') return -1;
      http11 = d == '1';
      return 1;
    }
  }
  size_t have = n - i < 8 ? n - i : 8;
  for (size_t k = 0; k < have && k < 7; ++k)
    if (b[i + k] != kVersionPrefix[k]) return -1;
  if (have < 8) return 0;
  char d = b[i + 7];
  if (d != '0' && d != '1') return -1;
  http11 = d == '1';
  return 1;
}

inline bool is_ows(char c) noexcept { return c == ' ' || c == '\t'; }

// The searches by scanner call: one per method, target, name and value.
struct ScanFind {
  const char* b;
  size_t n;
  const http::ScanKernels& k;
  size_t token_end(size_t at) const noexcept { return at + k.token(b + at, n - at); }
  size_t target_end(size_t at) const noexcept { return at + k.target(b + at, n - at); }
  size_t value_end(size_t at) const noexcept { return at + k.value(b + at, n - at); }
  size_t skip_ows(size_t at) const noexcept {
    while (at < n && is_ows(b[at])) ++at;
    return at;
  }
};

// The header lines walked so far.
struct Lines {
  const char* b;
  size_t n;
  HeadSlot* out;  // null: validating only
  size_t max;
  bool ignore;    // drop malformed lines that may be dropped
  size_t i;       // where the next line starts
  size_t count;   // lines kept
  size_t longest = 0;
};

// What a header line came to. `end`: it was the empty line, and w.i is past
// it; `partial`: it goes on past the buffer, and w.i is its start.
enum class Line : uint8_t { next, end, partial, bad, too_many };

// The header line at w.i, by scanner calls.
inline Line exact_line(Lines& w, const ScanFind& find) noexcept {
  const char* const b = w.b;
  const size_t n = w.n;
  size_t i = w.i;
  if (i >= n) return Line::partial;
  if (b[i] == '\r' || b[i] == '\n') {
    Eol e = line_end(b, n, i);
    if (e == Eol::partial) return Line::partial;
    if (e == Eol::bad) return Line::bad;
    w.i = i;
    return Line::end;
  }
  size_t j = find.token_end(i);
  if (j >= n) return Line::partial;
  if (b[j] == ':' && j > i) [[likely]] {
    const size_t name_end = j;
    const size_t v0 = find.skip_ows(j + 1);
    j = find.value_end(v0);
    if (j >= n) return Line::partial;
    size_t v1 = j;
    Eol e = line_end(b, n, j);
    if (e == Eol::partial) return Line::partial;
    if (e == Eol::ok) [[likely]] {
      while (v1 > v0 && is_ows(b[v1 - 1])) --v1;
      if (w.count >= w.max) return Line::too_many;
      if (name_end - i > w.longest) w.longest = name_end - i;
      if (w.out) w.out[w.count] = HeadSlot{uint32_t(i), uint32_t(name_end - i), uint32_t(v0), uint32_t(v1 - v0)};
      ++w.count;
      w.i = j;
      return Line::next;
    }
  }
  if (!w.ignore) return Line::bad;
  // Drop the malformed line: skip to the next line feed.
  const void* nl = std::memchr(b + i, '\n', n - i);
  if (!nl) return Line::partial;
  const size_t next = size_t(static_cast<const char*>(nl) - b) + 1;
  if (!detail::droppable_line(std::string_view(b + i, next - 1 - i))) return Line::bad;
  w.i = next;
  return Line::next;
}

// Every header line by scanner calls, up to the first that is not `next`.
inline Line scan_lines(Lines& w, const ScanFind& find) noexcept {
  for (;;)
    if (const Line r = exact_line(w, find); r != Line::next) return r;
}

// The stop masks of 64 bytes (ScanKernels::classify), bit k for byte k:
// bytes that are not token characters, and bytes a field value may not hold.
struct Masks {
  uint64_t tok = 0, val = 0;
};

// The masks of the fewer than 64 bytes from i to n, from a padded copy.
template <class Classify>
[[gnu::noinline]] Masks short_block(const char* b, size_t n, size_t i, const Classify& classify) noexcept {
  alignas(64) char pad[64] = {};
  std::memcpy(pad, b + i, n - i);
  Masks m = classify(pad);
  const uint64_t kept = (uint64_t(1) << (n - i)) - 1;
  return Masks{m.tok & kept, m.val & kept};
}

// The masks of the 64 bytes from i. Bits for bytes past n are clear.
template <class Classify>
inline Masks block_at(const char* b, size_t n, size_t i, const Classify& classify) noexcept {
  if (i + 64 <= n) [[likely]]
    return classify(b + i);
  if (i >= n) return Masks{};
  if (n < 64) return short_block(b, n, i, classify);
  // The 64 bytes ending at n, their masks shifted into place.
  const Masks m = classify(b + n - 64);
  const unsigned drop = unsigned(64 - (n - i));
  return Masks{m.tok >> drop, m.val >> drop};
}

// The header lines from w.i, with a classifier, for as long as the masks
// settle them. Returns `end` past the empty line, or `next` at a line for
// exact_line(): one the masks do not settle (the name runs 64 bytes or more,
// the line is malformed or incomplete, or over the limit).
//
// The masks of two blocks of 64 bytes are at hand, the line's start in the
// first, and the 64 bytes from the start are cut out of both: the name ends
// at the first stop of the token mask, the line at the first stop of the
// value mask, which in a well-formed line is its CR or LF (names, the colon,
// whitespace and values hold no such byte). A line that goes on past those
// 64 bytes walks on block by block. A block is classified once, when the
// walk reaches the one before it, apart from the chain of line starts.
// With Store, the slots are filled and w.longest is left to the caller.
template <bool Store, class Classify>
[[gnu::noinline]] Line mask_lines(Lines& w, const Classify& classify) noexcept {
  const char* const b = w.b;
  const size_t n = w.n;
  HeadSlot* const out = w.out;
  size_t i = w.i, count = w.count, longest = w.longest;
  size_t base = i;
  Masks lo = block_at(b, n, base, classify), hi = block_at(b, n, base + 64, classify);
  auto view = [&](uint64_t Masks::*m, size_t at) {
    const size_t r = at - base;             // < 64
    const unsigned up = unsigned(r) ^ 63;  // 63 - r
    return (lo.*m >> r) | ((hi.*m << 1) << up);
  };
  auto next_block = [&] {
    base += 64;
    lo = hi;
    hi = block_at(b, n, base + 64, classify);
  };
  Line result = Line::next;
  for (;;) {
    const uint64_t v = view(&Masks::val, i), t = view(&Masks::tok, i);
    if (v & 1) [[unlikely]] {
      // The empty line that ends the head, or a malformed line.
      if (b[i] == '\r' && i + 1 < n && b[i + 1] == '\n') {
        i += 2;
        result = Line::end;
      } else if (b[i] == '\n') {
        i += 1;
        result = Line::end;
      }
      break;
    }
    const size_t j = i + size_t(std::countr_zero(t));
    if (t == 0 || (t & 1) || b[j] != ':') [[unlikely]]
      break;
    size_t ve;
    if (v != 0) [[likely]] {
      ve = i + size_t(std::countr_zero(v));
    } else {
      // The value goes on past the 64 bytes from the line's start.
      size_t at = i + 64;
      uint64_t m = 0;
      while (at < n) {
        while (at - base >= 64) next_block();
        if ((m = view(&Masks::val, at)) != 0) break;
        at += 64;
      }
      if (m == 0) break;
      ve = at + size_t(std::countr_zero(m));
    }
    size_t next = 0;
    if (ve + 1 < n) {
      constexpr uint16_t kCrLf = std::endian::native == std::endian::little ? 0x0a0d : 0x0d0a;
      uint16_t eol;
      std::memcpy(&eol, b + ve, 2);
      if (eol == kCrLf) next = ve + 2;
    }
    if (next == 0 && b[ve] == '\n') next = ve + 1;
    if (next == 0 || count >= w.max) [[unlikely]]
      break;
    // The byte at ve is neither a space nor a tab, so both loops would stop
    // by it; the first is bounded by ve all the same, not by that fact.
    size_t v0 = j + 1;
    while (v0 < ve && is_ows(b[v0])) ++v0;
    size_t v1 = ve;
    while (v1 > v0 && is_ows(b[v1 - 1])) --v1;
    if constexpr (Store)
      out[count] = HeadSlot{uint32_t(i), uint32_t(j - i), uint32_t(v0), uint32_t(v1 - v0)};
    else if (j - i > longest)
      longest = j - i;
    ++count;
    i = next;
    while (i - base >= 64) next_block();
  }
  w.i = i;
  w.count = count;
  w.longest = longest;
  return result;
}

// Every header line: by masks, and by exact_line() where they do not settle it.
template <class Classify>
inline Line classified_lines(Lines& w, const ScanFind& find, const Classify& classify) noexcept {
  if (!w.out) {
    for (;;) {
      if (mask_lines<false>(w, classify) == Line::end) return Line::end;
      if (const Line r = exact_line(w, find); r != Line::next) return r;
    }
  }
  for (;;) {
    if (mask_lines<true>(w, classify) == Line::end) break;
    if (const Line r = exact_line(w, find); r != Line::next) return r;
  }
  // The longest name, from the slots: the walk above keeps one register free.
  for (size_t k = 0; k < w.count; ++k)
    if (w.out[k].name_len > w.longest) w.longest = w.out[k].name_len;
  return Line::end;
}

// Tokenizes the head at t.b (see tokenize_head()), its header lines by
// `lines(Lines&, const ScanFind&)`.
template <class WalkLines>
Result<Tokenized> tokenize(Tok& t, const ScanFind& find, const TokenizeOptions& opts, HeadSlot* slots,
                           Checkpoint* resume, const WalkLines& lines) noexcept {
  const char* const b = t.b;
  const size_t n = t.n;
  size_t i = 0;
  size_t count = 0;
  const bool validate_only = resume && resume->offset != 0 && resume->request == opts.request;

  if (validate_only) {
    i = resume->offset;
    count = resume->lines;
  } else {
    // Leading empty lines.
    while (i < n && (b[i] == '\r' || b[i] == '\n')) {
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return t.partial();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
    }
    if (i >= n) return t.partial();

    if (opts.request) {
      // Method.
      size_t m0 = i;
      i = find.token_end(i);
      if (i >= n) return t.partial();
      if (b[i] != ' ' || i == m0) return t.fail(ParseError::method);
      t.r.method = {b + m0, i - m0};
      ++i;
      // Target.
      size_t t0 = i;
      i = find.target_end(i);
      if (i >= n) return t.partial();
      if (b[i] != ' ' || i == t0) return t.fail(ParseError::uri);
      t.r.target = {b + t0, i - t0};
      ++i;
      // Version.
      int v = version_at(b, n, i, t.r.http11);
      if (v < 0) return t.fail(ParseError::version);
      if (v == 0) return t.partial();
      i += 8;
      if (i < n && b[i] != '\r' && b[i] != '\n') return t.fail(ParseError::version);
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return t.partial();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
    } else {
      int v = version_at(b, n, i, t.r.http11);
      if (v < 0) return t.fail(ParseError::version);
      if (v == 0) return t.partial();
      i += 8;
      if (i >= n) return t.partial();
      if (b[i] != ' ') return t.fail(ParseError::status);
      ++i;
      uint16_t code = 0;
      for (int k = 0; k < 3; ++k, ++i) {
        if (i >= n) return t.partial();
        char c = b[i];
        if (c < '0' || c > '9' || (k == 0 && c == '0')) return t.fail(ParseError::status);
        code = uint16_t(code * 10 + (c - '0'));
      }
      t.r.status_code = code;
      if (i >= n) return t.partial();
      if (b[i] == ' ') {
        i = find.value_end(i + 1);
        if (i >= n) return t.partial();
        if (b[i] != '\r' && b[i] != '\n') return t.fail(ParseError::status);
      } else if (b[i] != '\r' && b[i] != '\n') {
        return t.fail(ParseError::status);
      }
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return t.partial();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
    }
  }

  // Header lines, up to the empty line.
  Lines w{b, n, validate_only ? nullptr : slots, opts.max_headers, opts.request && opts.ignore_invalid, i, count};
  switch (lines(w, find)) {
    case Line::end:
      t.r.complete = true;
      t.r.head_len = w.i;
      t.r.nheaders = w.count;
      t.r.longest_name = w.longest;
      if (resume) *resume = Checkpoint{};
      return t.r;
    case Line::partial:
      // Every line before w.i is known good: the next call may resume there.
      if (resume) *resume = Checkpoint{w.i, w.count, opts.request};
      return t.partial();
    case Line::too_many:
      return t.fail(ParseError::too_large);
    default:
      return t.fail(ParseError::header_token);
  }
}

}  // namespace

}  // namespace velmora::h1
