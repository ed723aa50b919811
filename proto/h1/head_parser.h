// HTTP/1 message heads on the receive side: the tokenizer that cuts a head
// into its start line and header lines, and the request and response rules
// that decide framing, keep-alive and upgrade from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proto/h1/error.h"
#include "proto/http/header_map.h"

namespace velmora::h1 {

// ---- methods and body kinds -----------------------------------------------

enum class Method : uint8_t { options, get, post, put, delete_, head, trace, connect, patch, query, extension };
inline constexpr size_t kStandardMethods = 10;

// The text of a standard method; empty for `extension`.
std::string_view method_name(Method m) noexcept;
// A standard method by its exact (case-sensitive) text, else `extension`.
Method classify_method(std::string_view token) noexcept;

enum class BodyKind : uint8_t { empty, length, chunked, close };
// "empty", "length", "chunked", "close".
std::string_view body_kind_name(BodyKind k) noexcept;

// The two largest 64-bit counts mark chunked and close-delimited bodies, so a
// declared length stays below them.
inline constexpr uint64_t kMaxDeclaredLength = UINT64_MAX - 2;  // 18446744073709551613
inline constexpr size_t kDefaultMaxHeaders = 100;
inline constexpr size_t kStackSlots = 100;
inline constexpr size_t kMaxTargetLength = 65534;
inline constexpr size_t kMaxNameLength = 65535;

// ---- tokenizer --------------------------------------------------------------

// The delimiter scans run a vector at a time where the CPU allows it.
// `automatic` picks the widest path the CPU supports; the others force a path
// (tests and benchmarks use this to cover every path). Forcing a path the
// CPU lacks falls back to `portable`.
enum class ScanPath : uint8_t { automatic, portable, sse42, avx2 };
void set_scan_path(ScanPath p) noexcept;
ScanPath scan_path() noexcept;  // the path in use (never `automatic`)

// Index of the first byte that may not appear in a field value (a control
// byte other than HTAB, or DEL); `n` when there is none.
size_t scan_value(const char* p, size_t n) noexcept;
// Index of the first byte that is not a token character; `n` when all are.
size_t scan_token(const char* p, size_t n) noexcept;
// Index of the first byte that may not appear in a request target (SP, a
// control byte or DEL); `n` when there is none.
size_t scan_target(const char* p, size_t n) noexcept;

// A header line as offsets into the head bytes.
struct HeadSlot {
  uint32_t name_off, name_len, value_off, value_len;
};

enum class TokStatus : uint8_t { complete, partial, error };

// Where a partial head stopped: every line before `offset` is known good.
// Feeding the same bytes plus more resumes there instead of rescanning.
struct Checkpoint {
  size_t offset = 0;  // 0: nothing validated yet
  size_t lines = 0;   // header lines kept before `offset`
  bool request = false;
};

struct TokenizeOptions {
  bool request = true;
  size_t max_headers = kDefaultMaxHeaders;
  bool ignore_invalid = false;  // requests only: drop malformed header lines
};

struct Tokenized {
  TokStatus status = TokStatus::partial;
  ParseError error = ParseError::internal;
  size_t head_len = 0;  // complete: bytes up to and including the empty line
  size_t nheaders = 0;  // complete: slots filled
  bool http11 = false;
  std::string_view method, target;  // request line
  uint16_t status_code = 0;         // status line
};

// Tokenizes the head at the front of `buf`. `slots` receives up to
// opts.max_headers lines. With `resume` given and non-empty, tokenizing
// restarts at its offset in validation-only mode: a `complete` answer then
// carries no start line or slots, and the caller tokenizes once more from the
// start. A `partial` answer updates `resume`.
Tokenized tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
                        Checkpoint* resume = nullptr) noexcept;

// ---- parsed heads -----------------------------------------------------------

struct RequestHead {
  Method method = Method::get;
  std::string method_text;  // extension methods only
  std::string target;       // canonical target text
  bool http10 = false;
  http::HeaderMap headers;
  BodyKind body = BodyKind::empty;
  uint64_t content_length = 0;  // empty: 0; length: N
  bool keep_alive = false;
  bool upgrade = false;
  bool expect_continue = false;
  bool allow_trailers = false;

  std::string_view method_str() const noexcept {
    return method == Method::extension ? std::string_view(method_text) : method_name(method);
  }
};

struct ResponseHead {
  uint16_t status = 0;
  bool http10 = false;
  http::HeaderMap headers;
  BodyKind body = BodyKind::empty;
  uint64_t content_length = 0;
  bool keep_alive = false;
  bool upgrade = false;
  bool wants_keep_alive = false;  // filled by the codec
};

enum class HeadStatus : uint8_t { complete, partial, informational, error };

struct HeadOutcome {
  HeadStatus status = HeadStatus::partial;
  ParseError error = ParseError::internal;
  // complete / informational: bytes of the head. error: the bytes already
  // taken off the buffer by the time the error was found (0 or the head).
  size_t consumed = 0;
};

struct RequestOptions {
  size_t max_headers = kDefaultMaxHeaders;
  bool ignore_invalid_headers = false;
};

// The request rules over the head at the front of `buf`.
HeadOutcome parse_request_head(std::string_view buf, const RequestOptions& opts, RequestHead& out,
                               Checkpoint* resume = nullptr);

// The response rules; `request_method` is the method of the request the
// response answers (nullptr: none recorded). An informational (1xx other
// than 101) head answers `informational` with `consumed` set.
HeadOutcome parse_response_head(std::string_view buf, const Method* request_method, ResponseHead& out,
                                Checkpoint* resume = nullptr);

// The 24-byte HTTP/2 connection preface.
inline constexpr std::string_view kH2Preface{"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

// `Content-Length` validity by the response rule: every line visible ASCII,
// every comma-separated trimmed piece digits only, all pieces equal. Returns
// false when a line breaks the rule; `present` tells whether any line exists.
bool response_content_length(const http::HeaderMap& h, bool& present, uint64_t& value) noexcept;

}  // namespace velmora::h1
