// HTTP/1 error values. Every fallible step of proto/h1 returns a Result: the
// value, or an Error naming its kind (and the detail its message needs). The
// binding turns an Error into a Python exception at the boundary, after the
// state lock is released; message() gives its text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace velmora::h1 {

enum class ErrorKind : uint8_t {
  parse,               // with a ParseError variant
  local,               // with a LocalFault variant
  argument,            // with a BadArgument variant: an encoder refused what it was asked to write
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

// A failure on the local side of the connection: the application's body,
// service or upgrade handling, or a head it asked to send that the wire
// rules forbid. (Python: H1UserError.)
enum class LocalFault : uint8_t {
  body, body_write_aborted, service, unexpected_header, unsupported_status_code,
  no_upgrade, manual_upgrade, dispatch_gone,
};

// An argument an encoder refused (Python: ValueError). `url` carries the URI
// parser's text as its cause; `headers_full`: a framing or Connection line
// could not be added because the headers already hold HeaderMap::kMaxNames
// names; `content_length`: a length no reader takes (above
// kMaxDeclaredLength).
enum class BadArgument : uint8_t { method, url, status, headers_full, content_length };

// The I/O category of a cause; its name in lower snake case is the io_kind
// an H1BodyError reports ("unexpected_eof", "invalid_data", ...). `none` means
// the cause is not an I/O error ("other").
enum class IoKind : uint8_t {
  none, unexpected_eof, invalid_data, invalid_input, connection_reset,
  connection_aborted, broken_pipe, timed_out, other,
};

struct Error {
  ErrorKind kind = ErrorKind::parse;
  uint8_t variant = 0;       // ParseError, LocalFault or BadArgument, by kind
  IoKind io = IoKind::none;  // category of the cause, when it has one
  // A parse error of a received head: the bytes it takes off the read
  // buffer (0, or the whole head when the head was read to its end).
  uint32_t consumed = 0;
  std::string cause;         // the cause's own text; empty when none

  static Error parse(ParseError p, uint32_t consumed = 0) {
    return {ErrorKind::parse, uint8_t(p), IoKind::none, consumed, {}};
  }
  static Error local(LocalFault u) { return {ErrorKind::local, uint8_t(u), IoKind::none, 0, {}}; }
  static Error argument(BadArgument a, std::string cause = {}) {
    return {ErrorKind::argument, uint8_t(a), IoKind::none, 0, std::move(cause)};
  }
  static Error body(IoKind io, std::string cause) { return {ErrorKind::body, 0, io, 0, std::move(cause)}; }
  static Error of(ErrorKind k) { return {k, 0, IoKind::none, 0, {}}; }

  ParseError parse_variant() const noexcept { return ParseError(variant); }
  LocalFault local_variant() const noexcept { return LocalFault(variant); }
  BadArgument argument_variant() const noexcept { return BadArgument(variant); }
};

template <class T>
using Result = std::expected<T, Error>;

// Fixed texts of the error table.
std::string_view parse_error_name(ParseError p) noexcept;         // "method", ...
std::string_view parse_error_description(ParseError p) noexcept;  // "invalid HTTP method parsed", ...
std::string_view local_fault_name(LocalFault u) noexcept;         // "body", ...
std::string_view local_fault_description(LocalFault u) noexcept;  // "error from user's Body stream", ...
std::string_view bad_argument_description(BadArgument a) noexcept;  // "invalid method: invalid HTTP method", ...
std::string_view io_kind_name(IoKind k) noexcept;                 // "unexpected_eof", ..., "other"
std::string_view kind_description(ErrorKind k) noexcept;          // for the kinds without a variant
// Description, plus ": " and the cause when there is one.
std::string message(const Error& e);
// Automatic status a server answers a failed request head with; 0 for none.
uint16_t parse_error_status(ParseError p) noexcept;

}  // namespace velmora::h1
