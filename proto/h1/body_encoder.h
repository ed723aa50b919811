// HTTP/1 body framing on the send side: content-length, chunked (with
// trailers) and close-delimited bodies.
//
// Every operation is split in two so that the binding can build each result
// exactly once at its final size:
//   1. a plan_* / end_* call, made under the codec's lock, that commits the
//      state change to the encoder and reports how many bytes the result
//      takes (or that the caller's own chunk goes out unchanged);
//   2. a write_* call, made after unlocking into the freshly allocated
//      result, that touches no encoder state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/h1/error.h"
#include "proto/http/header_map.h"

namespace velmora::h1 {

enum class Framing : uint8_t { length, chunked, close };

// The encoder of the message in flight. The codec keeps it in a
// std::optional<BodyEncoder>: absent before the first head and after the
// body ended.
struct BodyEncoder {
  Framing framing = Framing::length;
  uint64_t remaining = 0;  // length framing: bytes still owed
  // chunked: the raw values of the message's own `Trailer` lines, in order;
  // nullopt when the message declared none.
  std::optional<std::vector<std::string>> trailer_names;
  bool is_last = false;  // the head's is-last verdict (kept, not used here)
  // The message carries no body whatever its head says (a response to HEAD,
  // a 1xx, 204 or 304, a 2xx to CONNECT), or its head was given no length and
  // no chunked framing: chunks are dropped, not refused. Only a length the
  // head declares (content_length, a Content-Length field) refuses more.
  bool bodyless = false;

  static BodyEncoder length(uint64_t n, bool last = false) { return {Framing::length, n, std::nullopt, last}; }
  static BodyEncoder chunked(std::optional<std::vector<std::string>> names = std::nullopt, bool last = false) {
    return {Framing::chunked, 0, std::move(names), last};
  }
  static BodyEncoder close(bool last = false) { return {Framing::close, 0, std::nullopt, last}; }
  static BodyEncoder none() { return {Framing::length, 0, std::nullopt, false, true}; }

  // No more body can follow: length framing with nothing left to send.
  bool is_eof() const noexcept { return framing == Framing::length && remaining == 0; }
};

// body_is_eof(): true with no encoder in flight.
inline bool body_is_eof(const std::optional<BodyEncoder>& enc) noexcept { return !enc || enc->is_eof(); }

// ---- data ------------------------------------------------------------------

enum class DataAction : uint8_t {
  same,        // return the caller's chunk object itself
  prefix,      // return a new object holding the first `size` bytes of the chunk
  framed,      // return a new object of `size` bytes written by write_chunk()
  no_encoder,  // no body in flight: the caller raises
  past_length, // the chunk runs `size` bytes past the declared length: the
               // caller raises past_length_error(size); the encoder is as it was
};

struct DataPlan {
  DataAction action = DataAction::same;
  size_t size = 0;
};

// serialize_data(chunk) with chunk length `n`: an empty chunk is `same` and
// leaves the encoder alone; otherwise lowers the remaining length (length
// framing) and says how the chunk goes out. A chunk longer than the length
// still owed is `past_length`, the encoder untouched: sending part of it
// would hand the peer a truncated body that looks complete. A bodyless
// message drops its chunks (`prefix` of 0 bytes).
DataPlan plan_data(std::optional<BodyEncoder>& enc, size_t n) noexcept;

// Bytes that chunked framing of an n-byte chunk takes: hex size, CRLF, data, CRLF.
size_t chunk_framed_size(size_t n) noexcept;
// Writes the chunked framing of `data` at `out` (exactly chunk_framed_size(data.size())
// bytes); returns the end.
char* write_chunk(std::string_view data, char* out) noexcept;

// ---- end of body -----------------------------------------------------------

// The shared chunked terminator.
inline constexpr std::string_view kChunkTerminator{"0\r\n\r\n", 5};

struct EndPlan {
  enum Kind : uint8_t {
    nothing,     // an empty result
    terminator,  // "0\r\n\r\n" (the binding returns its one shared object)
    trailers,    // "0\r\n", the kept trailer fields, CRLF: `size` bytes, write_end()
  } kind = nothing;
  size_t size = 0;                // bytes the end occupies
  std::vector<uint32_t> entries;  // trailers: the trailer map's entry indexes to write
};

// serialize_end(): takes the encoder out (absent afterwards in every case).
// Errors (local): body_write_aborted, a length body that fell short
// (short_body_error: the cause says how many bytes are still owed).
Result<EndPlan> end_body(std::optional<BodyEncoder>& enc);

// serialize_trailers(trailers): takes the encoder out. `trailers_allowed` is
// the codec's flag (a server whose request lacked `TE: trailers` passes
// false). Title-casing does not change the size, so it is given to write_end().
// Errors: as end_body.
Result<EndPlan> end_body_with_trailers(std::optional<BodyEncoder>& enc, const http::HeaderMap& trailers,
                                       bool trailers_allowed);

// Writes an end planned above. `trailers` is the
// same map the plan was made from; `title_case` title-cases the field names.
char* write_end(const EndPlan& plan, const http::HeaderMap* trailers, bool title_case, char* out) noexcept;

// H1UserError("body_write_aborted", "user body write aborted: early end, expected N more bytes").
Error short_body_error(uint64_t missing);
// H1UserError("body_write_aborted", "user body write aborted: N bytes past the declared length").
Error past_length_error(uint64_t extra);

// ---- head and body in one buffer ---------------------------------------------

struct MessagePlan {
  DataPlan body;  // framing of the body: size 0 / action `same` with size = body length
  bool body_used = false;  // the body is part of the message
  EndPlan end;
  size_t size = 0;  // head + framed body + end
};

// serialize_head_and_body(head, body, trailers): takes the encoder out.
// `trailers` may be null. Errors: as end_body, and past_length_error for a
// body longer than the declared length (nothing is written then, and the
// encoder stays taken).
Result<MessagePlan> plan_message(std::optional<BodyEncoder>& enc, size_t head_len, std::string_view body,
                                 const http::HeaderMap* trailers, bool trailers_allowed);
// Writes exactly plan.size bytes at `out`.
char* write_message(const MessagePlan& plan, std::string_view head, std::string_view body,
                    const http::HeaderMap* trailers, bool title_case, char* out) noexcept;

// Names that may never be sent as a trailer field.
bool is_forbidden_trailer(std::string_view lname) noexcept;

}  // namespace velmora::h1
