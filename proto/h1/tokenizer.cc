#include "proto/h1/tokenizer.h"

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

// Finds where a header name or value stops. With a classifying kernel, the
// bytes are classified 64 at a time into a block's two stop masks, which
// every search that reaches the block reuses: each byte of the field lines
// is looked at once, instead of once per scanner call, and a line costs a
// few bit operations instead of two kernel calls. Without one (the portable
// path) each search calls the scanner. Both answer exactly as scan_token()
// and scan_value() do, clamped to the buffer.
class Stops {
 public:
  Stops(const char* b, size_t n) noexcept : b_(b), n_(n), classify_(http::detail::kernels().classify) {}

  // The first byte at or after `at` that is not a token character, or n.
  size_t name_end(size_t at) noexcept { return classify_ ? find<0>(at) : at + http::scan_token(b_ + at, n_ - at); }
  // The first byte at or after `at` that may not appear in a value, or n.
  size_t value_end(size_t at) noexcept { return classify_ ? find<1>(at) : at + http::scan_value(b_ + at, n_ - at); }

 private:
  template <int Which>
  size_t find(size_t at) noexcept {
    while (at < n_) {
      const size_t block = at & ~size_t(63);
      if (block != block_) [[unlikely]]
        enter(block);
      if (uint64_t m = (Which == 0 ? m_.non_token : m_.bad_value) >> (at & 63)) {
        size_t stop = at + size_t(__builtin_ctzll(m));
        return stop < n_ ? stop : n_;
      }
      at = block + 64;
    }
    return n_;
  }

  // Classifies the block at `block`. The last, short block is classified
  // from a copy padded with NUL bytes, which stop both searches at n.
  void enter(size_t block) noexcept {
    block_ = block;
    const char* src = b_ + block;
    const size_t k = n_ - block;
    if (k >= 64) {
      m_ = classify_(src);
      return;
    }
    alignas(64) char pad[64] = {};
    size_t w = 0;
    for (; w + 8 <= k; w += 8) std::memcpy(pad + w, src + w, 8);
    for (; w < k; ++w) pad[w] = src[w];
    m_ = classify_(pad);
  }

  const char* b_;
  size_t n_;
  http::FieldMasks (*classify_)(const char*) noexcept;
  size_t block_ = SIZE_MAX;
  http::FieldMasks m_{0, 0};
};

}  // namespace

Result<Tokenized> tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
                                Checkpoint* resume) noexcept {
  Tok t{buf.data(), buf.size() > UINT32_MAX ? size_t(UINT32_MAX) : buf.size(), {}};
  const char* b = t.b;
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
      i += http::scan_token(b + i, n - i);
      if (i >= n) return t.partial();
      if (b[i] != ' ' || i == m0) return t.fail(ParseError::method);
      t.r.method = {b + m0, i - m0};
      ++i;
      // Target.
      size_t t0 = i;
      i += http::scan_target(b + i, n - i);
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
        ++i;
        i += http::scan_value(b + i, n - i);
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
  const size_t max = opts.max_headers;
  const bool ignore = opts.request && opts.ignore_invalid;
  // An incomplete line: the next call may resume at its start, every line
  // before it being known good.
  auto stop = [&]() -> Tokenized& {
    if (resume) *resume = Checkpoint{i, lines, opts.request};
    return t.partial();
  };
  Stops stops(b, n);
  for (;;) {
    if (i >= n) return stop();
    char c = b[i];
    if (c == '\r' || c == '\n') {
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return stop();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
      t.r.complete = true;
      t.r.head_len = i;
      t.r.nheaders = lines;
      if (resume) *resume = Checkpoint{};
      return t.r;
    }
    size_t line = i;
    size_t j = stops.name_end(i);
    if (j >= n) return stop();
    bool good = b[j] == ':' && j > i;
    size_t v0 = 0, v1 = 0;
    if (good) {
      size_t name_end = j++;
      while (j < n && (b[j] == ' ' || b[j] == '\t')) ++j;
      v0 = j;
      j = stops.value_end(j);
      if (j >= n) return stop();
      v1 = j;
      Eol e = line_end(b, n, j);
      if (e == Eol::partial) return stop();
      good = e == Eol::ok;
      if (good) {
        while (v1 > v0 && (b[v1 - 1] == ' ' || b[v1 - 1] == '\t')) --v1;
        if (lines >= max) return t.fail(ParseError::too_large);
        if (name_end - line > t.r.longest_name) t.r.longest_name = name_end - line;
        if (slots && !validate_only)
          slots[lines] = HeadSlot{uint32_t(line), uint32_t(name_end - line), uint32_t(v0), uint32_t(v1 - v0)};
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

}  // namespace velmora::h1
