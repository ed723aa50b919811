#include "proto/h1/tokenizer.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "proto/http/field_scan.h"
#include "proto/http/fields.h"

namespace velmora::h1 {

namespace {

constexpr std::string_view kVersionPrefix = "HTTP/1.";

struct Tok {
  const char* b;
  size_t n;
  Tokenized r;

  Tokenized& fail(ParseError e) noexcept {
    r.status = TokStatus::error;
    r.error = e;
    return r;
  }
  Tokenized& partial() noexcept {
    r.status = TokStatus::partial;
    return r;
  }
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

// Whether a request header line that failed to tokenize may be dropped under
// ignore_invalid_headers. A line that some other parser could read as a
// framing field is never dropped, or the two would frame the message
// differently (CL.0, TE.CL): whitespace between the name and its colon (a
// 400 under RFC 9112, section 5.1), or a name that is Content-Length or
// Transfer-Encoding once trimmed.
bool droppable_line(std::string_view line) noexcept {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return true;
  std::string_view name = line.substr(0, colon);
  std::string_view trimmed = http::trim_ows(name);
  if (!trimmed.empty() && trimmed.data() + trimmed.size() != name.data() + name.size()) return false;
  return !http::iequals(trimmed, "content-length") && !http::iequals(trimmed, "transfer-encoding");
}

// The searches of the portable path: one scanner call per method, target,
// name and value.
struct ScanFind {
  const char* b;
  size_t n;
  const http::ScanKernels& k;
  size_t token_end(size_t at) const noexcept { return at + k.token(b + at, n - at); }
  size_t target_end(size_t at) const noexcept { return at + k.target(b + at, n - at); }
  size_t value_end(size_t at) const noexcept { return at + k.value(b + at, n - at); }
  size_t skip_ows(size_t at) const noexcept {
    while (at < n && (b[at] == ' ' || b[at] == '\t')) ++at;
    return at;
  }
};

using Classify = void (*)(const char*, http::FieldMasks&) noexcept;

// The masks of the 64 bytes at `block`. A block reaching past n is
// classified from the 64 bytes ending at n, its masks shifted into place
// with the bytes past n marked as stops; in a buffer shorter than 64 bytes,
// from a copy padded with NUL bytes, which stop every search. A block
// starting at n is all stops.
[[gnu::noinline]] http::FieldMasks classify_block(const char* b, size_t n, size_t block, Classify classify) noexcept {
  http::FieldMasks m;
  const size_t k = n - block;
  if (k >= 64) [[likely]] {
    classify(b + block, m);
  } else if (k == 0) {
    m = http::FieldMasks{~uint64_t(0), ~uint64_t(0), ~uint64_t(0)};
  } else if (n >= 64) {
    classify(b + n - 64, m);
    const unsigned drop = unsigned(64 - k);
    const uint64_t past = ~uint64_t(0) << k;
    m.non_token = (m.non_token >> drop) | past;
    m.bad_value = (m.bad_value >> drop) | past;
    m.bad_target = (m.bad_target >> drop) | past;
  } else {
    alignas(64) char pad[64] = {};
    std::memcpy(pad, b + block, k);
    classify(pad, m);
  }
  return m;
}

// The searches with a classifying kernel. The bytes are classified 64 at a
// time into stop masks, which every search that reaches the block reuses:
// each byte of the head is looked at once, instead of once per scanner
// call, and a search costs a few bit operations instead of a kernel call.
// Both kinds answer exactly as the scanners do, clamped to the buffer.
class MaskFind {
 public:
  MaskFind(const char* b, size_t n, Classify classify) noexcept : b_(b), n_(n), classify_(classify) {}

  size_t token_end(size_t at) noexcept { return find<0>(at); }
  size_t target_end(size_t at) noexcept { return find<2>(at); }
  size_t value_end(size_t at) noexcept { return find<1>(at); }
  // The first byte at or after `at` that is not a space or tab, or n.
  size_t skip_ows(size_t at) noexcept { return find<3>(at); }

 private:
  // Every search ends by n (at <= n): bytes past n are stops, and a block
  // starting at n is all stops.
  template <int Which>
  size_t find(size_t at) noexcept {
    for (;;) {
      const size_t block = at & ~size_t(63);
      if (block != block_) [[unlikely]] {
        const http::FieldMasks m = classify_block(b_, n_, block, classify_);
        block_ = block;
        tok_ = m.non_token;
        val_ = m.bad_value;
        tgt_ = m.bad_target;
      }
      // Space and tab are the target's stops that values allow.
      const uint64_t mask = Which == 0 ? tok_ : Which == 1 ? val_ : Which == 2 ? tgt_ : ~(tgt_ & ~val_);
      if (const uint64_t m = mask >> (at & 63)) return at + size_t(__builtin_ctzll(m));
      at = block + 64;
    }
  }

  const char* b_;
  size_t n_;
  Classify classify_;
  size_t block_ = SIZE_MAX;
  uint64_t tok_ = 0, val_ = 0, tgt_ = 0;
};

// Tokenizes the head at t.b; see tokenize_head().
template <class Find>
Tokenized tokenize(Tok& t, Find& find, const TokenizeOptions& opts, HeadSlot* slots, Checkpoint* resume) noexcept {
  const char* const b = t.b;
  const size_t n = t.n;
  size_t i = 0;
  size_t lines = 0;
  const bool validate_only = resume && resume->offset != 0 && resume->request == opts.request;

  if (validate_only) {
    i = resume->offset;
    lines = resume->lines;
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
  HeadSlot* const out = validate_only ? nullptr : slots;
  const size_t max = opts.max_headers;
  const bool ignore = opts.request && opts.ignore_invalid;
  size_t longest = 0;
  // An incomplete line: the next call may resume at its start, every line
  // before it being known good.
  auto stop = [&]() -> Tokenized& {
    if (resume) *resume = Checkpoint{i, lines, opts.request};
    return t.partial();
  };
  for (;;) {
    if (i >= n) return stop();
    char c = b[i];
    if (c == '\r' || c == '\n') {
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return stop();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
      t.r.status = TokStatus::complete;
      t.r.head_len = i;
      t.r.nheaders = lines;
      t.r.longest_name = longest;
      if (resume) *resume = Checkpoint{};
      return t.r;
    }
    const size_t line = i;
    size_t j = find.token_end(i);
    if (j >= n) return stop();
    if (b[j] == ':' && j > i) [[likely]] {
      const size_t name_end = j;
      const size_t v0 = find.skip_ows(j + 1);
      j = find.value_end(v0);
      if (j >= n) return stop();
      size_t v1 = j;
      Eol e = line_end(b, n, j);
      if (e == Eol::partial) return stop();
      if (e == Eol::ok) [[likely]] {
        while (v1 > v0 && (b[v1 - 1] == ' ' || b[v1 - 1] == '\t')) --v1;
        if (lines >= max) return t.fail(ParseError::too_large);
        if (name_end - line > longest) longest = name_end - line;
        if (out) out[lines] = HeadSlot{uint32_t(line), uint32_t(name_end - line), uint32_t(v0), uint32_t(v1 - v0)};
        ++lines;
        i = j;
        continue;
      }
    }
    if (!ignore) return t.fail(ParseError::header_token);
    // Drop the malformed line: skip to the next line feed.
    const void* nl = std::memchr(b + line, '\n', n - line);
    if (!nl) return stop();
    size_t next = size_t(static_cast<const char*>(nl) - b) + 1;
    if (!droppable_line(std::string_view(b + line, next - 1 - line))) return t.fail(ParseError::header_token);
    i = next;
  }
}

}  // namespace

Tokenized tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
                        Checkpoint* resume) noexcept {
  Tok t{buf.data(), buf.size() > UINT32_MAX ? size_t(UINT32_MAX) : buf.size(), {}};
  const http::ScanKernels& k = http::detail::kernels();
  if (k.classify) {
    MaskFind find(t.b, t.n, k.classify);
    return tokenize(t, find, opts, slots, resume);
  }
  ScanFind find{t.b, t.n, k};
  return tokenize(t, find, opts, slots, resume);
}

}  // namespace velmora::h1
