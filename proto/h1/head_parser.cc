#include "proto/h1/head_parser.h"

#include "proto/http/utf8.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMORA_X86 1
#endif

#include "proto/http/fields.h"
#include "proto/http/uri.h"

namespace velmora::h1 {

// ---- methods and body kinds -----------------------------------------------

namespace {
constexpr std::string_view kMethodNames[kStandardMethods] = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY",
};
constexpr std::string_view kBodyKindNames[] = {"empty", "length", "chunked", "close"};
}  // namespace

std::string_view method_name(Method m) noexcept {
  return size_t(m) < kStandardMethods ? kMethodNames[size_t(m)] : std::string_view();
}

Method classify_method(std::string_view t) noexcept {
  switch (t.size()) {
    case 3:
      if (t == "GET") return Method::get;
      if (t == "PUT") return Method::put;
      break;
    case 4:
      if (t == "POST") return Method::post;
      if (t == "HEAD") return Method::head;
      break;
    case 5:
      if (t == "PATCH") return Method::patch;
      if (t == "TRACE") return Method::trace;
      if (t == "QUERY") return Method::query;
      break;
    case 6:
      if (t == "DELETE") return Method::delete_;
      break;
    case 7:
      if (t == "OPTIONS") return Method::options;
      if (t == "CONNECT") return Method::connect;
      break;
  }
  return Method::extension;
}

std::string_view body_kind_name(BodyKind k) noexcept { return kBodyKindNames[size_t(k) & 3]; }

// ---- delimiter scans ----------------------------------------------------------

namespace {

inline bool bad_value_byte(uint8_t c) noexcept { return (c < 0x20 && c != '\t') || c == 0x7f; }
inline bool bad_target_byte(uint8_t c) noexcept { return c <= 0x20 || c == 0x7f; }

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

// Non-zero when some byte of w is below b (b <= 0x80). Exact as an "any" test.
inline uint64_t has_less(uint64_t w, uint8_t b) noexcept { return (w - kOnes * b) & ~w & kHigh; }
inline uint64_t has_byte(uint64_t w, uint8_t b) noexcept {
  uint64_t x = w ^ (kOnes * b);
  return (x - kOnes) & ~x & kHigh;
}

// Word at a time: a word that might hold a stop byte is settled byte by byte.
size_t scan_value_portable(const char* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (has_less(w, 0x20) | has_byte(w, 0x7f))
      for (size_t k = i; k < i + 8; ++k)
        if (bad_value_byte(uint8_t(p[k]))) return k;
  }
  for (; i < n; ++i)
    if (bad_value_byte(uint8_t(p[i]))) return i;
  return n;
}

size_t scan_target_portable(const char* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (has_less(w, 0x21) | has_byte(w, 0x7f))
      for (size_t k = i; k < i + 8; ++k)
        if (bad_target_byte(uint8_t(p[k]))) return k;
  }
  for (; i < n; ++i)
    if (bad_target_byte(uint8_t(p[i]))) return i;
  return n;
}

size_t scan_token_portable(const char* p, size_t n) noexcept {
  size_t i = 0;
  while (i < n && http::is_tchar(uint8_t(p[i]))) ++i;
  return i;
}

// Token bytes by nibble lookup: a byte is a tchar exactly when the bit of its
// high nibble (rows 0x2_ to 0x7_) is set in the entry of its low nibble.
struct TokenLut {
  alignas(32) uint8_t lo[32] = {};
  alignas(32) uint8_t hi[32] = {};
  constexpr TokenLut() {
    for (int c = 0x20; c < 0x80; ++c)
      if (http::detail::kTables.tchar[c]) {
        lo[c & 15] |= uint8_t(1u << ((c >> 4) - 2));
        lo[16 + (c & 15)] |= uint8_t(1u << ((c >> 4) - 2));
      }
    for (int h = 2; h < 8; ++h) hi[h] = hi[16 + h] = uint8_t(1u << (h - 2));
  }
};
constexpr TokenLut kTokenLut{};

#ifdef VELMORA_X86
// SSE4.2: a string compare against ranges of stop bytes, 16 bytes per step.
__attribute__((target("sse4.2"))) size_t scan_value_sse42(const char* p, size_t n) noexcept {
  alignas(16) static const char kRanges[16] = {0x00, 0x08, 0x0a, 0x1f, 0x7f, 0x7f};
  const __m128i r = _mm_load_si128(reinterpret_cast<const __m128i*>(kRanges));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    int idx = _mm_cmpestri(r, 6, v, 16, _SIDD_UBYTE_OPS | _SIDD_CMP_RANGES | _SIDD_LEAST_SIGNIFICANT);
    if (idx != 16) return i + size_t(idx);
  }
  return i + scan_value_portable(p + i, n - i);
}

__attribute__((target("sse4.2"))) size_t scan_target_sse42(const char* p, size_t n) noexcept {
  alignas(16) static const char kRanges[16] = {0x00, 0x20, 0x7f, 0x7f};
  const __m128i r = _mm_load_si128(reinterpret_cast<const __m128i*>(kRanges));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    int idx = _mm_cmpestri(r, 4, v, 16, _SIDD_UBYTE_OPS | _SIDD_CMP_RANGES | _SIDD_LEAST_SIGNIFICANT);
    if (idx != 16) return i + size_t(idx);
  }
  return i + scan_target_portable(p + i, n - i);
}

// AVX2: unsigned range tests by compare, 32 bytes per step.
__attribute__((target("avx2"))) size_t scan_value_avx2(const char* p, size_t n) noexcept {
  const __m256i lim = _mm256_set1_epi8(0x1f), tab = _mm256_set1_epi8('\t'), del = _mm256_set1_epi8(0x7f);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i ctl = _mm256_cmpeq_epi8(_mm256_min_epu8(v, lim), v);  // v <= 0x1f
    __m256i bad = _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(v, tab), ctl), _mm256_cmpeq_epi8(v, del));
    uint32_t m = uint32_t(_mm256_movemask_epi8(bad));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + scan_value_sse42(p + i, n - i);
}

__attribute__((target("avx2"))) size_t scan_target_avx2(const char* p, size_t n) noexcept {
  const __m256i lim = _mm256_set1_epi8(0x20), del = _mm256_set1_epi8(0x7f);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i bad = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(v, lim), v), _mm256_cmpeq_epi8(v, del));
    uint32_t m = uint32_t(_mm256_movemask_epi8(bad));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + scan_target_sse42(p + i, n - i);
}

__attribute__((target("sse4.2"))) size_t scan_token_sse42(const char* p, size_t n) noexcept {
  const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(kTokenLut.lo));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(kTokenLut.hi));
  const __m128i nib = _mm_set1_epi8(0x0f), zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i l = _mm_shuffle_epi8(lo, _mm_and_si128(v, nib));
    __m128i h = _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(v, 4), nib));
    uint32_t m = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(l, h), zero)));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + scan_token_portable(p + i, n - i);
}

__attribute__((target("avx2"))) size_t scan_token_avx2(const char* p, size_t n) noexcept {
  const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTokenLut.lo));
  const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTokenLut.hi));
  const __m256i nib = _mm256_set1_epi8(0x0f), zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nib));
    __m256i h = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nib));
    uint32_t m = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(l, h), zero)));
    if (m) return i + size_t(__builtin_ctz(m));
  }
  return i + scan_token_sse42(p + i, n - i);
}
#endif

ScanPath best_path() noexcept {
#ifdef VELMORA_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("sse4.2")) return ScanPath::avx2;
  if (__builtin_cpu_supports("sse4.2")) return ScanPath::sse42;
#endif
  return ScanPath::portable;
}

bool supported(ScanPath p) noexcept {
  if (p == ScanPath::portable) return true;
  ScanPath best = best_path();
  if (p == ScanPath::avx2) return best == ScanPath::avx2;
  return best == ScanPath::avx2 || best == ScanPath::sse42;
}

std::atomic<uint8_t> g_path{uint8_t(ScanPath::automatic)};

inline ScanPath current_path() noexcept {
  auto p = ScanPath(g_path.load(std::memory_order_relaxed));
  if (p == ScanPath::automatic) [[unlikely]] {
    p = best_path();
    g_path.store(uint8_t(p), std::memory_order_relaxed);
  }
  return p;
}

}  // namespace

void set_scan_path(ScanPath p) noexcept {
  if (p == ScanPath::automatic) p = best_path();
  if (!supported(p)) p = ScanPath::portable;
  g_path.store(uint8_t(p), std::memory_order_relaxed);
}

ScanPath scan_path() noexcept { return current_path(); }

size_t scan_value(const char* p, size_t n) noexcept {
#ifdef VELMORA_X86
  switch (current_path()) {
    case ScanPath::avx2: return scan_value_avx2(p, n);
    case ScanPath::sse42: return scan_value_sse42(p, n);
    default: break;
  }
#endif
  return scan_value_portable(p, n);
}

size_t scan_target(const char* p, size_t n) noexcept {
#ifdef VELMORA_X86
  switch (current_path()) {
    case ScanPath::avx2: return scan_target_avx2(p, n);
    case ScanPath::sse42: return scan_target_sse42(p, n);
    default: break;
  }
#endif
  return scan_target_portable(p, n);
}

size_t scan_token(const char* p, size_t n) noexcept {
#ifdef VELMORA_X86
  switch (current_path()) {
    case ScanPath::avx2: return scan_token_avx2(p, n);
    case ScanPath::sse42: return scan_token_sse42(p, n);
    default: break;
  }
#endif
  return scan_token_portable(p, n);
}

// ---- tokenizer ----------------------------------------------------------------

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

}  // namespace

Tokenized tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
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
      i += scan_token(b + i, n - i);
      if (i >= n) return t.partial();
      if (b[i] != ' ' || i == m0) return t.fail(ParseError::method);
      t.r.method = {b + m0, i - m0};
      ++i;
      // Target.
      size_t t0 = i;
      i += scan_target(b + i, n - i);
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
        i += scan_value(b + i, n - i);
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
  for (;;) {
    if (resume) {
      resume->offset = i;
      resume->lines = lines;
      resume->request = opts.request;
    }
    if (i >= n) return t.partial();
    char c = b[i];
    if (c == '\r' || c == '\n') {
      Eol e = line_end(b, n, i);
      if (e == Eol::partial) return t.partial();
      if (e == Eol::bad) return t.fail(ParseError::header_token);
      t.r.status = TokStatus::complete;
      t.r.head_len = i;
      t.r.nheaders = lines;
      if (resume) *resume = Checkpoint{};
      return t.r;
    }
    size_t line = i;
    size_t j = i;
    j += scan_token(b + j, n - j);
    if (j >= n) return t.partial();
    bool good = b[j] == ':' && j > i;
    size_t v0 = 0, v1 = 0;
    if (good) {
      size_t name_end = j++;
      while (j < n && (b[j] == ' ' || b[j] == '\t')) ++j;
      v0 = j;
      j += scan_value(b + j, n - j);
      if (j >= n) return t.partial();
      v1 = j;
      Eol e = line_end(b, n, j);
      if (e == Eol::partial) return t.partial();
      good = e == Eol::ok;
      if (good) {
        while (v1 > v0 && (b[v1 - 1] == ' ' || b[v1 - 1] == '\t')) --v1;
        if (lines >= max) return t.fail(ParseError::too_large);
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
    if (!nl) return t.partial();
    size_t next = size_t(static_cast<const char*>(nl) - b) + 1;
    if (!droppable_line(std::string_view(b + line, next - 1 - line))) return t.fail(ParseError::header_token);
    i = next;
  }
}

// ---- head rules -----------------------------------------------------------------

namespace {

// Names the rules look at, recognised while lowercasing.
enum class Known : uint8_t { other, transfer_encoding, content_length, connection, expect, upgrade, te };

Known known_name(std::string_view l) noexcept {
  switch (l.size()) {
    case 2: return l == "te" ? Known::te : Known::other;
    case 6: return l == "expect" ? Known::expect : Known::other;
    case 7: return l == "upgrade" ? Known::upgrade : Known::other;
    case 10: return l == "connection" ? Known::connection : Known::other;
    case 14: return l == "content-length" ? Known::content_length : Known::other;
    case 17: return l == "transfer-encoding" ? Known::transfer_encoding : Known::other;
  }
  return Known::other;
}

// Slot storage: on the stack up to kStackSlots, else on the heap for one parse.
class Slots {
 public:
  explicit Slots(size_t n) {
    if (n > kStackSlots) heap_.reset(new HeadSlot[n]);
  }
  HeadSlot* data() noexcept { return heap_ ? heap_.get() : stack_; }

 private:
  HeadSlot stack_[kStackSlots];
  std::unique_ptr<HeadSlot[]> heap_;
};

inline std::string_view name_of(const char* b, const HeadSlot& s) noexcept { return {b + s.name_off, s.name_len}; }
inline std::string_view value_of(const char* b, const HeadSlot& s) noexcept { return {b + s.value_off, s.value_len}; }

// Connection: turns keep-alive off on "close" while on, on with "keep-alive" while off.
inline void apply_connection(std::string_view v, bool& keep_alive) noexcept {
  if (keep_alive) {
    if (http::list_has_token(v, "close")) keep_alive = false;
  } else if (http::list_has_token(v, "keep-alive")) {
    keep_alive = true;
  }
}

// Validity of a run of Content-Length values by the response rule.
template <class Each>
bool content_length_values(Each&& each, bool& present, uint64_t& value) noexcept {
  present = false;
  bool ok = true;
  bool have = false;
  uint64_t first = 0;
  each([&](std::string_view v) {
    present = true;
    if (!ok) return;
    if (!http::is_visible_ascii(v)) {
      ok = false;
      return;
    }
    for (;;) {
      size_t comma = v.find(',');
      uint64_t x;
      if (!http::parse_u64_digits(http::trim_ows(v.substr(0, comma)), x) || (have && x != first)) {
        ok = false;
        return;
      }
      first = x;
      have = true;
      if (comma == std::string_view::npos) break;
      v.remove_prefix(comma + 1);
    }
  });
  value = first;
  return ok;
}

}  // namespace

bool response_content_length(const http::HeaderMap& h, bool& present, uint64_t& value) noexcept {
  return content_length_values([&](auto&& f) { h.for_each_of("content-length", f); }, present, value);
}

HeadOutcome parse_request_head(std::string_view buf, const RequestOptions& opts, RequestHead& out,
                               Checkpoint* resume) {
  HeadOutcome o;
  TokenizeOptions topts{true, opts.max_headers, opts.ignore_invalid_headers};
  // Every header line takes at least three bytes ("a:\n"), so the bytes at
  // hand bound the lines a parse can fill, however large the limit.
  Slots slot_store(std::min(opts.max_headers, buf.size() / 3 + 1));
  HeadSlot* slots = slot_store.data();
  Tokenized t;
  if (resume && resume->offset != 0 && resume->request) {
    t = tokenize_head(buf, topts, nullptr, resume);
    if (t.status == TokStatus::complete) t = tokenize_head(buf, topts, slots, nullptr);
  } else {
    t = tokenize_head(buf, topts, slots, resume);
  }
  if (t.status == TokStatus::partial) return o;
  if (t.status == TokStatus::error) {
    o.status = HeadStatus::error;
    o.error = t.error;
    return o;
  }
  auto fail = [&](ParseError e, size_t consumed) {
    o.status = HeadStatus::error;
    o.error = e;
    o.consumed = consumed;
    return o;
  };
  const char* b = buf.data();
  // Checks made before the head leaves the buffer.
  if (t.target.size() > kMaxTargetLength) return fail(ParseError::uri_too_long, 0);
  out.method = classify_method(t.method);
  if (out.method == Method::extension)
    out.method_text.assign(t.method);
  else
    out.method_text.clear();
  for (size_t k = 0; k < t.nheaders; ++k)
    if (slots[k].name_len > kMaxNameLength) return fail(ParseError::too_large, 0);

  // From here on the head is taken off the buffer.
  const size_t head = t.head_len;
  // A fragment never belongs to a request target. Cutting it off would let
  // two different raw targets ("/admin#/../public" and "/admin") reach the
  // application as the same one, so a target holding '#' is refused.
  if (t.target.find('#') != std::string_view::npos) return fail(ParseError::uri, head);
  http::Uri uri;
  if (http::parse_uri(t.target, uri) != http::UriError::none) return fail(ParseError::uri, head);
  if (uri.form == http::UriForm::origin) {
    out.target.assign(t.target.substr(0, uri.target_size()));
  } else {
    out.target.clear();
    out.target.reserve(uri.target_size());
    uri.write_target(out.target);
  }
  // High bytes pass the tokenizer and the URI grammar; the target is text, so
  // they must at least form UTF-8.
  if (!http::is_valid_utf8(out.target)) return fail(ParseError::uri, head);

  const bool http11 = t.http11;
  out.http10 = !http11;
  bool keep_alive = http11;
  bool upgrade = out.method == Method::connect;
  bool expect = false;
  bool allow_trailers = false;
  bool has_te = false, te_chunked = false, cl_seen = false, cl_stored = false;
  uint64_t length = 0;

  http::HeaderMap::Builder map(std::string_view(b, head), t.nheaders);
  for (size_t k = 0; k < t.nheaders; ++k) {
    const HeadSlot& sl = slots[k];
    std::string_view name = map.lower_name(name_of(b, sl));
    std::string_view value = value_of(b, sl);
    Known known = known_name(name);
    // A CONNECT request has no content (RFC 9110, section 9.3.6): a length
    // or a coding on it is a framing ambiguity with any peer that ends the
    // message at the head, so it is refused rather than read as a body.
    if (out.method == Method::connect) {
      if (known == Known::content_length) return fail(ParseError::header_content_length_invalid, head);
      if (known == Known::transfer_encoding) return fail(ParseError::header_transfer_encoding_unexpected, head);
    }
    switch (known) {
      case Known::transfer_encoding:
        if (!http11) return fail(ParseError::header_transfer_encoding_unexpected, head);
        has_te = true;
        te_chunked = http::is_visible_ascii(value) && http::iequals(http::list_last(value), "chunked");
        if (cl_stored) {
          map.remove("content-length");
          cl_stored = false;
        }
        break;
      case Known::content_length: {
        if (has_te) {
          cl_seen = true;
          continue;  // dropped
        }
        uint64_t x;
        if (!http::parse_u64_digits(value, x)) return fail(ParseError::header_content_length_invalid, head);
        if (x > kMaxDeclaredLength) return fail(ParseError::too_large, head);
        if (cl_seen) {
          if (x != length) return fail(ParseError::header_content_length_invalid, head);
          continue;  // an equal repeat is not stored again
        }
        cl_seen = true;
        cl_stored = true;
        length = x;
        break;
      }
      case Known::connection: apply_connection(value, keep_alive); break;
      case Known::expect: expect = value.size() == 12 && http::iequals(value, "100-continue"); break;
      case Known::upgrade: upgrade = http11; break;
      case Known::te:
        if (!allow_trailers) allow_trailers = http::list_has_token(value, "trailers");
        break;
      case Known::other: break;
    }
    if (!map.add_from_block(name, value)) return fail(ParseError::too_large, head);
  }
  out.headers = std::move(map).finish();
  if (has_te && !te_chunked) return fail(ParseError::header_transfer_encoding_invalid, head);
  if (has_te && cl_seen) keep_alive = false;

  if (te_chunked) {
    out.body = BodyKind::chunked;
    out.content_length = 0;
  } else {
    out.body = length ? BodyKind::length : BodyKind::empty;
    out.content_length = length;
  }
  out.keep_alive = keep_alive;
  out.upgrade = upgrade;
  out.expect_continue = expect;
  out.allow_trailers = allow_trailers;
  o.status = HeadStatus::complete;
  o.consumed = head;
  return o;
}

HeadOutcome parse_response_head(std::string_view buf, const Method* request_method, ResponseHead& out,
                                Checkpoint* resume) {
  HeadOutcome o;
  TokenizeOptions topts{false, kDefaultMaxHeaders, false};
  HeadSlot slots[kDefaultMaxHeaders];
  Tokenized t;
  if (resume && resume->offset != 0 && !resume->request) {
    t = tokenize_head(buf, topts, nullptr, resume);
    if (t.status == TokStatus::complete) t = tokenize_head(buf, topts, slots, nullptr);
  } else {
    t = tokenize_head(buf, topts, slots, resume);
  }
  if (t.status == TokStatus::partial) return o;
  if (t.status == TokStatus::error) {
    o.status = HeadStatus::error;
    o.error = t.error;
    return o;
  }
  auto fail = [&](ParseError e) {
    o.status = HeadStatus::error;
    o.error = e;
    o.consumed = t.head_len;
    return o;
  };
  const uint16_t status = t.status_code;
  if (status == 100 || (status >= 102 && status < 200)) {
    o.status = HeadStatus::informational;
    o.consumed = t.head_len;
    return o;
  }
  const char* b = buf.data();
  const bool http11 = t.http11;
  bool keep_alive = http11;
  bool has_te = false, te_chunked = false;
  http::HeaderMap::Builder map(std::string_view(b, t.head_len), t.nheaders);
  for (size_t k = 0; k < t.nheaders; ++k) {
    const HeadSlot& sl = slots[k];
    std::string_view name = map.lower_name(name_of(b, sl));
    std::string_view value = value_of(b, sl);
    switch (known_name(name)) {
      case Known::connection: apply_connection(value, keep_alive); break;
      case Known::transfer_encoding:
        has_te = true;
        te_chunked = http::iequals(http::list_last(value), "chunked");
        break;
      default: break;
    }
    if (!map.add_from_block(name, value)) return fail(ParseError::too_large);
  }
  out.headers = std::move(map).finish();

  BodyKind body = BodyKind::close;
  uint64_t length = 0;
  bool upgrade = false;
  const bool to_head = request_method && *request_method == Method::head;
  const bool to_connect = request_method && *request_method == Method::connect;
  if (status == 101) {
    body = BodyKind::empty;
    upgrade = true;
  } else if (status == 204 || status == 304 || to_head) {
    body = BodyKind::empty;
  } else if (to_connect && status >= 200 && status < 300) {
    body = BodyKind::empty;
    upgrade = true;
  } else if (has_te) {
    if (!http11) return fail(ParseError::header_transfer_encoding_unexpected);
    body = te_chunked ? BodyKind::chunked : BodyKind::close;
  } else {
    bool present;
    uint64_t x;
    bool ok = content_length_values(
        [&](auto&& f) {
          for (size_t k = 0; k < t.nheaders; ++k)
            if (slots[k].name_len == 14 && http::iequals(name_of(b, slots[k]), "content-length"))
              f(value_of(b, slots[k]));
        },
        present, x);
    if (present) {
      if (!ok) return fail(ParseError::header_content_length_invalid);
      if (x > kMaxDeclaredLength) return fail(ParseError::too_large);
      body = x ? BodyKind::length : BodyKind::empty;
      length = x;
    }
  }
  out.status = status;
  out.http10 = !http11;
  out.body = body;
  out.content_length = length;
  out.upgrade = upgrade;
  out.keep_alive = keep_alive && !upgrade;
  out.wants_keep_alive = false;
  o.status = HeadStatus::complete;
  o.consumed = t.head_len;
  return o;
}

}  // namespace velmora::h1
