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
  // A step that queues a frame ran before begin() queued the preface and
  // our SETTINGS: the frame would precede them on the wire.
  send_before_preface,
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

// Why a received frame failed its per-type checks. Printed by name
// ("BadFrameSize", ...); `hpack` prints as Hpack(<HPACK kind>).
enum class FrameError : uint8_t {
  bad_frame_size,                // PING not 8 octets, GOAWAY under 8, WINDOW_UPDATE not 4
  too_much_padding,              // the pad length does not fit the payload
  invalid_setting_value,         // an out-of-range SETTINGS value
  invalid_window_update_value,   // WINDOW_UPDATE increment of 0
  invalid_payload_length,        // PRIORITY not 5, RST_STREAM not 4, SETTINGS ACK with a payload
  invalid_payload_ack_settings,  // SETTINGS payload not a multiple of 6
  invalid_stream_id,             // DATA/HEADERS on 0, SETTINGS/PING off 0
  malformed_message,             // HEADERS too short for its flags; a malformed header block
  header_list_way_too_large,     // a header block over the abuse limit
  invalid_dependency_id,         // HEADERS or PRIORITY depending on its own stream
  hpack,                         // an HPACK decoding error
};

std::string_view frame_error_name(FrameError e) noexcept;

// A connection error found while receiving: the error code of the GOAWAY it
// leads to and its message. `kind` (and `hpack` for FrameError::hpack)
// complete the messages that name an error kind.
enum class RecvFailure : uint8_t {
  bad_preface,                   // 1 "bad client connection preface"
  frame_too_large,               // 6 "frame length exceeds SETTINGS_MAX_FRAME_SIZE"
  expected_continuation,         // 1 "expected CONTINUATION frame"
  load_frame,                    // 1 "failed to load frame: <kind>"
  hpack_failed,                  // 1 "HPACK decoding failed: <kind>"
  header_list_abuse,             // 11 "decoded header list size over abuse limit"
  priority_stream_zero,          // 1 "PRIORITY frame with stream ID 0"
  push_promise,                  // 1 "PUSH_PROMISE received but server push is disabled"
  unexpected_continuation,       // 1 "received unexpected CONTINUATION frame"
  continuation_stream_mismatch,  // 1 "CONTINUATION frame stream ID does not match ..."
  too_many_continuations,        // 11 "too_many_continuations"
  continuation_over_limit,       // 9 "CONTINUATION frame header block size over ignorable limit"
};

enum class HpackError : uint8_t;

struct RecvError {
  RecvFailure what = RecvFailure::load_frame;
  FrameError kind = FrameError::bad_frame_size;  // load_frame, hpack_failed
  HpackError hpack{};                            // kind == hpack

  uint32_t code() const noexcept;  // the HTTP/2 error code
  std::string message() const;
};

// A frame the send side refuses to write; nothing was written.
enum class SendFailure : uint8_t {
  stream_id_msb,        // "invalid stream ID -- MSB is set"
  payload_too_big,      // "DATA payload <len> exceeds SETTINGS_MAX_FRAME_SIZE <max>"
  max_frame_size,       // "max_frame_size must be in [16384, 16777215], got <value>"
  initial_window_size,  // "initial_window_size must be <= 2147483647, got <value>"
  ping_payload,         // "ping payload must be exactly 8 bytes"
  frame_too_large,      // "frame payload <len> exceeds 16777215 octets"
};

struct SendError {
  SendFailure what = SendFailure::stream_id_msb;
  uint64_t value = 0;  // the offending number (length, size)
  uint64_t limit = 0;  // payload_too_big: the max send frame size

  std::string message() const;
};

// A request or response head the send side cannot build.
enum class HeadFailure : uint8_t {
  invalid_method,  // "invalid method: invalid HTTP method"
  invalid_url,     // "invalid url: <URI parser text>"
  no_authority,    // "request target is a bare path but the connection has no authority; ..."
  invalid_status,  // "invalid status: invalid status code"
};

struct HeadError {
  HeadFailure what = HeadFailure::invalid_method;
  std::string_view uri_text;  // invalid_url: the URI parser's text (static)

  std::string message() const;
};

// ---- HPACK error kinds -----------------------------------------------------

// What the header-block decoder reports (see hpack.h for when). The frame
// layer prints a kind inside "Hpack(...)".
enum class HpackError : uint8_t {
  need_more_unexpected_end_of_stream,  // a literal field with an empty name
  need_more_integer_underflow,         // the block ends inside an integer
  need_more_string_underflow,          // a string runs past the end of the block
  invalid_representation,              // reserved: no first octet produces it
  invalid_integer_prefix,              // reserved: prefix widths are fixed
  invalid_table_index,
  invalid_huffman_code,
  invalid_utf8,
  invalid_status_code,
  invalid_pseudoheader,
  invalid_max_dynamic_size,
  integer_overflow,
};

// The printed name: "NeedMore(StringUnderflow)", "InvalidTableIndex", ...
std::string_view hpack_error_name(HpackError e) noexcept;

// True for the three NeedMore kinds. On a fragment that does not end the
// block they only mean the next CONTINUATION is awaited: the representation
// stays undecoded and is tried again with the next fragment. An empty
// literal name fails the same way each time, so it surfaces once the block
// ends, as the peer's other blocks would.
bool hpack_error_needs_more(HpackError e) noexcept;

}  // namespace velmora::h2
