#include "proto/h2/error.h"

#include <iterator>

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

// ---- frame layer error kinds -----------------------------------------------

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
