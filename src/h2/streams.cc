// The HTTP/2 value objects. Each wraps one plain value of proto/h2 behind its
// state lock (H2Reason is immutable and needs none); every method is one
// step on it.
#include "src/h2/streams.h"

#include <string>

#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow.h"
#include "proto/h2/stream_state.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

// ---- errors and argument conversions ----------------------------------------

namespace {

PyTypeObject* g_reason_type = nullptr;
constexpr uint32_t kReasonCount = 14;
PyObject* g_reasons[kReasonCount];  // the interned instances, one per code

struct ReasonObject {
  PyObject_HEAD
  uint32_t code;
};

bool is_reason(PyObject* o) noexcept { return g_reason_type && Py_IS_TYPE(o, g_reason_type); }
uint32_t reason_code(PyObject* o) noexcept { return reinterpret_cast<ReasonObject*>(o)->code; }

}  // namespace

bool to_u32(PyObject* o, const char* arg, uint32_t& out) {
  if (is_reason(o)) {
    out = reason_code(o);
    return true;
  }
  uint64_t v;
  if (!to_u64(o, arg, v)) return false;
  if (v > UINT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' out of range for an unsigned 32-bit integer", arg);
    return false;
  }
  out = uint32_t(v);
  return true;
}

bool to_stream_id(PyObject* o, const char* arg, uint32_t& out) {
  if (!to_u32(o, arg, out)) return false;
  if (out > 0x7fffffffu) {
    raise_h2(h2::Error::bad_argument(h2::BadArgument::stream_id_msb));
    return false;
  }
  return true;
}

bool to_initiator(PyObject* o, h2::Initiator& out) {
  std::string_view s;
  if (!to_str(o, "initiator", s)) return false;
  for (h2::Initiator who : {h2::Initiator::user, h2::Initiator::library, h2::Initiator::remote})
    if (s == h2::initiator_name(who)) {
      out = who;
      return true;
    }
  std::string msg = "initiator must be 'user' | 'library' | 'remote', got \"";
  append_debug_text(o, msg);
  msg += '"';
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return false;
}

namespace {

// ---- shared plumbing ----------------------------------------------------------

template <class Obj>
void locked_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  destroy(static_cast<Obj*>(Obj::of(self)));
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* none_or_raise(const h2::Result<void>& r) {
  if (!r) return raise_h2(r.error());
  Py_RETURN_NONE;
}

bool one_bool(const char* func, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, bool& a) {
  PyObject* o[1];
  return parse_args({func, names, 1, 1, 1}, args, nargs, kwnames, o) && to_bool(o[0], names[0], a);
}

bool one_u32(const char* func, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames, uint32_t& a) {
  PyObject* o[1];
  return parse_args({func, names, 1, 1, 1}, args, nargs, kwnames, o) && to_u32(o[0], names[0], a);
}

bool one_u64(const char* func, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames, uint64_t& a) {
  PyObject* o[1];
  return parse_args({func, names, 1, 1, 1}, args, nargs, kwnames, o) && to_u64(o[0], names[0], a);
}

// tp_new arguments routed through the vectorcall-style parser.
struct NewArgs {
  PyObject* flat[8];
  Ref kwnames;
  Py_ssize_t nargs = 0;

  bool load(const char* func, PyObject* args, PyObject* kwargs, int count) {
    nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > count) {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", func, count,
                   count == 1 ? "" : "s", nargs + nkw);
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
    if (nkw) {
      kwnames = Ref(PyTuple_New(nkw));
      if (!kwnames) return false;
      PyObject *k, *v;
      Py_ssize_t pos = 0, j = 0;
      while (PyDict_Next(kwargs, &pos, &k, &v)) {
        PyTuple_SET_ITEM(kwnames.get(), j++, Py_NewRef(k));
        flat[nargs + j - 1] = v;
      }
    }
    return true;
  }
};

// ---- H2Reason -------------------------------------------------------------------

PyObject* reason_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"code"};
  NewArgs na;
  PyObject* code;
  if (!na.load("H2Reason", args, kwargs, 1) ||
      !parse_args({"H2Reason", names, 1, 1, 1}, na.flat, na.nargs, na.kwnames.get(), &code))
    return nullptr;
  if (is_reason(code)) return Py_NewRef(code);
  if (!PyLong_Check(code)) {
    PyErr_Format(PyExc_TypeError, "argument 'code' must be int, not %T", code);
    return nullptr;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
  if (v == -1 && PyErr_Occurred()) return nullptr;
  if (overflow || v < 0 || v >= kReasonCount) {
    PyErr_Format(PyExc_ValueError, "%S is not a valid H2Reason", code);
    return nullptr;
  }
  return Py_NewRef(g_reasons[v]);
}

void reason_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* reason_repr(PyObject* self) {
  std::string s = "H2Reason.";
  s += h2::reason_name(reason_code(self));
  return ascii_obj(s);
}

Py_hash_t reason_hash(PyObject* self) { return Py_hash_t(reason_code(self)); }  // as hash(int)

PyObject* reason_int(PyObject* self) { return PyLong_FromUnsignedLong(reason_code(self)); }

PyObject* reason_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool eq;
  if (is_reason(other)) {
    eq = reason_code(other) == reason_code(self);
  } else if (PyLong_Check(other)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    eq = !overflow && v == reason_code(self);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return bool_obj(eq == (op == Py_EQ));
}

PyObject* reason_value(PyObject* self, void*) { return reason_int(self); }
PyObject* reason_name_get(PyObject* self, void*) { return ascii_obj(h2::reason_name(reason_code(self))); }

PyGetSetDef kReasonGetSet[] = {
    {"value", get<reason_value>, nullptr, "The error code (int).", nullptr},
    {"name", get<reason_name_get>, nullptr, "The code's name, for example \"CANCEL\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReasonSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC("H2Reason", "(code)",
                                              "An HTTP/2 error code (RFC 9113, section 7), 0 to 13. Compares "
                                              "equal to its int value; int() and index use give the code."))},
    {Py_tp_new, slot<reason_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(reason_dealloc)},
    {Py_tp_repr, slot<reason_repr>},
    {Py_tp_str, slot<reason_repr>},
    {Py_tp_hash, reinterpret_cast<void*>(reason_hash)},
    {Py_tp_richcompare, slot<reason_richcompare>},
    {Py_nb_int, slot<reason_int>},
    {Py_nb_index, slot<reason_int>},
    {Py_tp_getset, kReasonGetSet},
    {0, nullptr},
};

PyType_Spec kReasonSpec = {"velmora._velmora.H2Reason", sizeof(ReasonObject), 0, Py_TPFLAGS_DEFAULT, kReasonSlots};

// ---- H2StreamState ----------------------------------------------------------------

using StateObj = Locked<h2::StreamState>;

StateObj& st(PyObject* self) { return *StateObj::of(self); }

PyObject* ss_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
    PyErr_SetString(PyExc_TypeError, "H2StreamState() takes no arguments");
    return nullptr;
  }
  return create<StateObj>(type);
}

PyObject* ss_repr(PyObject* self) {
  std::string s = st(self).with([](const h2::StreamState& s) { return s.describe(); });
  return ascii_obj(s);
}

PyObject* ss_send_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"eos"};
  bool eos;
  if (!one_bool("send_open", names, args, nargs, kwnames, eos)) return nullptr;
  return none_or_raise(st(self).with([&](h2::StreamState& s) { return s.send_open(eos); }));
}

PyObject* ss_recv_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"eos", "informational"};
  PyObject* o[2];
  bool eos, informational;
  if (!parse_args({"recv_open", names, 2, 2, 2}, args, nargs, kwnames, o) || !to_bool(o[0], "eos", eos) ||
      !to_bool(o[1], "informational", informational))
    return nullptr;
  auto r = st(self).with([&](h2::StreamState& s) { return s.recv_open(eos, informational); });
  if (!r) return raise_h2(r.error());
  return bool_obj(*r);
}

PyObject* ss_reserve_remote(PyObject* self, PyObject*) {
  return none_or_raise(st(self).with([](h2::StreamState& s) { return s.reserve_remote(); }));
}

PyObject* ss_reserve_local(PyObject* self, PyObject*) {
  return none_or_raise(st(self).with([](h2::StreamState& s) { return s.reserve_local(); }));
}

PyObject* ss_recv_close(PyObject* self, PyObject*) {
  return none_or_raise(st(self).with([](h2::StreamState& s) { return s.recv_close(); }));
}

PyObject* ss_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "reason", "queued"};
  PyObject* o[3];
  uint32_t sid, reason;
  bool queued;
  if (!parse_args({"recv_reset", names, 3, 3, 3}, args, nargs, kwnames, o) || !to_stream_id(o[0], "stream_id", sid) ||
      !to_u32(o[1], "reason", reason) || !to_bool(o[2], "queued", queued))
    return nullptr;
  st(self).with([&](h2::StreamState& s) { s.recv_reset(sid, reason, queued); });
  Py_RETURN_NONE;
}

PyObject* ss_recv_eof(PyObject* self, PyObject*) {
  st(self).with([](h2::StreamState& s) { s.recv_eof(); });
  Py_RETURN_NONE;
}

PyObject* ss_send_close(PyObject* self, PyObject*) {
  return bool_obj(st(self).with([](h2::StreamState& s) { return s.send_close(); }));
}

PyObject* ss_set_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "reason", "initiator"};
  PyObject* o[3];
  uint32_t sid, reason;
  h2::Initiator who;
  if (!parse_args({"set_reset", names, 3, 3, 3}, args, nargs, kwnames, o) || !to_stream_id(o[0], "stream_id", sid) ||
      !to_u32(o[1], "reason", reason) || !to_initiator(o[2], who))
    return nullptr;
  st(self).with([&](h2::StreamState& s) { s.set_reset(sid, reason, who); });
  Py_RETURN_NONE;
}

PyObject* ss_set_scheduled_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"reason"};
  uint32_t reason;
  if (!one_u32("set_scheduled_reset", names, args, nargs, kwnames, reason)) return nullptr;
  return bool_obj(st(self).with([&](h2::StreamState& s) { return s.set_scheduled_reset(reason); }));
}

PyObject* ss_get_scheduled_reset(PyObject* self, PyObject*) {
  std::optional<uint32_t> r = st(self).with([](const h2::StreamState& s) { return s.scheduled_reset(); });
  if (!r) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*r);
}

PyObject* ss_ensure_recv_open(PyObject* self, PyObject*) {
  auto r = st(self).with([](const h2::StreamState& s) { return s.ensure_recv_open(); });
  if (!r) return raise_h2(r.error());
  return bool_obj(*r);
}

template <bool (h2::StreamState::*P)() const noexcept>
PyObject* ss_predicate(PyObject* self, PyObject*) {
  return bool_obj(st(self).with([](const h2::StreamState& s) { return (s.*P)(); }));
}

#define VELMORA_FAST METH_FASTCALL | METH_KEYWORDS
#define VELMORA_PRED(name, doc) \
  {#name, meth<ss_predicate<&h2::StreamState::name>>, METH_NOARGS, VELMORA_DOC(#name, "($self, /)", doc)}

PyMethodDef kStateMethods[] = {
    {"send_open", meth<ss_send_open>, VELMORA_FAST,
     VELMORA_DOC("send_open", "($self, /, eos)",
                 "We send HEADERS: our half starts streaming (eos ends it at once). Raises H2UserError from a "
                 "state where our half cannot open.")},
    {"recv_open", meth<ss_recv_open>, VELMORA_FAST,
     VELMORA_DOC("recv_open", "($self, /, eos, informational)",
                 "The peer's HEADERS arrived (an informational head keeps its half awaiting headers). True when "
                 "this opened the stream from idle or reserved (remote). Raises H2ProtocolError(1, ...) from a "
                 "state where the peer may not send HEADERS.")},
    {"reserve_remote", meth<ss_reserve_remote>, METH_NOARGS,
     VELMORA_DOC("reserve_remote", "($self, /)", "Idle to reserved (remote); else H2ProtocolError(1, ...).")},
    {"reserve_local", meth<ss_reserve_local>, METH_NOARGS,
     VELMORA_DOC("reserve_local", "($self, /)", "Idle to reserved (local); else H2UserError.")},
    {"recv_close", meth<ss_recv_close>, METH_NOARGS,
     VELMORA_DOC("recv_close", "($self, /)",
                 "The peer ended its half (END_STREAM); else H2ProtocolError(1, ...).")},
    {"recv_reset", meth<ss_recv_reset>, VELMORA_FAST,
     VELMORA_DOC("recv_reset", "($self, /, stream_id, reason, queued)",
                 "The peer reset the stream. A closed stream changes only when queued is True. A peer that had "
                 "ended its half keeps its complete message readable.")},
    {"recv_eof", meth<ss_recv_eof>, METH_NOARGS,
     VELMORA_DOC("recv_eof", "($self, /)", "The transport closed: a live stream closes with a broken-pipe error.")},
    {"send_close", meth<ss_send_close>, METH_NOARGS,
     VELMORA_DOC("send_close", "($self, /)",
                 "End our half if it is streaming. True when it moved, False otherwise.")},
    {"set_reset", meth<ss_set_reset>, VELMORA_FAST,
     VELMORA_DOC("set_reset", "($self, /, stream_id, reason, initiator)",
                 "Close the stream by a reset, whatever its state. initiator is 'user', 'library' or 'remote'.")},
    {"set_scheduled_reset", meth<ss_set_scheduled_reset>, VELMORA_FAST,
     VELMORA_DOC("set_scheduled_reset", "($self, /, reason)",
                 "Close the stream by a reset still to be sent. False when it is already closed.")},
    {"get_scheduled_reset", meth<ss_get_scheduled_reset>, METH_NOARGS,
     VELMORA_DOC("get_scheduled_reset", "($self, /)", "The reason of a scheduled reset, else None.")},
    {"ensure_recv_open", meth<ss_ensure_recv_open>, METH_NOARGS,
     VELMORA_DOC("ensure_recv_open", "($self, /)",
                 "True when more may be received, False when nothing more will arrive; raises the error of a "
                 "stream closed by error.")},
    VELMORA_PRED(is_idle, "Idle."),
    VELMORA_PRED(is_closed, "Closed, for any cause."),
    VELMORA_PRED(is_reset, "Closed by a reset or an error."),
    VELMORA_PRED(is_scheduled_reset, "Closed by a reset still to be sent."),
    VELMORA_PRED(is_local_error, "Closed by an error of ours: a scheduled reset, an I/O error, or a reset or "
                                 "GOAWAY not initiated by the peer."),
    VELMORA_PRED(is_remote_reset, "Closed by the peer's reset."),
    VELMORA_PRED(is_send_streaming, "Our half has sent HEADERS and may send DATA."),
    VELMORA_PRED(is_recv_headers, "The peer's HEADERS may arrive."),
    VELMORA_PRED(is_recv_streaming, "The peer's half has sent HEADERS and may send DATA."),
    VELMORA_PRED(is_recv_end_stream, "The peer ended its half (its message is complete)."),
    VELMORA_PRED(is_send_closed, "Our half can send nothing more."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStateSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC("H2StreamState", "()",
                                              "The state of one HTTP/2 stream (RFC 9113, section 5.1); starts "
                                              "idle. Each method is one step under the object's lock."))},
    {Py_tp_new, slot<ss_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<StateObj>)},
    {Py_tp_repr, slot<ss_repr>},
    {Py_tp_methods, kStateMethods},
    {0, nullptr},
};

PyType_Spec kStateSpec = {"velmora._velmora.H2StreamState", sizeof(StateObj), 0, Py_TPFLAGS_DEFAULT, kStateSlots};

// ---- H2FlowControl ----------------------------------------------------------------

using FlowObj = Locked<h2::FlowControl>;

FlowObj& fl(PyObject* self) { return *FlowObj::of(self); }

PyObject* fc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
    PyErr_SetString(PyExc_TypeError, "H2FlowControl() takes no arguments");
    return nullptr;
  }
  return create<FlowObj>(type);
}

PyObject* fc_repr(PyObject* self) {
  return ascii_obj(fl(self).with([](const h2::FlowControl& f) { return f.describe(); }));
}

PyObject* fc_window_size(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(fl(self).with([](const h2::FlowControl& f) { return f.window_size(); }));
}

PyObject* fc_available(PyObject* self, PyObject*) {
  return PyLong_FromLong(fl(self).with([](const h2::FlowControl& f) { return f.available(); }));
}

PyObject* fc_has_unavailable(PyObject* self, PyObject*) {
  return bool_obj(fl(self).with([](const h2::FlowControl& f) { return f.has_unavailable(); }));
}

PyObject* fc_unclaimed_capacity(PyObject* self, PyObject*) {
  std::optional<uint32_t> u = fl(self).with([](const h2::FlowControl& f) { return f.unclaimed_capacity(); });
  if (!u) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*u);
}

template <h2::Result<void> (h2::FlowControl::*Step)(uint32_t) noexcept, const char* Name, const char* Arg>
PyObject* fc_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {Arg};
  uint32_t n;
  if (!one_u32(Name, names, args, nargs, kwnames, n)) return nullptr;
  return none_or_raise(fl(self).with([&](h2::FlowControl& f) { return (f.*Step)(n); }));
}

constexpr char kCapacity[] = "capacity";
constexpr char kSz[] = "sz";
constexpr char kClaim[] = "claim_capacity";
constexpr char kAssign[] = "assign_capacity";
constexpr char kInc[] = "inc_window";
constexpr char kDecSend[] = "dec_send_window";
constexpr char kDecRecv[] = "dec_recv_window";
constexpr char kSendData[] = "send_data";

PyMethodDef kFlowMethods[] = {
    {"window_size", meth<fc_window_size>, METH_NOARGS,
     VELMORA_DOC("window_size", "($self, /)", "The window as the peer knows it, 0 when negative.")},
    {"available", meth<fc_available>, METH_NOARGS,
     VELMORA_DOC("available", "($self, /)", "The capacity as this side accounts it (may be negative).")},
    {"has_unavailable", meth<fc_has_unavailable>, METH_NOARGS,
     VELMORA_DOC("has_unavailable", "($self, /)", "The window is not negative and more than is available.")},
    {"unclaimed_capacity", meth<fc_unclaimed_capacity>, METH_NOARGS,
     VELMORA_DOC("unclaimed_capacity", "($self, /)",
                 "The WINDOW_UPDATE increment due (available minus window, once it reaches half the window), "
                 "else None.")},
    {"claim_capacity", meth<fc_step<&h2::FlowControl::claim_capacity, kClaim, kCapacity>>, VELMORA_FAST,
     VELMORA_DOC("claim_capacity", "($self, /, capacity)", "available -= capacity. Raises H2FlowControlError(3) "
                                                           "on underflow, leaving the fields unchanged.")},
    {"assign_capacity", meth<fc_step<&h2::FlowControl::assign_capacity, kAssign, kCapacity>>, VELMORA_FAST,
     VELMORA_DOC("assign_capacity", "($self, /, capacity)", "available += capacity. Raises H2FlowControlError(3) "
                                                            "on overflow, leaving the fields unchanged.")},
    {"inc_window", meth<fc_step<&h2::FlowControl::inc_window, kInc, kSz>>, VELMORA_FAST,
     VELMORA_DOC("inc_window", "($self, /, sz)", "window += sz (a WINDOW_UPDATE). Raises H2FlowControlError(3) "
                                                 "past 2**31 - 1, leaving the fields unchanged.")},
    {"dec_send_window", meth<fc_step<&h2::FlowControl::dec_send_window, kDecSend, kSz>>, VELMORA_FAST,
     VELMORA_DOC("dec_send_window", "($self, /, sz)", "window -= sz (the peer lowered its initial window). "
                                                      "Raises H2FlowControlError(3) on underflow.")},
    {"dec_recv_window", meth<fc_step<&h2::FlowControl::dec_recv_window, kDecRecv, kSz>>, VELMORA_FAST,
     VELMORA_DOC("dec_recv_window", "($self, /, sz)", "window -= sz and available -= sz (our lowered window "
                                                      "was acknowledged). Raises H2FlowControlError(3) on "
                                                      "underflow, leaving the fields unchanged.")},
    {"send_data", meth<fc_step<&h2::FlowControl::send_data, kSendData, kSz>>, VELMORA_FAST,
     VELMORA_DOC("send_data", "($self, /, sz)", "sz octets of DATA crossed: window and available -= sz. "
                                                "Raises H2FlowControlError(3) when sz exceeds the window.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFlowSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC("H2FlowControl", "()",
                                              "One HTTP/2 flow-control window with its accounted capacity "
                                              "(RFC 9113, section 6.9); both start at 0."))},
    {Py_tp_new, slot<fc_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<FlowObj>)},
    {Py_tp_repr, slot<fc_repr>},
    {Py_tp_methods, kFlowMethods},
    {0, nullptr},
};

PyType_Spec kFlowSpec = {"velmora._velmora.H2FlowControl", sizeof(FlowObj), 0, Py_TPFLAGS_DEFAULT, kFlowSlots};

// ---- H2ContentLength --------------------------------------------------------------

using LengthObj = Locked<h2::ContentLength>;

LengthObj& cl(PyObject* self) { return *LengthObj::of(self); }

PyObject* cl_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"is_head"};
  NewArgs na;
  PyObject* o[1];
  if (!na.load("H2ContentLength", args, kwargs, 1) ||
      !parse_args({"H2ContentLength", names, 1, 1, 0}, na.flat, na.nargs, na.kwnames.get(), o))
    return nullptr;
  bool is_head = false;
  if (o[0] && !to_bool(o[0], "is_head", is_head)) return nullptr;
  return create<LengthObj>(type, is_head);
}

PyObject* cl_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"value"};
  uint64_t v;
  if (!one_u64("set", names, args, nargs, kwnames, v)) return nullptr;
  cl(self).with([&](h2::ContentLength& c) { c.set(v); });
  Py_RETURN_NONE;
}

PyObject* cl_dec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"len"};
  uint64_t v;
  if (!one_u64("dec", names, args, nargs, kwnames, v)) return nullptr;
  return bool_obj(cl(self).with([&](h2::ContentLength& c) { return c.dec(v); }));
}

PyObject* cl_is_satisfied(PyObject* self, PyObject*) {
  return bool_obj(cl(self).with([](const h2::ContentLength& c) { return c.is_satisfied(); }));
}

PyObject* cl_is_head(PyObject* self, PyObject*) {
  return bool_obj(cl(self).with([](const h2::ContentLength& c) { return c.is_head(); }));
}

PyMethodDef kLengthMethods[] = {
    {"set", meth<cl_set>, VELMORA_FAST,
     VELMORA_DOC("set", "($self, /, value)", "A declared content-length: value octets are now expected (a HEAD "
                                              "answer stays empty).")},
    {"dec", meth<cl_dec>, VELMORA_FAST,
     VELMORA_DOC("dec", "($self, /, len)",
                 "Count a DATA payload. False (and nothing counted) when it exceeds what remains, or is not "
                 "empty on a HEAD answer.")},
    {"is_satisfied", meth<cl_is_satisfied>, METH_NOARGS,
     VELMORA_DOC("is_satisfied", "($self, /)", "False only while a declared length still expects octets.")},
    {"is_head", meth<cl_is_head>, METH_NOARGS,
     VELMORA_DOC("is_head", "($self, /)", "The message answers a HEAD request.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLengthSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC("H2ContentLength", "(is_head=False)",
                                              "The declared content-length of one received message, counted "
                                              "down by each DATA payload."))},
    {Py_tp_new, slot<cl_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<LengthObj>)},
    {Py_tp_methods, kLengthMethods},
    {0, nullptr},
};

PyType_Spec kLengthSpec = {"velmora._velmora.H2ContentLength", sizeof(LengthObj), 0, Py_TPFLAGS_DEFAULT,
                           kLengthSlots};

// ---- H2DataFrameBudget ------------------------------------------------------------

using BudgetObj = Locked<h2::DataFrameBudget>;

BudgetObj& bu(PyObject* self) { return *BudgetObj::of(self); }

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"configured", "connection_window"};
  NewArgs na;
  PyObject* o[2];
  if (!na.load("H2DataFrameBudget", args, kwargs, 2) ||
      !parse_args({"H2DataFrameBudget", names, 2, 2, 0}, na.flat, na.nargs, na.kwnames.get(), o))
    return nullptr;
  std::optional<uint64_t> configured;
  std::optional<uint32_t> window;
  if (o[0] && o[0] != Py_None) {
    uint64_t v;
    if (!to_u64(o[0], "configured", v)) return nullptr;
    configured = v;
  }
  if (o[1] && o[1] != Py_None) {
    uint32_t v;
    if (!to_u32(o[1], "connection_window", v)) return nullptr;
    window = v;
  }
  return create<BudgetObj>(type, configured, window);
}

PyObject* db_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"payload_len"};
  uint64_t len;
  if (!one_u64("record", names, args, nargs, kwnames, len)) return nullptr;
  auto r = bu(self).with([&](h2::DataFrameBudget& b) { return b.record(len); });
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLongLong(*r);
}

PyObject* db_release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"charge"};
  uint64_t charge;
  if (!one_u64("release", names, args, nargs, kwnames, charge)) return nullptr;
  bu(self).with([&](h2::DataFrameBudget& b) { b.release(charge); });
  Py_RETURN_NONE;
}

PyObject* db_available(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(bu(self).with([](const h2::DataFrameBudget& b) { return b.available(); }));
}

PyObject* db_empty_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(bu(self).with([](const h2::DataFrameBudget& b) { return b.empty_frames(); }));
}

PyMethodDef kBudgetMethods[] = {
    {"record", meth<db_record>, VELMORA_FAST,
     VELMORA_DOC("record", "($self, /, payload_len)",
                 "Account one non-final DATA frame and return its charge, to give back with release() once its "
                 "data is consumed. Raises H2ProtocolError(11, \"too_many_data_frames\") when the budget or the "
                 "empty-frame allowance is exhausted.")},
    {"release", meth<db_release>, VELMORA_FAST,
     VELMORA_DOC("release", "($self, /, charge)", "Give a charge back (never above the limit).")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBudgetGetSet[] = {
    {"available", get<db_available>, nullptr, "The budget currently available.", nullptr},
    {"empty_frames", get<db_empty_frames>, nullptr, "Empty non-final DATA frames received so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBudgetSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC(
                    "H2DataFrameBudget", "(configured=None, connection_window=None)",
                    "The connection-wide budget against peers that cut DATA into tiny or empty frames. The limit "
                    "is `configured`, else half the connection window but at least 25600, else 32767."))},
    {Py_tp_new, slot<db_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<BudgetObj>)},
    {Py_tp_methods, kBudgetMethods},
    {Py_tp_getset, kBudgetGetSet},
    {0, nullptr},
};

PyType_Spec kBudgetSpec = {"velmora._velmora.H2DataFrameBudget", sizeof(BudgetObj), 0, Py_TPFLAGS_DEFAULT,
                           kBudgetSlots};

}  // namespace

// ---- registration -------------------------------------------------------------------

int add_h2_stream_values(PyObject* m) {
  for (PyType_Spec* spec : {&kStateSpec, &kFlowSpec, &kLengthSpec, &kBudgetSpec})
    if (!add_type(m, spec)) return -1;
  return 0;
}

int add_h2_reason(PyObject* m) {
  PyTypeObject* t = add_type(m, &kReasonSpec);
  if (!t) return -1;
  if (g_reason_type) return 0;  // the type and its instances are shared by every module object
  for (uint32_t code = 0; code < kReasonCount; ++code) {
    PyObject* r = t->tp_alloc(t, 0);
    if (!r) return -1;
    reinterpret_cast<ReasonObject*>(r)->code = code;
    g_reasons[code] = r;
  }
  Ref dict(PyType_GetDict(t));
  if (!dict) return -1;
  for (uint32_t code = 0; code < kReasonCount; ++code) {
    std::string_view name = h2::reason_name(code);
    Ref key(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    if (!key || PyDict_SetItem(dict.get(), key.get(), g_reasons[code]) < 0) return -1;
  }
  PyType_Modified(t);
  g_reason_type = t;
  return 0;
}

}  // namespace velmora::py
