// The exception tree and pending errors. The core reports failures as plain
// values; they are converted to a Pending (class plus argument values) and
// become Python exceptions only at the binding boundary, after every state
// lock has been released.
#pragma once

#include "src/common.h"

#include <cstdint>
#include <string>

namespace velmora::h1 { struct Error; }
namespace velmora::http { struct Error; }
namespace velmora::h2 { struct Error; }
namespace velmora::ws { struct Error; }

namespace velmora::py {

enum class Exc : uint8_t {
  VelmoraError,
  ConnectionClosedError,
  H2Error,
  H2ProtocolError,
  H2StreamError,
  H2UserError,
  H2FlowControlError,
  H1Error,
  H1ParseError,
  H1BodyError,
  H1IncompleteMessageError,
  H1UnexpectedMessageError,
  H1UserError,
  WsError,
  WsProtocolError,
  WsHandshakeError,
  ValueError,  // the builtin: an argument the core refused
  count,
};

// The class objects, created at module execution.
PyObject* exc(Exc e) noexcept;

struct Pending {
  struct Arg {
    enum Kind : uint8_t { none, str, integer } kind = none;
    std::string text;
    long long value = 0;
  };
  Exc cls = Exc::VelmoraError;
  Arg args[3];
  uint8_t nargs = 0;

  Pending& str(std::string s) {
    args[nargs].kind = Arg::str;
    args[nargs++].text = std::move(s);
    return *this;
  }
  Pending& integer(long long v) {
    args[nargs].kind = Arg::integer;
    args[nargs++].value = v;
    return *this;
  }
  Pending& none() {
    args[nargs++].kind = Arg::none;
    return *this;
  }
};

// Sets the Python exception for `p` and returns nullptr.
PyObject* raise(const Pending& p);
inline int raise_int(const Pending& p) { raise(p); return -1; }

// ---- HTTP/1, URIs and header maps ----
// An h1::Error as its exception: H1ParseError(kind, message),
// H1UserError(kind, message), H1BodyError(io_kind, message),
// H1IncompleteMessageError / H1UnexpectedMessageError / H1Error(message),
// ConnectionClosedError(message) for the transport's kinds, ValueError(message)
// for a refused argument.
Pending pending(const h1::Error& e);
inline PyObject* raise(const h1::Error& e) { return raise(pending(e)); }
// ValueError(message).
PyObject* raise(const http::Error& e);
// uri_parts(): ValueError("invalid url " + the URL's debug form + ": " + message).
PyObject* raise_url_error(PyObject* url, const http::Error& e);

// HTTP/2 conversion: sets the exception an h2::Error stands for (see
// h2::ErrorKind for the class and arguments of each kind) and returns
// nullptr.
PyObject* raise_h2(const h2::Error& e);
inline int raise_h2_int(const h2::Error& e) { raise_h2(e); return -1; }

// ---- WebSockets ----
// A ws::Error as its exception: WsProtocolError(code, message) for a peer's
// violation, WsHandshakeError(message) for a refused handshake,
// ValueError(message) for misuse.
Pending pending(const ws::Error& e);

// Registration, in the module's attribute order.
int add_base_errors(PyObject* module);  // VelmoraError, ConnectionClosedError
int add_h2_errors(PyObject* module);    // H2Error ... H2FlowControlError
int add_h1_errors(PyObject* module);    // H1Error ... H1UserError
int add_ws_errors(PyObject* module);    // WsError, WsProtocolError, WsHandshakeError

}  // namespace velmora::py
