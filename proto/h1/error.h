// HTTP/1 error values. The core reports failures as these plain values; the
// binding turns them into Python exceptions at the boundary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::h1 {

enum class ErrorKind : uint8_t {
  parse,               // with a ParseError variant
  user,                // with a UserError variant
  incomplete_message,
  unexpected_message,
  canceled,
  channel_closed,
  io,
  header_timeout,
  body,                // body read failure; cause carries an IoKind
  body_write,
  shutdown,
};

enum class ParseError : uint8_t {
  method, version, version_h2, uri, uri_too_long, header_token,
  header_content_length_invalid, header_transfer_encoding_invalid,
  header_transfer_encoding_unexpected, too_large, status, internal,
};

enum class UserError : uint8_t {
  body, body_write_aborted, service, unexpected_header, unsupported_status_code,
  no_upgrade, manual_upgrade, dispatch_gone,
};

// The I/O category of a cause; its name in lower snake case is the io_kind
// an H1BodyError reports ("unexpected_eof", "invalid_data", ...). `none` means
// the cause is not an I/O error ("other").
enum class IoKind : uint8_t {
  none, unexpected_eof, invalid_data, invalid_input, connection_reset,
  connection_aborted, broken_pipe, timed_out, other,
};

struct Error {
  ErrorKind kind = ErrorKind::parse;
  uint8_t variant = 0;       // ParseError or UserError, by kind
  IoKind io = IoKind::none;  // category of the cause, when it has one
  std::string cause;         // the cause's own text; empty when none

  static Error parse(ParseError p) { return {ErrorKind::parse, uint8_t(p), IoKind::none, {}}; }
  static Error user(UserError u) { return {ErrorKind::user, uint8_t(u), IoKind::none, {}}; }
  static Error body(IoKind io, std::string cause) { return {ErrorKind::body, 0, io, std::move(cause)}; }
  static Error of(ErrorKind k) { return {k, 0, IoKind::none, {}}; }

  ParseError parse_variant() const noexcept { return ParseError(variant); }
  UserError user_variant() const noexcept { return UserError(variant); }
};

// Fixed texts of the error table.
std::string_view parse_error_name(ParseError p) noexcept;         // "method", ...
std::string_view parse_error_description(ParseError p) noexcept;  // "invalid HTTP method parsed", ...
std::string_view user_error_name(UserError u) noexcept;
std::string_view user_error_description(UserError u) noexcept;
std::string_view io_kind_name(IoKind k) noexcept;                 // "unexpected_eof", ..., "other"
std::string_view kind_description(ErrorKind k) noexcept;          // for the non-parse, non-user kinds
// Description, plus ": " and the cause when there is one.
std::string error_message(const Error& e);
// Automatic status a server answers a failed request head with; 0 for none.
uint16_t parse_error_status(ParseError p) noexcept;

}  // namespace velmora::h1
