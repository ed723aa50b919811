#include "src/errors.h"

#include "proto/h2/error.h"

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
    {Exc::VelmoraError, "_velmora.VelmoraError", Exc::count,
     "Base class for every velmora error (HTTP/1 and HTTP/2)."},
    {Exc::ConnectionClosedError, "_velmora.ConnectionClosedError", Exc::VelmoraError,
     "The transport failed (reset, I/O error, shutdown failure) with work still in flight. Not a protocol "
     "violation. args = (message: str,)."},
    {Exc::H2Error, "_velmora.H2Error", Exc::VelmoraError, "Base class for every velmora HTTP/2 protocol error."},
    {Exc::H2ProtocolError, "_velmora.H2ProtocolError", Exc::H2Error,
     "Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message)."},
    {Exc::H2StreamError, "_velmora.H2StreamError", Exc::H2Error,
     "Stream-level protocol violation (-> RST_STREAM, connection survives). args = (stream_id: int, reason: int, "
     "initiator: str)."},
    {Exc::H2UserError, "_velmora.H2UserError", Exc::H2Error,
     "Local API misuse (HTTP/2 user error). args = (kind: str, message: str)."},
    {Exc::H2FlowControlError, "_velmora.H2FlowControlError", Exc::H2Error,
     "Flow-control window over/underflow. args = (reason: int,)."},
    {Exc::H1Error, "_velmora.H1Error", Exc::VelmoraError,
     "Base class of the HTTP/1 errors; raised itself for the kinds without a subclass. args = (message: str,)."},
    {Exc::H1ParseError, "_velmora.H1ParseError", Exc::H1Error,
     "A malformed HTTP/1 message head. args = (kind: str, message: str)."},
    {Exc::H1BodyError, "_velmora.H1BodyError", Exc::H1Error,
     "A body that cannot be decoded: a framing error, or the transport closing before the body was complete. "
     "args = (io_kind: str, message: str)."},
    {Exc::H1IncompleteMessageError, "_velmora.H1IncompleteMessageError", Exc::H1Error,
     "The connection closed while a message was still expected. args = (message: str,)."},
    {Exc::H1UnexpectedMessageError, "_velmora.H1UnexpectedMessageError", Exc::H1Error,
     "The peer sent bytes when none were expected; poisons the connection. args = (message: str,)."},
    {Exc::H1UserError, "_velmora.H1UserError", Exc::H1Error,
     "Local misuse detected on the wire path; closes the connection. args = (kind: str, message: str)."},
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

PyObject* exc(Exc e) noexcept { return g_exc[size_t(e)]; }

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
