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

// ---- connection state errors ------------------------------------------------

std::string_view initiator_name(Initiator who) noexcept {
  static constexpr std::string_view kName[] = {"user", "library", "remote"};
  return kName[size_t(who)];
}

std::string ConnError::message() const {
  struct Row {
    std::string_view text;
    bool names_id;
  };
  static constexpr Row kRows[] = {
      {"", false},
      {"RST_STREAM on stream 0", false},
      {"frame on idle stream ", true},
      {"invalid new stream id ", true},
      {"unexpected DATA on stream ", true},
      {"too_many_resets", false},
      {"too many stream resets", false},
      {"too_many_data_frames", false},
      {"stream ID space exhausted (OverflowedStreamId)", false},
      {"received unexpected settings ack", false},
      {"GOAWAY may not raise last_stream_id", false},
      {"stream closed because of a broken pipe", false},
  };
  if (what == ConnFailure::described) return std::string(reason_description(code));
  const Row& r = kRows[size_t(what)];
  std::string out(r.text);
  if (r.names_id) out += std::to_string(stream_id);
  return out;
}

// ---- frame layer error kinds -----------------------------------------------

std::string_view frame_error_name(FrameError e) noexcept {
  static constexpr std::string_view kNames[] = {
      "BadFrameSize",          "TooMuchPadding",        "InvalidSettingValue",       "InvalidWindowUpdateValue",
      "InvalidPayloadLength",  "InvalidPayloadAckSettings", "InvalidStreamId",       "MalformedMessage",
      "HeaderListWayTooLarge", "InvalidDependencyId",   "Hpack",
  };
  return kNames[size_t(e)];
}

namespace {

std::string printed_kind(FrameError k, HpackError h) {
  std::string s(frame_error_name(k));
  if (k == FrameError::hpack) s.append("(").append(hpack_error_name(h)).append(")");
  return s;
}

}  // namespace

uint32_t RecvError::code() const noexcept {
  switch (what) {
    case RecvFailure::frame_too_large: return uint32_t(ErrorCode::frame_size_error);
    case RecvFailure::header_list_abuse:
    case RecvFailure::too_many_continuations: return uint32_t(ErrorCode::enhance_your_calm);
    case RecvFailure::continuation_over_limit: return uint32_t(ErrorCode::compression_error);
    default: return uint32_t(ErrorCode::protocol_error);
  }
}

std::string RecvError::message() const {
  switch (what) {
    case RecvFailure::bad_preface: return "bad client connection preface";
    case RecvFailure::frame_too_large: return "frame length exceeds SETTINGS_MAX_FRAME_SIZE";
    case RecvFailure::expected_continuation: return "expected CONTINUATION frame";
    case RecvFailure::load_frame: return "failed to load frame: " + printed_kind(kind, hpack);
    case RecvFailure::hpack_failed: return "HPACK decoding failed: " + printed_kind(kind, hpack);
    case RecvFailure::header_list_abuse: return "decoded header list size over abuse limit";
    case RecvFailure::priority_stream_zero: return "PRIORITY frame with stream ID 0";
    case RecvFailure::push_promise: return "PUSH_PROMISE received but server push is disabled";
    case RecvFailure::unexpected_continuation: return "received unexpected CONTINUATION frame";
    case RecvFailure::continuation_stream_mismatch:
      return "CONTINUATION frame stream ID does not match previous frame stream ID";
    case RecvFailure::too_many_continuations: return "too_many_continuations";
    case RecvFailure::continuation_over_limit: return "CONTINUATION frame header block size over ignorable limit";
  }
  return {};
}

std::string SendError::message() const {
  switch (what) {
    case SendFailure::stream_id_msb: return "invalid stream ID -- MSB is set";
    case SendFailure::payload_too_big:
      return "DATA payload " + std::to_string(value) + " exceeds SETTINGS_MAX_FRAME_SIZE " + std::to_string(limit);
    case SendFailure::max_frame_size:
      return "max_frame_size must be in [16384, 16777215], got " + std::to_string(value);
    case SendFailure::initial_window_size:
      return "initial_window_size must be <= 2147483647, got " + std::to_string(value);
    case SendFailure::ping_payload: return "ping payload must be exactly 8 bytes";
    case SendFailure::frame_too_large: return "frame payload " + std::to_string(value) + " exceeds 16777215 octets";
  }
  return {};
}

std::string HeadError::message() const {
  switch (what) {
    case HeadFailure::invalid_method: return "invalid method: invalid HTTP method";
    case HeadFailure::invalid_url: return "invalid url: " + std::string(uri_text);
    case HeadFailure::no_authority:
      return "request target is a bare path but the connection has no authority; pass authority=... to "
             "H2Connection or use an absolute-URL target";
    case HeadFailure::invalid_status: return "invalid status: invalid status code";
  }
  return {};
}

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
  };
  static_assert(std::size(kName) == size_t(HpackError::integer_overflow) + 1);
  return size_t(e) < std::size(kName) ? kName[size_t(e)] : "unknown";
}

bool hpack_error_needs_more(HpackError e) noexcept {
  return e == HpackError::need_more_integer_underflow || e == HpackError::need_more_string_underflow;
}

}  // namespace velmora::h2
