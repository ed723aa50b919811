// HTTP/1 message heads on the receive side: the request and response rules
// that decide framing, keep-alive and upgrade from a tokenized head
// (tokenizer.h), and the parsed heads they yield.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proto/h1/error.h"
#include "proto/h1/tokenizer.h"
#include "proto/http/header_map.h"
#include "proto/http/method.h"
#include "proto/http/preface.h"

namespace velmora::h1 {

// ---- methods and body kinds -----------------------------------------------

// Methods are HTTP semantics, shared with HTTP/2.
using http::classify_method;
using http::kStandardMethods;
using http::Method;
using http::method_name;

enum class BodyKind : uint8_t { empty, length, chunked, close };
inline constexpr std::string_view kBodyKindNames[] = {"empty", "length", "chunked", "close"};
// "empty", "length", "chunked", "close".
inline std::string_view body_kind_name(BodyKind k) noexcept { return kBodyKindNames[size_t(k) & 3]; }

// The two largest 64-bit counts mark chunked and close-delimited bodies, so a
// declared length stays below them.
inline constexpr uint64_t kMaxDeclaredLength = UINT64_MAX - 2;  // 18446744073709551613
inline constexpr size_t kStackSlots = 100;
inline constexpr size_t kMaxTargetLength = 65534;
inline constexpr size_t kMaxNameLength = 65535;

// ---- parsed heads -----------------------------------------------------------

struct RequestHead {
  Method method = Method::get;
  std::string method_text;  // extension methods only
  // The canonical target text is target(). An origin-form target, the usual
  // case, is not copied: it stays in the head bytes `headers` keeps, at
  // [target_off, target_off + target_len), and reads from there until the
  // headers are changed. Other forms, and heads without fields (whose map
  // keeps no bytes), hold it in target_text.
  std::string target_text;
  uint32_t target_off = 0, target_len = 0;
  bool target_in_head = false;
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
  std::string_view target() const noexcept {
    return target_in_head ? headers.block_bytes(target_off, target_len) : std::string_view(target_text);
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

// The HTTP/2 connection preface, which parse_request_head recognises.
using http::kH2Preface;

}  // namespace velmora::h1
