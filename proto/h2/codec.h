// The HTTP/2 codec: the receive side (the frame layer's receive loop with its
// HPACK decoder) and the send side (the HPACK encoder, the peer's frame size,
// and the request, response and trailer heads as header blocks).
//
// The two sides share no state. The standalone codec object guards both with
// one lock; a connection guards the receive side with a decoder lock of its
// own, so that decoding never waits for the stream state, and the send side
// with its state lock, encoding straight into its pending-send buffer.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "proto/h2/block.h"
#include "proto/h2/error.h"
#include "proto/h2/frame.h"
#include "proto/h2/hpack.h"
#include "proto/http/header_map.h"

namespace velmora::h2 {

// The pseudo-headers of an outgoing head. Views point into the arguments
// the head was built from (and into `path_buf` for a rebuilt path).
struct OutHead {
  std::string_view method, scheme, authority, path;  // request; empty: not sent
  std::string_view protocol;                          // extended CONNECT; empty: not sent
  uint16_t status = 0;                                // response; 0: not sent
  std::string path_buf;
};

// The pseudo-headers of a request (RFC 9113 section 8.3.1).
//
// `method` must be a token (invalid_method). `target` is parsed as a URI
// (invalid_url). An absolute-form target supplies :scheme and :authority
// and `scheme` / `authority` are ignored; any other target needs both
// (no_authority when either is null), "http" and "https" being taken as
// such, any other scheme a URI scheme of at most 64 characters and the
// authority a URI authority (invalid_url). :path is the path and query, an
// empty path becoming "/", and a target without one "*" for OPTIONS and "/"
// otherwise. CONNECT sends only :method and :authority, unless `protocol`
// is given: an extended CONNECT (RFC 8441) sends all four and :protocol,
// which must be a token, and only CONNECT may carry one. The result refers
// to the arguments, which must outlive it.
//
// Errors: ErrorKind::argument with invalid_method, invalid_url,
// no_authority, invalid_protocol or protocol_not_connect.
Result<void> build_request_head(std::string_view method, std::string_view target, const std::string_view* scheme,
                                const std::string_view* authority, OutHead& out,
                                const std::string_view* protocol = nullptr);
// A response head: `status` in 100..999.
// Errors: ErrorKind::argument with invalid_status.
Result<void> build_response_head(uint32_t status, OutHead& out);

// The send side.
class Sender {
 public:
  // The peer's SETTINGS_HEADER_TABLE_SIZE, clamped to the encoder's cap.
  void set_header_table_size(uint32_t v) noexcept { hpack_.set_table_size(v); }
  // The peer's SETTINGS_MAX_FRAME_SIZE: 16384..16777215 (the caller checks).
  void set_max_frame_size(uint32_t v) noexcept { max_frame_size_ = v; }
  uint32_t max_frame_size() const noexcept { return max_frame_size_; }

  // Appends a header block as HEADERS (+ CONTINUATION) frames to `out`:
  // the pseudo-headers of `head` in the order :method, :scheme,
  // :authority, :path, :protocol, :status (those present), then every value of
  // `fields` in map order, then `date` when `date` is non-empty. Refuses a
  // stream id with the top bit set (nothing written, the encoder unchanged).
  // Errors: ErrorKind::argument with stream_id_msb.
  Result<void> write_headers(std::string& out, uint32_t stream_id, const OutHead& head, const http::HeaderMap* fields,
                             bool end_stream, std::string_view date = {});
  // One DATA frame of at most max_frame_size() octets.
  // Errors: as h2::write_data.
  Result<void> write_data(std::string& out, uint32_t stream_id, std::string_view data, bool end_stream) {
    return h2::write_data(out, stream_id, data, end_stream, max_frame_size_);
  }

  const hpack::Encoder& encoder() const noexcept { return hpack_; }

 private:
  hpack::Encoder hpack_;
  uint32_t max_frame_size_ = kDefaultMaxFrameSize;
};

class Codec {
 public:
  Receiver recv;
  Sender send;
};

// ---- checks that need no codec --------------------------------------------------

// An outbound field set HTTP/2 forbids (RFC 9113 section 8.2.2): true when
// `fields` holds a connection-specific field, or a `te` whose first value is
// not exactly "trailers".
bool has_forbidden_fields(const http::HeaderMap& fields) noexcept;
// A value HTTP/2 forbids in any field (RFC 9113 section 8.2.1): true when a
// value of `fields` starts or ends with SP or HTAB. The HTTP/1 side trims
// such values, so a HeaderMap may hold them; an HTTP/2 head may not.
bool has_padded_value(const http::HeaderMap& fields) noexcept;
// `method` is a token and exactly "HEAD".
bool method_is_head(std::string_view method) noexcept;
inline bool is_client_initiated(uint32_t stream_id) noexcept { return stream_id & 1; }

}  // namespace velmora::h2
