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

// ---- HPACK error kinds -----------------------------------------------------

}  // namespace velmora::h2
