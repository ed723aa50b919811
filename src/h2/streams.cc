// The HTTP/2 value objects. Each wraps one plain value of proto/h2 behind its
// state lock (H2Reason is immutable and needs none); every method is one
// step on it.
#include "src/h2/streams.h"

#include <string>

#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow.h"
#include "proto/h2/stream_state.h"
#include "src/api.h"
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

// ---- H2Reason -------------------------------------------------------------------

PyObject* reason_new(PyTypeObject*, PyObject* const* a) {
  PyObject* code = a[0];
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
    VELMORA_GETTER(H2Reason, value, reason_value),
    VELMORA_GETTER(H2Reason, name, reason_name_get),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReasonSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2Reason)},
    {Py_tp_new, VELMORA_NEW(H2Reason, reason_new)},
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

PyObject* ss_new(PyTypeObject* type, PyObject* const*) {
  return create<StateObj>(type);
}

PyObject* ss_repr(PyObject* self) {
  std::string s = st(self).with([](const h2::StreamState& s) { return s.describe(); });
  return ascii_obj(s);
}

PyObject* ss_send_open(PyObject* self, PyObject* arg) {
  bool eos;
  if (!to_bool(arg, "eos", eos)) return nullptr;
  return none_or_raise(st(self).with([&](h2::StreamState& s) { return s.send_open(eos); }));
}

PyObject* ss_recv_open(PyObject* self, PyObject* const* o) {
  bool eos, informational;
  if (!to_bool(o[0], "eos", eos) ||
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

PyObject* ss_recv_reset(PyObject* self, PyObject* const* o) {
  uint32_t sid, reason;
  bool queued;
  if (!to_stream_id(o[0], "stream_id", sid) ||
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

PyObject* ss_set_reset(PyObject* self, PyObject* const* o) {
  uint32_t sid, reason;
  h2::Initiator who;
  if (!to_stream_id(o[0], "stream_id", sid) ||
      !to_u32(o[1], "reason", reason) || !to_initiator(o[2], who))
    return nullptr;
  st(self).with([&](h2::StreamState& s) { s.set_reset(sid, reason, who); });
  Py_RETURN_NONE;
}

PyObject* ss_set_scheduled_reset(PyObject* self, PyObject* arg) {
  uint32_t reason;
  if (!to_u32(arg, "reason", reason)) return nullptr;
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


PyMethodDef kStateMethods[] = {
    VELMORA_METHOD(H2StreamState, send_open, ss_send_open),
    VELMORA_METHOD(H2StreamState, recv_open, ss_recv_open),
    VELMORA_METHOD(H2StreamState, reserve_remote, ss_reserve_remote),
    VELMORA_METHOD(H2StreamState, reserve_local, ss_reserve_local),
    VELMORA_METHOD(H2StreamState, recv_close, ss_recv_close),
    VELMORA_METHOD(H2StreamState, recv_reset, ss_recv_reset),
    VELMORA_METHOD(H2StreamState, recv_eof, ss_recv_eof),
    VELMORA_METHOD(H2StreamState, send_close, ss_send_close),
    VELMORA_METHOD(H2StreamState, set_reset, ss_set_reset),
    VELMORA_METHOD(H2StreamState, set_scheduled_reset, ss_set_scheduled_reset),
    VELMORA_METHOD(H2StreamState, get_scheduled_reset, ss_get_scheduled_reset),
    VELMORA_METHOD(H2StreamState, ensure_recv_open, ss_ensure_recv_open),
    VELMORA_METHOD(H2StreamState, is_idle, ss_predicate<&h2::StreamState::is_idle>),
    VELMORA_METHOD(H2StreamState, is_closed, ss_predicate<&h2::StreamState::is_closed>),
    VELMORA_METHOD(H2StreamState, is_reset, ss_predicate<&h2::StreamState::is_reset>),
    VELMORA_METHOD(H2StreamState, is_scheduled_reset, ss_predicate<&h2::StreamState::is_scheduled_reset>),
    VELMORA_METHOD(H2StreamState, is_local_error, ss_predicate<&h2::StreamState::is_local_error>),
    VELMORA_METHOD(H2StreamState, is_remote_reset, ss_predicate<&h2::StreamState::is_remote_reset>),
    VELMORA_METHOD(H2StreamState, is_send_streaming, ss_predicate<&h2::StreamState::is_send_streaming>),
    VELMORA_METHOD(H2StreamState, is_recv_headers, ss_predicate<&h2::StreamState::is_recv_headers>),
    VELMORA_METHOD(H2StreamState, is_recv_streaming, ss_predicate<&h2::StreamState::is_recv_streaming>),
    VELMORA_METHOD(H2StreamState, is_recv_end_stream, ss_predicate<&h2::StreamState::is_recv_end_stream>),
    VELMORA_METHOD(H2StreamState, is_send_closed, ss_predicate<&h2::StreamState::is_send_closed>),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStateSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2StreamState)},
    {Py_tp_new, VELMORA_NEW(H2StreamState, ss_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<StateObj>)},
    {Py_tp_repr, slot<ss_repr>},
    {Py_tp_methods, kStateMethods},
    {0, nullptr},
};

PyType_Spec kStateSpec = {"velmora._velmora.H2StreamState", sizeof(StateObj), 0, Py_TPFLAGS_DEFAULT, kStateSlots};

// ---- H2FlowControl ----------------------------------------------------------------

using FlowObj = Locked<h2::FlowControl>;

FlowObj& fl(PyObject* self) { return *FlowObj::of(self); }

PyObject* fc_new(PyTypeObject* type, PyObject* const*) {
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

template <h2::Result<void> (h2::FlowControl::*Step)(uint32_t) noexcept, const char* Arg>
PyObject* fc_step(PyObject* self, PyObject* arg) {
  uint32_t n;
  if (!to_u32(arg, Arg, n)) return nullptr;
  return none_or_raise(fl(self).with([&](h2::FlowControl& f) { return (f.*Step)(n); }));
}

constexpr char kCapacity[] = "capacity";
constexpr char kSz[] = "sz";

PyMethodDef kFlowMethods[] = {
    VELMORA_METHOD(H2FlowControl, window_size, fc_window_size),
    VELMORA_METHOD(H2FlowControl, available, fc_available),
    VELMORA_METHOD(H2FlowControl, has_unavailable, fc_has_unavailable),
    VELMORA_METHOD(H2FlowControl, unclaimed_capacity, fc_unclaimed_capacity),
    VELMORA_METHOD(H2FlowControl, claim_capacity, fc_step<&h2::FlowControl::claim_capacity, kCapacity>),
    VELMORA_METHOD(H2FlowControl, assign_capacity, fc_step<&h2::FlowControl::assign_capacity, kCapacity>),
    VELMORA_METHOD(H2FlowControl, inc_window, fc_step<&h2::FlowControl::inc_window, kSz>),
    VELMORA_METHOD(H2FlowControl, dec_send_window, fc_step<&h2::FlowControl::dec_send_window, kSz>),
    VELMORA_METHOD(H2FlowControl, dec_recv_window, fc_step<&h2::FlowControl::dec_recv_window, kSz>),
    VELMORA_METHOD(H2FlowControl, send_data, fc_step<&h2::FlowControl::send_data, kSz>),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFlowSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FlowControl)},
    {Py_tp_new, VELMORA_NEW(H2FlowControl, fc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<FlowObj>)},
    {Py_tp_repr, slot<fc_repr>},
    {Py_tp_methods, kFlowMethods},
    {0, nullptr},
};

PyType_Spec kFlowSpec = {"velmora._velmora.H2FlowControl", sizeof(FlowObj), 0, Py_TPFLAGS_DEFAULT, kFlowSlots};

// ---- H2ContentLength --------------------------------------------------------------

using LengthObj = Locked<h2::ContentLength>;

LengthObj& cl(PyObject* self) { return *LengthObj::of(self); }

PyObject* cl_new(PyTypeObject* type, PyObject* const* o) {
  bool is_head = false;
  if (o[0] && !to_bool(o[0], "is_head", is_head)) return nullptr;
  return create<LengthObj>(type, is_head);
}

PyObject* cl_set(PyObject* self, PyObject* arg) {
  uint64_t v;
  if (!to_u64(arg, "value", v)) return nullptr;
  cl(self).with([&](h2::ContentLength& c) { c.set(v); });
  Py_RETURN_NONE;
}

PyObject* cl_dec(PyObject* self, PyObject* arg) {
  uint64_t v;
  if (!to_u64(arg, "len", v)) return nullptr;
  return bool_obj(cl(self).with([&](h2::ContentLength& c) { return c.dec(v); }));
}

PyObject* cl_is_satisfied(PyObject* self, PyObject*) {
  return bool_obj(cl(self).with([](const h2::ContentLength& c) { return c.is_satisfied(); }));
}

PyObject* cl_is_head(PyObject* self, PyObject*) {
  return bool_obj(cl(self).with([](const h2::ContentLength& c) { return c.is_head(); }));
}

PyMethodDef kLengthMethods[] = {
    VELMORA_METHOD(H2ContentLength, set, cl_set),
    VELMORA_METHOD(H2ContentLength, dec, cl_dec),
    VELMORA_METHOD(H2ContentLength, is_satisfied, cl_is_satisfied),
    VELMORA_METHOD(H2ContentLength, is_head, cl_is_head),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLengthSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2ContentLength)},
    {Py_tp_new, VELMORA_NEW(H2ContentLength, cl_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(locked_dealloc<LengthObj>)},
    {Py_tp_methods, kLengthMethods},
    {0, nullptr},
};

PyType_Spec kLengthSpec = {"velmora._velmora.H2ContentLength", sizeof(LengthObj), 0, Py_TPFLAGS_DEFAULT,
                           kLengthSlots};

// ---- H2DataFrameBudget ------------------------------------------------------------

using BudgetObj = Locked<h2::DataFrameBudget>;

BudgetObj& bu(PyObject* self) { return *BudgetObj::of(self); }

PyObject* db_new(PyTypeObject* type, PyObject* const* o) {
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

PyObject* db_record(PyObject* self, PyObject* arg) {
  uint64_t len;
  if (!to_u64(arg, "payload_len", len)) return nullptr;
  auto r = bu(self).with([&](h2::DataFrameBudget& b) { return b.record(len); });
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLongLong(*r);
}

PyObject* db_release(PyObject* self, PyObject* arg) {
  uint64_t charge;
  if (!to_u64(arg, "charge", charge)) return nullptr;
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
    VELMORA_METHOD(H2DataFrameBudget, record, db_record),
    VELMORA_METHOD(H2DataFrameBudget, release, db_release),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBudgetGetSet[] = {
    VELMORA_GETTER(H2DataFrameBudget, available, db_available),
    VELMORA_GETTER(H2DataFrameBudget, empty_frames, db_empty_frames),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBudgetSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2DataFrameBudget)},
    {Py_tp_new, VELMORA_NEW(H2DataFrameBudget, db_new)},
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
