#include "proto/h1/error.h"

#include <iterator>

namespace velmora::h1 {

namespace {

struct ParseRow {
  std::string_view name;
  std::string_view description;
  uint16_t status;
};

// Indexed by ParseError.
constexpr ParseRow kParse[] = {
    {"method", "invalid HTTP method parsed", 400},
    {"version", "invalid HTTP version parsed", 400},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)", 0},
    {"uri", "invalid URI", 400},
    {"uri_too_long", "URI too long", 414},
    {"header_token", "invalid HTTP header parsed", 400},
    {"header_content_length_invalid", "invalid content-length parsed", 400},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed", 400},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed", 400},
    {"too_large", "message head is too large", 431},
    {"status", "invalid HTTP status-code parsed", 0},
    {"internal", "internal error inside the HTTP/1 codec and/or its dependencies, please report", 0},
};

struct LocalRow {
  std::string_view name;
  std::string_view description;
};

// Indexed by LocalFault.
constexpr LocalRow kLocal[] = {
    {"body", "error from user's Body stream"},
    {"body_write_aborted", "user body write aborted"},
    {"service", "error from user's Service"},
    {"unexpected_header", "user sent unexpected header"},
    {"unsupported_status_code", "response has 1xx status code, not supported by server"},
    {"no_upgrade", "no upgrade available"},
    {"manual_upgrade", "upgrade expected but low level API in use"},
    {"dispatch_gone", "dispatch task is gone"},
};

// Indexed by BadArgument.
constexpr std::string_view kArgument[] = {
    "invalid method: invalid HTTP method",
    "invalid url",
    "invalid status: invalid status code",
    "header map is full (HeaderMap MAX_SIZE, 32768 entries)",
    "invalid content_length: larger than 18446744073709551613, the largest length a reader takes",
};

// Indexed by IoKind.
constexpr std::string_view kIoNames[] = {
    "other",  // none: not an I/O error
    "unexpected_eof", "invalid_data", "invalid_input", "connection_reset",
    "connection_aborted", "broken_pipe", "timed_out", "other",
};

static_assert(std::size(kParse) == size_t(ParseError::internal) + 1);
static_assert(std::size(kLocal) == size_t(LocalFault::dispatch_gone) + 1);
static_assert(std::size(kArgument) == size_t(BadArgument::content_length) + 1);
static_assert(std::size(kIoNames) == size_t(IoKind::other) + 1);

constexpr std::string_view kUnknown = "unknown";

}  // namespace

std::string_view parse_error_name(ParseError p) noexcept {
  return size_t(p) < std::size(kParse) ? kParse[size_t(p)].name : kUnknown;
}

std::string_view parse_error_description(ParseError p) noexcept {
  return size_t(p) < std::size(kParse) ? kParse[size_t(p)].description : kParse[size_t(ParseError::internal)].description;
}

uint16_t parse_error_status(ParseError p) noexcept {
  return size_t(p) < std::size(kParse) ? kParse[size_t(p)].status : 0;
}

std::string_view local_fault_name(LocalFault u) noexcept {
  return size_t(u) < std::size(kLocal) ? kLocal[size_t(u)].name : kUnknown;
}

std::string_view local_fault_description(LocalFault u) noexcept {
  return size_t(u) < std::size(kLocal) ? kLocal[size_t(u)].description : kUnknown;
}

std::string_view bad_argument_description(BadArgument a) noexcept {
  return size_t(a) < std::size(kArgument) ? kArgument[size_t(a)] : kUnknown;
}

std::string_view io_kind_name(IoKind k) noexcept {
  return size_t(k) < std::size(kIoNames) ? kIoNames[size_t(k)] : kIoNames[0];
}

std::string_view kind_description(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::parse: return "invalid HTTP message parsed";
    case ErrorKind::local: return "user error";
    case ErrorKind::argument: return "invalid argument";
    case ErrorKind::incomplete_message: return "connection closed before message completed";
    case ErrorKind::unexpected_message: return "received unexpected message from connection";
    case ErrorKind::canceled: return "operation was canceled";
    case ErrorKind::channel_closed: return "channel closed";
    case ErrorKind::io: return "connection error";
    case ErrorKind::header_timeout: return "read header from client timeout";
    case ErrorKind::body: return "error reading a body from connection";
    case ErrorKind::body_write: return "error writing a body to connection";
    case ErrorKind::shutdown: return "error shutting down connection";
  }
  return "connection error";
}

std::string message(const Error& e) {
  std::string_view d;
  switch (e.kind) {
    case ErrorKind::parse: d = parse_error_description(e.parse_variant()); break;
    case ErrorKind::local: d = local_fault_description(e.local_variant()); break;
    case ErrorKind::argument: d = bad_argument_description(e.argument_variant()); break;
    default: d = kind_description(e.kind); break;
  }
  std::string out;
  out.reserve(d.size() + (e.cause.empty() ? 0 : 2 + e.cause.size()));
  out.append(d);
  if (!e.cause.empty()) {
    out.append(": ");
    out.append(e.cause);
  }
  return out;
}

}  // namespace velmora::h1
