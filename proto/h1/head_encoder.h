// HTTP/1 message heads on the send side: request and response heads written
// byte-exact, with the body framing that goes with them.
//
// Encoding is split so that a caller holding a lock can decide everything
// under it and write the result after releasing it, into a buffer allocated
// once at its final size:
//   - prepare_* validates the arguments and fixes up the caller's own copy
//     of the headers (no shared state involved);
//   - plan_response decides framing and verdicts and counts the bytes (this
//     is the step that reads the request method recorded in the codec);
//   - write_* writes exactly the counted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/h1/body_encoder.h"
#include "proto/h1/error.h"
#include "proto/h1/head_parser.h"
#include "proto/http/date.h"
#include "proto/http/header_map.h"
#include "proto/http/uri.h"

namespace velmora::h1 {

// What the caller asked for with `chunked` / `content_length`.
struct BodyLength {
  enum Kind : uint8_t { none, known, unknown } kind = none;
  uint64_t n = 0;
  // chunked wins over a known length.
  static BodyLength from_args(bool chunked, bool has_length, uint64_t n) noexcept {
    if (chunked) return {unknown, 0};
    if (has_length) return {known, n};
    return {none, 0};
  }
};

// Any `Connection` line holds the token "close".
bool connection_close(const http::HeaderMap& h) noexcept;

// The standard reason phrase of `status`, or "<none>".
std::string_view reason_phrase(uint16_t status) noexcept;

// ---- requests ---------------------------------------------------------------

struct RequestEncoding {
  Method method = Method::get;
  std::string_view method_text;  // the token as given
  http::Uri uri;                 // views into the caller's url text
  http::HeaderMap headers;       // the fixed-up copy that is written
  bool http10 = false;
  bool title_case = false;
  // Verdicts for the codec.
  BodyEncoder encoder;
  bool connection_close = false;
  size_t size = 0;  // bytes of the head
};

// A body length argument a reader takes: none, unknown, or a known length
// no larger than kMaxDeclaredLength (the encoders refuse any other as
// BadArgument::content_length).
bool length_fits(const BodyLength& l) noexcept;

// Validates and prepares a request head.
// A CONNECT request has no content: its framing lines are dropped and its
// body is empty whatever `length` says.
// Errors (argument): method (not a token), url (the URI parser's text as the
// cause: "invalid url: empty string"), headers_full (a framing or Connection
// line could not be added because the headers already hold
// HeaderMap::kMaxNames names: the head is refused rather than sent without
// the line its body framing depends on), content_length (a known `length`
// above kMaxDeclaredLength, which no reader takes). Errors (local):
// unexpected_header (a Content-Length the head would carry as given is not a
// valid length, or is above kMaxDeclaredLength).
Result<RequestEncoding> prepare_request(std::string_view method, std::string_view url, http::HeaderMap headers,
                                        bool http10, BodyLength length, bool title_case);
// Writes exactly req.size bytes at `out`; returns the end.
char* write_request(const RequestEncoding& req, char* out) noexcept;

// ---- responses --------------------------------------------------------------

struct ResponseEncoding {
  uint16_t status = 200;
  http::HeaderMap headers;  // the fixed-up copy that is walked
  bool keep_alive = true;
  bool http10 = false;
  BodyLength length;
  bool title_case = false;
  bool date_header = true;
  char date[http::kDateLength] = {};  // captured once, used by both passes
};

// Validates `status` and applies the peer-version rule to the headers.
// Errors (argument): status (outside 100-999), headers_full and
// content_length (as for requests).
Result<ResponseEncoding> prepare_response(uint16_t status, http::HeaderMap headers, bool keep_alive, bool http10,
                                          BodyLength length, bool title_case, bool date_header);

struct ResponsePlan {
  BodyEncoder encoder;
  bool is_last = false;
  bool close_delimited = false;
  bool is_head = false;  // the recorded request method was HEAD (kept for the write pass)
  bool is_connect = false;
  size_t size = 0;
};

// Decides framing and verdicts against the recorded request method
// (nullptr: none) and counts the bytes.
// Errors (local): unsupported_status_code (1xx other than 101),
// unexpected_header (Content-Length and Transfer-Encoding together, or a
// Content-Length that disagrees with itself or with the body length given,
// or frames a body above kMaxDeclaredLength).
Result<ResponsePlan> plan_response(const ResponseEncoding& res, const Method* request_method);
// Writes exactly plan.size bytes at `out`; returns the end.
char* write_response(const ResponseEncoding& res, const ResponsePlan& plan, char* out) noexcept;

// "HTTP/1.1 100 Continue\r\n\r\n"
inline constexpr std::string_view kContinueResponse{"HTTP/1.1 100 Continue\r\n\r\n", 25};

// Conveniences for tests and tools: the whole head as one string.
std::string encode_request(const RequestEncoding& req);
std::string encode_response(const ResponseEncoding& res, const ResponsePlan& plan);

}  // namespace velmora::h1
