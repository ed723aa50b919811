// HTTP/2 error values: the protocol's error codes with their descriptions,
// and the error kinds of the frame layer and of HPACK with their printed
// names. The core reports failures as these plain values; the binding only
// converts them to Python exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::h2 {

// ---- error codes (RFC 9113, section 7) ------------------------------------

enum class ErrorCode : uint32_t {
  no_error = 0x0,
  protocol_error = 0x1,
  internal_error = 0x2,
  flow_control_error = 0x3,
  settings_timeout = 0x4,
  stream_closed = 0x5,
  frame_size_error = 0x6,
  refused_stream = 0x7,
  cancel = 0x8,
  compression_error = 0x9,
  connect_error = 0xa,
  enhance_your_calm = 0xb,
  inadequate_security = 0xc,
  http_1_1_required = 0xd,
};

// The description of a code ("not a result of an error", ...); "unknown
// reason" for a code the protocol does not assign.
std::string_view reason_description(uint32_t code) noexcept;

// The name of a code as the protocol writes it ("NO_ERROR", "CANCEL", ...);
// empty for a code the protocol does not assign.
std::string_view reason_name(uint32_t code) noexcept;

// ---- connection state errors ------------------------------------------------

// Who ended a stream: the application, this library after a peer violation,
// or the peer.
enum class Initiator : uint8_t { user, library, remote };

std::string_view initiator_name(Initiator who) noexcept;  // "user", "library", "remote"

// Local misuse of the connection state (the caller asked for a transition
// the stream cannot make).
enum class UserError : uint8_t {
  inactive_stream_id,
  unexpected_frame_type,
  payload_too_big,
  rejected,
  release_capacity_too_big,
  overflowed_stream_id,
  malformed_headers,
  missing_uri_scheme_and_authority,
  poll_reset_after_send_response,
  send_ping_while_pending,
  send_settings_while_pending,
  peer_disabled_server_push,
  invalid_informational_status_code,
};

// The message of a connection error or of an I/O failure.
enum class ConnFailure : uint8_t {
  described,               // the description of the error code
  rst_stream_zero,         // "RST_STREAM on stream 0"
  idle_stream,             // "frame on idle stream <id>"
  invalid_new_stream_id,   // "invalid new stream id <id>"
  unexpected_data,         // "unexpected DATA on stream <id>"
  too_many_resets,         // "too_many_resets" (peer resets of unaccepted requests)
  too_many_stream_resets,  // "too many stream resets" (resets the peer made us send)
  too_many_data_frames,    // "too_many_data_frames"
  stream_ids_exhausted,    // "stream ID space exhausted (OverflowedStreamId)"
  unexpected_settings_ack, // "received unexpected settings ack"
  goaway_raised_last_id,   // "GOAWAY may not raise last_stream_id"
  broken_pipe,             // "stream closed because of a broken pipe" (I/O)
};

// A failure of a connection-state step: stream states, flow control, the
// DATA-frame budget and the connection core. A plain value; the binding
// raises it as:
//   stream        H2StreamError(stream_id, code, initiator)
//   protocol      H2ProtocolError(code, message())
//   user          H2UserError(user kind)
//   flow_control  H2FlowControlError(3)
//   io            ConnectionClosedError(message())
struct ConnError {
  enum class Kind : uint8_t { stream, protocol, user, flow_control, io };

  Kind kind = Kind::protocol;
  ConnFailure what = ConnFailure::described;  // protocol, io
  Initiator initiator = Initiator::library;   // stream
  UserError user = UserError::unexpected_frame_type;
  uint32_t code = 0;       // stream, protocol: the HTTP/2 error code
  uint32_t stream_id = 0;  // stream; the id a protocol message names

  static ConnError stream(uint32_t id, uint32_t code, Initiator who) noexcept {
    return {Kind::stream, ConnFailure::described, who, UserError::unexpected_frame_type, code, id};
  }
  static ConnError protocol(uint32_t code, ConnFailure what = ConnFailure::described, uint32_t id = 0) noexcept {
    return {Kind::protocol, what, Initiator::library, UserError::unexpected_frame_type, code, id};
  }
  static ConnError misuse(UserError u) noexcept {
    return {Kind::user, ConnFailure::described, Initiator::library, u, 0, 0};
  }
  static ConnError flow_control() noexcept {
    return {Kind::flow_control, ConnFailure::described, Initiator::library, UserError::unexpected_frame_type,
            uint32_t(ErrorCode::flow_control_error), 0};
  }
  static ConnError io(ConnFailure what) noexcept {
    return {Kind::io, what, Initiator::library, UserError::unexpected_frame_type, 0, 0};
  }

  // The message of a protocol or io error: the code's description for
  // `described`, else the text of `what` (with `stream_id` where it names one).
  std::string message() const;

  bool operator==(const ConnError&) const = default;
};

// ---- frame layer error kinds -----------------------------------------------

// ---- HPACK error kinds -----------------------------------------------------

}  // namespace velmora::h2
