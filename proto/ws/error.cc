#include "proto/ws/error.h"

namespace velmora::ws {

uint16_t violation_code(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::invalid_utf8:
    case ErrorKind::invalid_close_reason:
    case ErrorKind::bad_compressed_data:
      return close_code::invalid_payload;
    case ErrorKind::frame_too_big:
    case ErrorKind::message_too_big:
      return close_code::message_too_big;
    default:
      return is_violation(k) ? close_code::protocol_error : 0;
  }
}

std::string_view message(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::reserved_bits: return "reserved bits set without an extension that defines them";
    case ErrorKind::unknown_opcode: return "unknown opcode";
    case ErrorKind::fragmented_control: return "fragmented control frame";
    case ErrorKind::control_too_long: return "control frame payload longer than 125 octets";
    case ErrorKind::orphan_continuation: return "continuation frame without a message to continue";
    case ErrorKind::interleaved_message: return "new message inside a fragmented message";
    case ErrorKind::non_minimal_length: return "payload length not in its shortest form";
    case ErrorKind::length_overflow: return "payload length over 2**63 - 1";
    case ErrorKind::unmasked_frame: return "unmasked frame from a client";
    case ErrorKind::masked_frame: return "masked frame from a server";
    case ErrorKind::invalid_utf8: return "invalid UTF-8 in a text message";
    case ErrorKind::invalid_close_code: return "invalid close code";
    case ErrorKind::close_one_octet: return "close frame payload of one octet";
    case ErrorKind::invalid_close_reason: return "invalid UTF-8 in a close reason";
    case ErrorKind::frame_too_big: return "frame larger than max_frame_size";
    case ErrorKind::message_too_big: return "message larger than max_message_size";
    case ErrorKind::data_after_close: return "frame after the peer's close frame";
    case ErrorKind::bad_compressed_data: return "invalid compressed data";
    case ErrorKind::failed: return "the connection already failed";
    case ErrorKind::handshake_version: return "Sec-WebSocket-Version is not 13";
    case ErrorKind::handshake_key: return "Sec-WebSocket-Key is not 16 octets in base64";
    case ErrorKind::handshake_upgrade: return "Upgrade does not name websocket";
    case ErrorKind::handshake_connection: return "Connection does not name upgrade";
    case ErrorKind::handshake_accept: return "Sec-WebSocket-Accept does not match the key";
    case ErrorKind::handshake_subprotocol: return "the server chose a subprotocol that was not offered";
    case ErrorKind::handshake_extension: return "the server answered with an extension that was not offered or cannot be honoured";
    case ErrorKind::bad_close_code: return "close code must be 1000-1003, 1007-1014 or 3000-4999";
    case ErrorKind::close_reason_too_long: return "close reason longer than 123 octets";
    case ErrorKind::control_too_long_send: return "ping or pong payload longer than 125 octets";
    case ErrorKind::mixed_fragments: return "a fragment of another kind inside an unfinished message";
    case ErrorKind::bad_extension_params: return "invalid permessage-deflate parameters";
  }
  return "unknown error";
}

}  // namespace velmora::ws
