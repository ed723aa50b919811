#include "src/errors.h"

#include "src/api.h"

#include "proto/h1/error.h"
#include "proto/h2/error.h"
#include "proto/http/error.h"
#include "proto/ws/error.h"

namespace velmora::py {

namespace {

PyObject* g_exc[size_t(Exc::count)];

struct ExcDef {
  Exc id;
  const char* name;  // dotted name
  Exc base;          // Exc::count: Exception
  const char* doc;
};

constexpr ExcDef kDefs[] = {
    {Exc::VelmoraError, "_velmora.VelmoraError", Exc::count, VELMORA_TYPE_DOC(VelmoraError)},
    {Exc::ConnectionClosedError, "_velmora.ConnectionClosedError", Exc::VelmoraError,
     VELMORA_TYPE_DOC(ConnectionClosedError)},
    {Exc::H2Error, "_velmora.H2Error", Exc::VelmoraError, VELMORA_TYPE_DOC(H2Error)},
    {Exc::H2ProtocolError, "_velmora.H2ProtocolError", Exc::H2Error, VELMORA_TYPE_DOC(H2ProtocolError)},
    {Exc::H2StreamError, "_velmora.H2StreamError", Exc::H2Error, VELMORA_TYPE_DOC(H2StreamError)},
    {Exc::H2UserError, "_velmora.H2UserError", Exc::H2Error, VELMORA_TYPE_DOC(H2UserError)},
    {Exc::H2FlowControlError, "_velmora.H2FlowControlError", Exc::H2Error, VELMORA_TYPE_DOC(H2FlowControlError)},
    {Exc::H1Error, "_velmora.H1Error", Exc::VelmoraError, VELMORA_TYPE_DOC(H1Error)},
    {Exc::H1ParseError, "_velmora.H1ParseError", Exc::H1Error, VELMORA_TYPE_DOC(H1ParseError)},
    {Exc::H1BodyError, "_velmora.H1BodyError", Exc::H1Error, VELMORA_TYPE_DOC(H1BodyError)},
    {Exc::H1IncompleteMessageError, "_velmora.H1IncompleteMessageError", Exc::H1Error,
     VELMORA_TYPE_DOC(H1IncompleteMessageError)},
    {Exc::H1UnexpectedMessageError, "_velmora.H1UnexpectedMessageError", Exc::H1Error,
     VELMORA_TYPE_DOC(H1UnexpectedMessageError)},
    {Exc::H1UserError, "_velmora.H1UserError", Exc::H1Error, VELMORA_TYPE_DOC(H1UserError)},
    {Exc::WsError, "_velmora.WsError", Exc::VelmoraError, VELMORA_TYPE_DOC(WsError)},
    {Exc::WsProtocolError, "_velmora.WsProtocolError", Exc::WsError, VELMORA_TYPE_DOC(WsProtocolError)},
    {Exc::WsHandshakeError, "_velmora.WsHandshakeError", Exc::WsError, VELMORA_TYPE_DOC(WsHandshakeError)},
};

int add_range(PyObject* module, Exc first, Exc last) {
  for (const ExcDef& d : kDefs) {
    if (d.id < first || d.id > last) continue;
    PyObject* base = d.base == Exc::count ? PyExc_Exception : g_exc[size_t(d.base)];
    PyObject* t = g_exc[size_t(d.id)];
    if (!t) {  // created once, shared by later module objects
      t = PyErr_NewExceptionWithDoc(d.name, d.doc, base, nullptr);
      if (!t) return -1;
      g_exc[size_t(d.id)] = t;
    }
    const char* shortname = d.name + sizeof("_velmora.") - 1;
    if (PyModule_AddObjectRef(module, shortname, t) < 0) return -1;
  }
  return 0;
}

PyObject* make_arg(const Pending::Arg& a) {
  switch (a.kind) {
    case Pending::Arg::str: return str_obj(a.text);
    case Pending::Arg::integer: return PyLong_FromLongLong(a.value);
    case Pending::Arg::none: break;
  }
  return Py_NewRef(Py_None);
}

}  // namespace

PyObject* exc(Exc e) noexcept { return e == Exc::ValueError ? PyExc_ValueError : g_exc[size_t(e)]; }

PyObject* raise(const Pending& p) {
  Ref args(PyTuple_New(p.nargs));
  if (!args) return nullptr;
  for (uint8_t i = 0; i < p.nargs; ++i) {
    PyObject* a = make_arg(p.args[i]);
    if (!a) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, a);
  }
  Ref e(PyObject_Call(exc(p.cls), args.get(), nullptr));
  if (e) PyErr_SetObject(exc(p.cls), e.get());
  return nullptr;
}

int add_base_errors(PyObject* m) { return add_range(m, Exc::VelmoraError, Exc::ConnectionClosedError); }
int add_h2_errors(PyObject* m) { return add_range(m, Exc::H2Error, Exc::H2FlowControlError); }
int add_h1_errors(PyObject* m) { return add_range(m, Exc::H1Error, Exc::H1UserError); }
int add_ws_errors(PyObject* m) { return add_range(m, Exc::WsError, Exc::WsHandshakeError); }

Pending pending(const ws::Error& e) {
  Pending p;
  if (ws::is_violation(e.kind)) {
    p.cls = Exc::WsProtocolError;
    return std::move(p.integer(e.code).str(std::string(ws::message(e.kind))));
  }
  p.cls = ws::is_handshake(e.kind) ? Exc::WsHandshakeError : Exc::ValueError;
  return std::move(p.str(std::string(ws::message(e.kind))));
}

// --- HTTP/1, URIs and header maps ---------------------------------------------

Pending pending(const h1::Error& e) {
  std::string message = h1::message(e);
  Pending p;
  switch (e.kind) {
    case h1::ErrorKind::parse:
      p.cls = Exc::H1ParseError;
      p.str(std::string(h1::parse_error_name(e.parse_variant()))).str(std::move(message));
      break;
    case h1::ErrorKind::local:
      p.cls = Exc::H1UserError;
      p.str(std::string(h1::local_fault_name(e.local_variant()))).str(std::move(message));
      break;
    case h1::ErrorKind::argument:
      p.cls = Exc::ValueError;
      p.str(std::move(message));
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

PyObject* raise(const http::Error& e) {
  PyErr_SetString(PyExc_ValueError, std::string(http::message(e)).c_str());
  return nullptr;
}

PyObject* raise_url_error(PyObject* url, const http::Error& e) {
  // "invalid url " + the URL in its debug form (double quotes, escapes) +
  // ": " + the parser's reason.
  std::string msg = "invalid url \"";
  append_debug_text(url, msg);
  msg += "\": ";
  msg += http::message(e);
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return nullptr;
}

// --- HTTP/2 -----------------------------------------------------------------

PyObject* raise_h2(const h2::Error& e) {
  using K = h2::ErrorKind;
  switch (e.kind) {
    case K::stream: {
      Pending p{Exc::H2StreamError};
      return raise(p.integer(e.stream_id).integer(e.code).str(std::string(h2::initiator_name(e.initiator))));
    }
    case K::protocol: {
      Pending p{Exc::H2ProtocolError};
      return raise(p.integer(e.code).str(e.message()));
    }
    case K::user: {
      Pending p{Exc::H2UserError};
      return raise(p.str(std::string(h2::misuse_name(e.misuse))).str(e.message()));
    }
    case K::flow_control: {
      Pending p{Exc::H2FlowControlError};
      return raise(p.integer(e.code));
    }
    case K::io: {
      Pending p{Exc::ConnectionClosedError};
      return raise(p.str(e.message()));
    }
    case K::argument: break;
  }
  PyErr_SetString(PyExc_ValueError, e.message().c_str());
  return nullptr;
}

}  // namespace velmora::py
