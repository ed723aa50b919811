// HTTP/2 error values: the protocol's error codes with their descriptions,
// and the error kinds of the frame layer and of HPACK with their printed
// names. The core reports failures as these plain values; the binding only
// converts them to Python exceptions.
#pragma once

#include <cstdint>
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

// ---- frame layer error kinds -----------------------------------------------

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

// True for the kinds that only mean the input stopped short (integer or
// string underflow): more octets of the same block could still make it
// decodable. An empty literal name is final, whatever its printed name.
bool hpack_error_needs_more(HpackError e) noexcept;

}  // namespace velmora::h2
