// WebSocket error values. Every fallible step of proto/ws returns a Result:
// the value, or an Error naming its kind. A violation by the peer carries
// the close code the connection is failed with (RFC 6455, section 7.4.1);
// handshake failures and local misuse carry none. The binding turns an Error
// into a Python exception at the boundary, after the state lock is released.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace velmora::ws {

// Close codes this layer sends or checks.
namespace close_code {
inline constexpr uint16_t normal = 1000;
inline constexpr uint16_t going_away = 1001;
inline constexpr uint16_t protocol_error = 1002;
inline constexpr uint16_t unsupported_data = 1003;
inline constexpr uint16_t no_status = 1005;     // never on the wire: a close without a code
inline constexpr uint16_t abnormal = 1006;      // never on the wire: no close frame at all
inline constexpr uint16_t invalid_payload = 1007;
inline constexpr uint16_t policy_violation = 1008;
inline constexpr uint16_t message_too_big = 1009;
inline constexpr uint16_t mandatory_extension = 1010;
inline constexpr uint16_t internal_error = 1011;
inline constexpr uint16_t tls_handshake = 1015;  // never on the wire
}  // namespace close_code

// A code a close frame may carry: 1000-1003, 1007-1014 (the registered and
// the not yet assigned codes of the IANA range), 3000-4999 (libraries and
// applications). 1004, 1005, 1006, 1015 and the rest of 0-2999 may not.
constexpr bool valid_close_code(uint32_t c) noexcept {
  return (c >= 1000 && c <= 1003) || (c >= 1007 && c <= 1014) || (c >= 3000 && c <= 4999);
}

enum class ErrorKind : uint8_t {
  // ---- violations by the peer: the connection fails with close_code(kind)
  reserved_bits,          // 1002
  unknown_opcode,         // 1002
  fragmented_control,     // 1002
  control_too_long,       // 1002
  orphan_continuation,    // 1002
  interleaved_message,    // 1002
  non_minimal_length,     // 1002
  length_overflow,        // 1002
  unmasked_frame,         // 1002 (server role)
  masked_frame,           // 1002 (client role)
  invalid_utf8,           // 1007
  invalid_close_code,     // 1002
  close_one_octet,        // 1002
  invalid_close_reason,   // 1007
  frame_too_big,          // 1009
  message_too_big,        // 1009
  data_after_close,       // 1002
  bad_compressed_data,    // 1007
  failed,                 // the code of the earlier violation: receive after a failure
  // ---- the opening handshake (no close code: the upgrade is refused)
  handshake_version,      // Sec-WebSocket-Version is not 13
  handshake_key,          // Sec-WebSocket-Key is not 16 octets in base64
  handshake_upgrade,      // Upgrade does not name websocket
  handshake_connection,   // Connection does not name upgrade
  handshake_accept,       // Sec-WebSocket-Accept does not match our key
  handshake_subprotocol,  // the server chose a subprotocol we did not offer
  handshake_extension,    // an extension answer we did not offer or cannot honour
  // ---- local misuse (Python: ValueError)
  bad_close_code,         // send_close with a code a close frame may not carry
  close_reason_too_long,  // code and reason over 125 octets
  control_too_long_send,  // a ping or pong payload over 125 octets
  mixed_fragments,        // a fragment of another kind inside an unfinished message
  bad_extension_params,   // permessage-deflate parameters out of range
};

struct Error {
  ErrorKind kind = ErrorKind::reserved_bits;
  uint16_t code = 0;  // the close code for a peer violation (also for `failed`), else 0
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// The close code a peer violation fails the connection with; 0 for the
// handshake and misuse kinds.
uint16_t violation_code(ErrorKind k) noexcept;
// The fixed text of a kind, also the reason sent in the close frame.
std::string_view message(ErrorKind k) noexcept;
inline std::string_view message(const Error& e) noexcept { return message(e.kind); }
// Peer violations and `failed`: they fail the connection.
constexpr bool is_violation(ErrorKind k) noexcept { return k <= ErrorKind::failed; }
constexpr bool is_handshake(ErrorKind k) noexcept {
  return k >= ErrorKind::handshake_version && k <= ErrorKind::handshake_extension;
}

inline std::unexpected<Error> fail(ErrorKind k) noexcept { return std::unexpected(Error{k, violation_code(k)}); }

}  // namespace velmora::ws
