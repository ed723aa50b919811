#include "proto/h2/error.h"

#include <iterator>
#include <string>

namespace velmora::h2 {

std::string_view reason_description(uint32_t code) noexcept {
  static constexpr std::string_view kText[] = {
      "not a result of an error",
      "unspecific protocol error detected",
      "unexpected internal error encountered",
      "flow-control protocol violated",
      "settings ACK not received in timely manner",
      "received frame when stream half-closed",
      "frame with invalid size",
      "refused stream before processing any application logic",
      "stream no longer needed",
      "unable to maintain the header compression context",
      "connection established in response to a CONNECT request was reset or abnormally closed",
      "detected excessive load generating behavior",
      "security properties do not meet minimum requirements",
      "endpoint requires HTTP/1.1",
  };
  return code < std::size(kText) ? kText[code] : "unknown reason";
}

std::string_view reason_name(uint32_t code) noexcept {
  static constexpr std::string_view kName[] = {
      "NO_ERROR",      "PROTOCOL_ERROR", "INTERNAL_ERROR",    "FLOW_CONTROL_ERROR", "SETTINGS_TIMEOUT",
      "STREAM_CLOSED", "FRAME_SIZE_ERROR", "REFUSED_STREAM",  "CANCEL",             "COMPRESSION_ERROR",
      "CONNECT_ERROR", "ENHANCE_YOUR_CALM", "INADEQUATE_SECURITY", "HTTP_1_1_REQUIRED",
  };
  return code < std::size(kName) ? kName[code] : std::string_view();
}

// ---- the error of every fallible HTTP/2 step ------------------------------------

std::string_view initiator_name(Initiator who) noexcept {
  static constexpr std::string_view kName[] = {"user", "library", "remote"};
  return kName[size_t(who)];
}

std::string_view frame_error_name(FrameError e) noexcept {
  static constexpr std::string_view kNames[] = {
      "BadFrameSize",          "TooMuchPadding",        "InvalidSettingValue",       "InvalidWindowUpdateValue",
      "InvalidPayloadLength",  "InvalidPayloadAckSettings", "InvalidStreamId",       "MalformedMessage",
      "HeaderListWayTooLarge", "InvalidDependencyId",   "Hpack",
  };
  return kNames[size_t(e)];
}

namespace {

struct MisuseRow {
  std::string_view name, text;
};

// Indexed by Misuse.
constexpr MisuseRow kMisuse[] = {
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
    {"send_before_preface", "begin() must come first: it queues the connection preface and SETTINGS"},
    {"payload_too_big", "payload too big"},
    {"connect_protocol_disabled",
     "the peer has not enabled extended CONNECT (SETTINGS_ENABLE_CONNECT_PROTOCOL)"},
    {"begin_twice", "begin() runs once: the preface and SETTINGS are already queued"},
};
static_assert(std::size(kMisuse) == size_t(Misuse::begin_twice) + 1);

std::string printed_kind(FrameError k, HpackError h) {
  std::string s(frame_error_name(k));
  if (k == FrameError::hpack) s.append("(").append(hpack_error_name(h)).append(")");
  return s;
}

std::string conn_failure_text(const Error& e) {
  switch (e.what) {
    case ConnFailure::described: return std::string(reason_description(e.code));
    case ConnFailure::rst_stream_zero: return "RST_STREAM on stream 0";
    case ConnFailure::idle_stream: return "frame on idle stream " + std::to_string(e.stream_id);
    case ConnFailure::invalid_new_stream_id: return "invalid new stream id " + std::to_string(e.stream_id);
    case ConnFailure::unexpected_data: return "unexpected DATA on stream " + std::to_string(e.stream_id);
    case ConnFailure::too_many_resets: return "too_many_resets";
    case ConnFailure::too_many_stream_resets: return "too many stream resets";
    case ConnFailure::too_many_data_frames: return "too_many_data_frames";
    case ConnFailure::stream_ids_exhausted: return "stream ID space exhausted (OverflowedStreamId)";
    case ConnFailure::unexpected_settings_ack: return "received unexpected settings ack";
    case ConnFailure::goaway_raised_last_id: return "GOAWAY may not raise last_stream_id";
    case ConnFailure::broken_pipe: return "stream closed because of a broken pipe";
    case ConnFailure::bad_preface: return "bad client connection preface";
    case ConnFailure::frame_too_large: return "frame length exceeds SETTINGS_MAX_FRAME_SIZE";
    case ConnFailure::expected_continuation: return "expected CONTINUATION frame";
    case ConnFailure::load_frame: return "failed to load frame: " + printed_kind(e.frame, e.hpack);
    case ConnFailure::hpack_failed: return "HPACK decoding failed: " + printed_kind(e.frame, e.hpack);
    case ConnFailure::header_list_abuse: return "decoded header list size over abuse limit";
    case ConnFailure::priority_stream_zero: return "PRIORITY frame with stream ID 0";
    case ConnFailure::push_promise: return "PUSH_PROMISE received but server push is disabled";
    case ConnFailure::unexpected_continuation: return "received unexpected CONTINUATION frame";
    case ConnFailure::continuation_stream_mismatch:
      return "CONTINUATION frame stream ID does not match previous frame stream ID";
    case ConnFailure::too_many_continuations: return "too_many_continuations";
    case ConnFailure::continuation_over_limit: return "CONTINUATION frame header block size over ignorable limit";
    case ConnFailure::connect_protocol_withdrawn: return "SETTINGS_ENABLE_CONNECT_PROTOCOL may not change from 1 to 0";
  }
  return {};
}

std::string argument_text(const Error& e) {
  switch (e.argument) {
    case BadArgument::stream_id_msb: return "invalid stream ID -- MSB is set";
    case BadArgument::max_frame_size:
      return "max_frame_size must be in [16384, 16777215], got " + std::to_string(e.value);
    case BadArgument::initial_window_size:
      return "initial_window_size must be <= 2147483647, got " + std::to_string(e.value);
    case BadArgument::window_sizes: return "window sizes must be <= 2147483647 (RFC 9113 6.9.1)";
    case BadArgument::ping_payload: return "ping payload must be exactly 8 bytes";
    case BadArgument::frame_too_large: return "frame payload " + std::to_string(e.value) + " exceeds 16777215 octets";
    case BadArgument::invalid_method: return "invalid method: invalid HTTP method";
    case BadArgument::invalid_url: return "invalid url: " + std::string(e.text);
    case BadArgument::no_authority:
      return "request target is a bare path but the connection has no authority; pass authority=... to "
             "H2Connection or use an absolute-URL target";
    case BadArgument::invalid_status: return "invalid status: invalid status code";
    case BadArgument::invalid_protocol: return "invalid protocol: not a token";
    case BadArgument::protocol_not_connect: return "a request with a protocol must use the CONNECT method";
  }
  return {};
}

}  // namespace

namespace {

// RFC 9113 fixes these codes: a frame whose length is wrong for its type is
// a FRAME_SIZE_ERROR (section 4.2).
ErrorCode load_frame_code(FrameError k) noexcept {
  switch (k) {
    case FrameError::bad_frame_size:
    case FrameError::invalid_payload_length:
    case FrameError::invalid_payload_ack_settings: return ErrorCode::frame_size_error;
    default: return ErrorCode::protocol_error;
  }
}

// A field block that cannot be decoded leaves the compression context
// unusable: COMPRESSION_ERROR (section 4.3). A block that decodes into an
// invalid field (an empty or non-lowercase name, a bad value, an unknown
// pseudo-header) is a malformed message instead: PROTOCOL_ERROR.
ErrorCode hpack_code(HpackError h) noexcept {
  switch (h) {
    case HpackError::need_more_unexpected_end_of_stream:
    case HpackError::invalid_utf8:
    case HpackError::invalid_status_code:
    case HpackError::invalid_pseudoheader: return ErrorCode::protocol_error;
    default: return ErrorCode::compression_error;
  }
}

}  // namespace

Error Error::recv(ConnFailure what, FrameError frame, HpackError hpack) noexcept {
  ErrorCode code = ErrorCode::protocol_error;
  switch (what) {
    case ConnFailure::load_frame: code = load_frame_code(frame); break;
    case ConnFailure::hpack_failed: code = hpack_code(hpack); break;
    case ConnFailure::frame_too_large: code = ErrorCode::frame_size_error; break;
    case ConnFailure::header_list_abuse:
    case ConnFailure::too_many_continuations: code = ErrorCode::enhance_your_calm; break;
    case ConnFailure::continuation_over_limit: code = ErrorCode::compression_error; break;
    default: break;
  }
  Error e = protocol(uint32_t(code), what);
  e.frame = frame, e.hpack = hpack;
  return e;
}

std::string Error::message() const {
  switch (kind) {
    case ErrorKind::protocol:
    case ErrorKind::io: return conn_failure_text(*this);
    case ErrorKind::user:
      if (misuse == Misuse::data_over_frame_size)
        return "DATA payload " + std::to_string(value) + " exceeds SETTINGS_MAX_FRAME_SIZE " + std::to_string(limit);
      return std::string(misuse_description(misuse));
    case ErrorKind::argument: return argument_text(*this);
    case ErrorKind::stream:
    case ErrorKind::flow_control: break;
  }
  return {};
}

std::string_view misuse_name(Misuse m) noexcept { return kMisuse[size_t(m)].name; }
std::string_view misuse_description(Misuse m) noexcept { return kMisuse[size_t(m)].text; }

// ---- HPACK error kinds -----------------------------------------------------

std::string_view hpack_error_name(HpackError e) noexcept {
  // Indexed by HpackError.
  static constexpr std::string_view kName[] = {
      "NeedMore(UnexpectedEndOfStream)",
      "NeedMore(IntegerUnderflow)",
      "NeedMore(StringUnderflow)",
      "InvalidRepresentation",
      "InvalidIntegerPrefix",
      "InvalidTableIndex",
      "InvalidHuffmanCode",
      "InvalidUtf8",
      "InvalidStatusCode",
      "InvalidPseudoheader",
      "InvalidMaxDynamicSize",
      "IntegerOverflow",
      "HeaderListTooLarge",
  };
  static_assert(std::size(kName) == size_t(HpackError::header_list_too_large) + 1);
  return size_t(e) < std::size(kName) ? kName[size_t(e)] : "unknown";
}

bool hpack_error_needs_more(HpackError e) noexcept {
  return e == HpackError::need_more_unexpected_end_of_stream || e == HpackError::need_more_integer_underflow ||
         e == HpackError::need_more_string_underflow;
}

}  // namespace velmora::h2
