// HTTP/1 conversion: an h1::Error value becomes a Pending (class and argument
// values); the exception object is only created when it reaches Python.
#include "proto/h1/error.h"
#include "src/errors.h"

namespace velmora::py {

Pending h1_pending(const h1::Error& e) {
  std::string message = h1::error_message(e);
  Pending p;
  switch (e.kind) {
    case h1::ErrorKind::parse:
      p.cls = Exc::H1ParseError;
      p.str(std::string(h1::parse_error_name(e.parse_variant()))).str(std::move(message));
      break;
    case h1::ErrorKind::user:
      p.cls = Exc::H1UserError;
      p.str(std::string(h1::user_error_name(e.user_variant()))).str(std::move(message));
      break;
    case h1::ErrorKind::incomplete_message:
      p.cls = Exc::H1IncompleteMessageError;
      p.str(std::move(message));
      break;
    case h1::ErrorKind::unexpected_message:
      p.cls = Exc::H1UnexpectedMessageError;
      p.str(std::move(message));
      break;
    case h1::ErrorKind::io:
    case h1::ErrorKind::shutdown:
      p.cls = Exc::ConnectionClosedError;
      p.str(std::move(message));
      break;
    case h1::ErrorKind::body:
      p.cls = Exc::H1BodyError;
      p.str(std::string(h1::io_kind_name(e.io))).str(std::move(message));
      break;
    case h1::ErrorKind::canceled:
    case h1::ErrorKind::channel_closed:
    case h1::ErrorKind::header_timeout:
    case h1::ErrorKind::body_write:
      p.cls = Exc::H1Error;
      p.str(std::move(message));
      break;
  }
  return p;
}

}  // namespace velmora::py
