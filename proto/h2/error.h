// HTTP/2 error values: the protocol's error codes with their descriptions,
// and the one error every fallible step of proto/h2 returns (Result<T>), with
// the texts of its kinds. HPACK, below the frame layer, reports its own
// kinds (HpackError), which the frame layer wraps. The binding only converts
// an Error to a Python exception, after the state lock is released.
#pragma once

#include <cstdint>
#include <expected>
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

// ---- the error of every fallible HTTP/2 step ------------------------------------

// Who ended a stream: the application, this library after a peer violation,
// or the peer.
enum class Initiator : uint8_t { user, library, remote };

std::string_view initiator_name(Initiator who) noexcept;  // "user", "library", "remote"

// What an Error is, and so what the caller does with it (the binding's
// exception in brackets):
enum class ErrorKind : uint8_t {
  stream,        // a stream error: reset the stream, the connection goes on
                 //   [H2StreamError(stream_id, code, initiator)]
  protocol,      // a connection error, `what` says which: fail the connection
                 //   [H2ProtocolError(code, message())]
  user,          // the caller asked for something the state forbids, `misuse`
                 //   says what [H2UserError(misuse_name(misuse), message())]
  flow_control,  // a window would pass 2^31-1 [H2FlowControlError(3)]
  io,            // the transport failed, `what` says how [ConnectionClosedError(message())]
  argument,      // an argument no frame or head can carry, `argument` says
                 //   which [ValueError(message())]
};

// The message of a connection error (ErrorKind::protocol) or of an I/O
// failure (ErrorKind::io). The receive path's (from bad_preface on) carry
// their own error code; the code of the others is given where they arise.
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
  broken_pipe,             // "stream closed because of a broken pipe" (io)
  // Found by the frame layer while receiving (code in brackets):
  bad_preface,                   // [1] "bad client connection preface"
  frame_too_large,               // [6] "frame length exceeds SETTINGS_MAX_FRAME_SIZE"
  expected_continuation,         // [1] "expected CONTINUATION frame"
  load_frame,                    // [6] for a length wrong for the type (FrameError's
                                 //   bad_frame_size, invalid_payload_length,
                                 //   invalid_payload_ack_settings), [3] for an initial
                                 //   window size over 2^31-1, else [1]:
                                 //   "failed to load frame: <frame kind>"
  hpack_failed,                  // [9] for a block that cannot be decoded, [1] for one
                                 //   that decodes into an invalid field (an empty or
                                 //   bad name or value, a bad pseudo-header):
                                 //   "HPACK decoding failed: <frame kind>"
  header_list_abuse,             // [11] "decoded header list size over abuse limit"
  priority_stream_zero,          // [1] "PRIORITY frame with stream ID 0"
  push_promise,                  // [1] "PUSH_PROMISE received but server push is disabled"
  unexpected_continuation,       // [1] "received unexpected CONTINUATION frame"
  continuation_stream_mismatch,  // [1] "CONTINUATION frame stream ID does not match ..."
  too_many_continuations,        // [11] "too_many_continuations"
  continuation_over_limit,       // [9] "CONTINUATION frame header block size over ignorable limit"
  // The peer's SETTINGS_ENABLE_CONNECT_PROTOCOL went from 1 back to 0, which
  // RFC 8441 forbids (PROTOCOL_ERROR):
  // "SETTINGS_ENABLE_CONNECT_PROTOCOL may not change from 1 to 0"
  connect_protocol_withdrawn,
};

// Local misuse (ErrorKind::user): the caller asked for a transition the
// connection or the stream cannot make, or for a frame the peer's settings
// forbid. Each has a name and a text (misuse_name, misuse_description).
enum class Misuse : uint8_t {
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
  // A DATA payload over the peer's SETTINGS_MAX_FRAME_SIZE; named
  // "payload_too_big", its text gives both sizes.
  data_over_frame_size,
  // An extended CONNECT (a request with :protocol) before the peer's
  // SETTINGS_ENABLE_CONNECT_PROTOCOL said 1.
  connect_protocol_disabled,
  // begin() again: a second preface and SETTINGS would follow frames
  // already sent.
  begin_twice,
};

// An argument no frame or head can carry (ErrorKind::argument); nothing was
// written. `value` (and `text`) complete the message.
enum class BadArgument : uint8_t {
  stream_id_msb,        // "invalid stream ID -- MSB is set"
  max_frame_size,       // "max_frame_size must be in [16384, 16777215], got <value>"
  initial_window_size,  // "initial_window_size must be <= 2147483647, got <value>"
  window_sizes,         // "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"
  ping_payload,         // "ping payload must be exactly 8 bytes"
  frame_too_large,      // "frame payload <value> exceeds 16777215 octets"
  invalid_method,       // "invalid method: invalid HTTP method"
  invalid_url,          // "invalid url: <text>"
  no_authority,         // "request target is a bare path but the connection has no authority; ..."
  invalid_status,       // "invalid status: invalid status code"
  invalid_protocol,     // "invalid protocol: not a token" (:protocol)
  protocol_not_connect, // "a request with a protocol must use the CONNECT method"
};

// ---- frame layer error kinds -----------------------------------------------

// Why a received frame failed its per-type checks (ConnFailure::load_frame).
// Printed by name ("BadFrameSize", ...); `hpack` prints as Hpack(<HPACK kind>).
enum class FrameError : uint8_t {
  bad_frame_size,                // PING not 8 octets, GOAWAY under 8, WINDOW_UPDATE not 4
  too_much_padding,              // the pad length does not fit the payload
  invalid_setting_value,         // an out-of-range SETTINGS value
  invalid_window_update_value,   // WINDOW_UPDATE increment of 0
  invalid_payload_length,        // RST_STREAM not 4, SETTINGS ACK with a payload (a
                                 //   PRIORITY not 5 is a stream error instead)
  invalid_payload_ack_settings,  // SETTINGS payload not a multiple of 6
  invalid_stream_id,             // DATA/HEADERS on 0, SETTINGS/PING off 0
  malformed_message,             // HEADERS too short for its flags; a malformed header block
  header_list_way_too_large,     // a header block over the abuse limit
  invalid_dependency_id,         // HEADERS or PRIORITY depending on its own stream
  hpack,                         // an HPACK decoding error
};

std::string_view frame_error_name(FrameError e) noexcept;

enum class HpackError : uint8_t;

// A failed step of proto/h2: a plain value, made by the functions below and
// read by kind. Fields a kind does not use keep their defaults, so two errors
// compare equal when they say the same thing.
struct Error {
  ErrorKind kind = ErrorKind::protocol;
  ConnFailure what = ConnFailure::described;     // protocol, io
  Misuse misuse = Misuse::unexpected_frame_type;  // user
  BadArgument argument = BadArgument::stream_id_msb;  // argument
  Initiator initiator = Initiator::library;       // stream
  FrameError frame = FrameError::bad_frame_size;  // load_frame, hpack_failed
  HpackError hpack{};                             // frame == FrameError::hpack
  uint32_t code = 0;       // stream, protocol: the HTTP/2 error code
  uint32_t stream_id = 0;  // stream; the id a protocol message names
  uint32_t limit = 0;      // data_over_frame_size: the peer's max frame size
  uint64_t value = 0;      // argument, data_over_frame_size: the offending number
  std::string_view text;   // invalid_url: the URI parser's text (static)

  static Error stream(uint32_t id, uint32_t code, Initiator who) noexcept {
    Error e{ErrorKind::stream};
    e.initiator = who, e.code = code, e.stream_id = id;
    return e;
  }
  static Error protocol(uint32_t code, ConnFailure what = ConnFailure::described, uint32_t id = 0) noexcept {
    Error e{ErrorKind::protocol, what};
    e.code = code, e.stream_id = id;
    return e;
  }
  // A connection error of the receive path, with the code its failure
  // carries; `frame` and `hpack` for load_frame and hpack_failed.
  static Error recv(ConnFailure what, FrameError frame = FrameError::bad_frame_size, HpackError hpack = {}) noexcept;
  static Error user(Misuse m) noexcept {
    Error e{ErrorKind::user};
    e.misuse = m;
    return e;
  }
  static Error data_over_frame_size(uint64_t len, uint32_t max_frame_size) noexcept {
    Error e = user(Misuse::data_over_frame_size);
    e.value = len, e.limit = max_frame_size;
    return e;
  }
  static Error flow_control() noexcept {
    Error e{ErrorKind::flow_control};
    e.code = uint32_t(ErrorCode::flow_control_error);
    return e;
  }
  static Error io(ConnFailure what) noexcept { return {ErrorKind::io, what}; }
  static Error bad_argument(BadArgument a, uint64_t value = 0, std::string_view text = {}) noexcept {
    Error e{ErrorKind::argument};
    e.argument = a, e.value = value, e.text = text;
    return e;
  }

  // The text of a protocol, io, user or argument error (see the enums);
  // empty for the other kinds.
  std::string message() const;

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// "inactive_stream_id", ...: the name a user error is raised with.
std::string_view misuse_name(Misuse m) noexcept;
// "inactive stream", ...: its fixed text (data_over_frame_size: see message()).
std::string_view misuse_description(Misuse m) noexcept;

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
  // The block's running list size passed four times the max header list
  // size (the abuse limit); the frame layer closes the connection with
  // ENHANCE_YOUR_CALM.
  header_list_too_large,
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
