// The verdict classes of H2Streams and its write batch. A verdict is built
// once, after the step's lock is gone, and is immutable from then on.
#include "src/h2/verdicts.h"

#include <cstddef>
#include <new>

#include "src/h2/conn.h"
#include "src/locked.h"

namespace velmora::py {

namespace {

PyTypeObject* g_stopped = nullptr;
PyTypeObject* g_headers_verdict = nullptr;
PyTypeObject* g_data_verdict = nullptr;
PyTypeObject* g_send_verdict = nullptr;
PyTypeObject* g_reset_verdict = nullptr;
PyTypeObject* g_batch = nullptr;

// Holds no Python object (the reason is built on access), so it takes no
// part in garbage collection.
struct StoppedObject {
  PyObject_HEAD
  uint32_t reason;
  char has_reason;
  char conn;
};

struct HeadersVerdictObject {
  PyObject_HEAD
  PyObject* handle;
  unsigned int kind;
  unsigned int stream_id;
  unsigned int flags;
  char eof;
};

struct DataVerdictObject {
  PyObject_HEAD
  PyObject* handle;
  PyObject* payload;
  unsigned int flags;
  char budgeted;
  char eof;
};

struct SendVerdictObject {
  PyObject_HEAD
  PyObject* stopped;
  PyObject* handle;
  PyObject* reader_stop;
  unsigned long long sent;
  unsigned int flags;
  char done;
  char refused;
};

struct ResetVerdictObject {
  PyObject_HEAD
  PyObject* handle;
  PyObject* stop;
  unsigned int flags;
};

template <class T>
T* alloc_result(PyTypeObject* type) {
  PyObject* o = type->tp_alloc(type, 0);  // zeroed
  return reinterpret_cast<T*>(o);
}

}  // namespace

namespace h2_streams {

PyObject* new_stop(const h2::Stop& s) {
  auto* o = alloc_result<StoppedObject>(g_stopped);
  if (!o) return nullptr;
  o->reason = s.reason.value_or(0);
  o->has_reason = s.reason.has_value();
  o->conn = s.conn;
  return reinterpret_cast<PyObject*>(o);
}

// None for no stop.
PyObject* opt_stop(const std::optional<h2::Stop>& s) { return s ? new_stop(*s) : Py_NewRef(Py_None); }

PyObject* new_headers_verdict(const h2::HeadersVerdict& v, Ref handle) {
  auto* o = alloc_result<HeadersVerdictObject>(g_headers_verdict);
  if (!o) return nullptr;
  o->kind = unsigned(v.kind);
  o->stream_id = v.stream_id;
  o->eof = v.eof;
  o->flags = v.flags;
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* new_data_verdict(const h2::DataVerdict& v, PyObject* payload, Ref handle) {
  auto* o = alloc_result<DataVerdictObject>(g_data_verdict);
  if (!o) return nullptr;
  o->payload = Py_NewRef(v.deliver ? payload : Py_None);
  o->budgeted = v.budgeted;
  o->eof = v.eof;
  o->flags = v.flags;
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* new_send_verdict(const h2::SendVerdict& v, Ref handle) {
  Ref stopped(opt_stop(v.stopped));
  if (!stopped) return nullptr;
  Ref reader(opt_stop(v.reader_stop));
  if (!reader) return nullptr;
  auto* o = alloc_result<SendVerdictObject>(g_send_verdict);
  if (!o) return nullptr;
  o->sent = v.sent;
  o->done = v.done;
  o->refused = v.refused;
  o->flags = v.flags;
  o->stopped = stopped.release();
  o->reader_stop = reader.release();
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* new_reset_verdict(const std::optional<h2::Stop>& stop, uint32_t flags, Ref handle) {
  Ref s(opt_stop(stop));
  if (!s) return nullptr;
  auto* o = alloc_result<ResetVerdictObject>(g_reset_verdict);
  if (!o) return nullptr;
  o->stop = s.release();
  o->flags = flags;
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

// A list of new references; the refs are taken over.
PyObject* handle_list(std::vector<Ref>& refs) {
  PyObject* list = PyList_New(Py_ssize_t(refs.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < refs.size(); ++i) PyList_SET_ITEM(list, Py_ssize_t(i), or_none(refs[i]));
  return list;
}

void AbortedRefs::take(const std::vector<h2::Aborted>& a) {
  handles.reserve(a.size());
  stops.reserve(a.size());
  for (const auto& x : a) {
    handles.push_back(take_ref(x.handle));
    stops.push_back(x.stop);
  }
}

PyObject* AbortedRefs::list() {
  PyObject* out = PyList_New(Py_ssize_t(handles.size()));
  if (!out) return nullptr;
  for (size_t i = 0; i < handles.size(); ++i) {
    PyObject* stop = new_stop(stops[i]);
    if (!stop) {
      Py_DECREF(out);
      return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, handles[i] ? handles[i].get() : Py_None, stop);
    Py_DECREF(stop);
    if (!pair) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, Py_ssize_t(i), pair);
  }
  return out;
}

PyObject* make_batch(PyObject* owner, std::string&& buf) {
  PyObject* o = g_batch->tp_alloc(g_batch, 0);
  if (!o) return nullptr;
  auto* b = reinterpret_cast<BatchObject*>(o);
  new (&b->buf) std::string(std::move(buf));
  b->owner = Py_NewRef(owner);
  return o;
}

}  // namespace h2_streams

namespace {

using h2_streams::BatchObject;

// ---- write batches -----------------------------------------------------------------------

// A batch holds its connection, and a connection subclass may keep its last
// view (which holds the batch): the batch takes part in garbage collection.
// Clearing drops only the connection; the bytes stay valid for any view
// still exported, and without a connection to go back to they are freed.
int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<BatchObject*>(self)->owner);
  return 0;
}

int batch_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<BatchObject*>(self)->owner);
  return 0;
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* b = reinterpret_cast<BatchObject*>(self);
  std::string buf(std::move(b->buf));
  b->buf.~basic_string();
  if (b->owner) {
    // The emptied buffer becomes the connection's next pending buffer, so
    // that steady-state writing allocates nothing.
    streams_of(b->owner)->with([&](H2StreamsState& s) { s.core.give_back(buf); });
  }
  Py_XDECREF(b->owner);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<BatchObject*>(self);
  return PyBuffer_FillInfo(view, self, b->buf.data(), Py_ssize_t(b->buf.size()), 1, flags);
}

Py_ssize_t batch_len(PyObject* self) { return Py_ssize_t(reinterpret_cast<BatchObject*>(self)->buf.size()); }

PyObject* batch_repr(PyObject* self) {
  return PyUnicode_FromFormat("H2WriteBatch(len=%zd)", batch_len(self));
}

// ---- result types ------------------------------------------------------------------------

// The verdicts hold the driver's stream handles, and a handle may keep its
// last verdict: they take part in garbage collection so that such a cycle
// is freed. Each result object is immutable once built, so its fields are
// read and cleared without a lock.
template <class T, class F>
void for_each_ref(T* o, F&& f) {
  if constexpr (requires { o->handle; }) f(o->handle);
  if constexpr (requires { o->payload; }) f(o->payload);
  if constexpr (requires { o->stopped; }) f(o->stopped);
  if constexpr (requires { o->reader_stop; }) f(o->reader_stop);
  if constexpr (requires { o->stop; }) f(o->stop);
}

template <class T>
int result_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int rc = 0;
  for_each_ref(reinterpret_cast<T*>(self), [&](PyObject* ref) {
    if (!rc && ref) rc = visit(ref, arg);
  });
  return rc;
}

template <class T>
int result_clear(PyObject* self) {
  for_each_ref(reinterpret_cast<T*>(self), [](PyObject*& ref) { Py_CLEAR(ref); });
  return 0;
}

template <class T>
void result_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  result_clear<T>(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void stopped_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* stopped_reason(PyObject* self, void*) {
  auto* o = reinterpret_cast<StoppedObject*>(self);
  if (!o->has_reason) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(o->reason);
}

const char* tf(bool b) { return b ? "true" : "false"; }

PyObject* stopped_repr(PyObject* self) {
  auto* o = reinterpret_cast<StoppedObject*>(self);
  if (!o->has_reason) return PyUnicode_FromFormat("H2Stopped(reason=None, conn=%s)", tf(o->conn));
  return PyUnicode_FromFormat("H2Stopped(reason=%u, conn=%s)", unsigned(o->reason), tf(o->conn));
}

PyObject* headers_verdict_repr(PyObject* self) {
  auto* o = reinterpret_cast<HeadersVerdictObject*>(self);
  return PyUnicode_FromFormat("H2RecvHeadersVerdict(kind=%u, stream_id=%u, eof=%s, flags=%u)", o->kind,
                              o->stream_id, tf(o->eof), o->flags);
}

PyObject* data_verdict_repr(PyObject* self) {
  auto* o = reinterpret_cast<DataVerdictObject*>(self);
  Py_ssize_t len = o->payload && o->payload != Py_None ? PyBytes_GET_SIZE(o->payload) : -1;
  if (len < 0)
    return PyUnicode_FromFormat("H2RecvDataVerdict(payload=None, budgeted=%s, eof=%s, flags=%u)", tf(o->budgeted),
                                tf(o->eof), o->flags);
  return PyUnicode_FromFormat("H2RecvDataVerdict(payload=%zd bytes, budgeted=%s, eof=%s, flags=%u)", len,
                              tf(o->budgeted), tf(o->eof), o->flags);
}

PyObject* send_verdict_repr(PyObject* self) {
  auto* o = reinterpret_cast<SendVerdictObject*>(self);
  return PyUnicode_FromFormat("H2SendVerdict(sent=%llu, done=%s, stopped=%R, refused=%s, flags=%u)", o->sent,
                              tf(o->done), o->stopped, tf(o->refused), o->flags);
}

PyObject* reset_verdict_repr(PyObject* self) {
  auto* o = reinterpret_cast<ResetVerdictObject*>(self);
  return PyUnicode_FromFormat("H2ResetVerdict(stop=%R, flags=%u)", o->stop, o->flags);
}

#define RO Py_READONLY
PyMemberDef kStoppedMembers[] = {
    {"conn", Py_T_BOOL, offsetof(StoppedObject, conn), RO, "A connection-level error applies."},
    {nullptr, 0, 0, 0, nullptr},
};
PyGetSetDef kStoppedGetSet[] = {
    {"reason", get<stopped_reason>, nullptr, "RST_STREAM or GOAWAY error code, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMemberDef kHeadersMembers[] = {
    {"kind", Py_T_UINT, offsetof(HeadersVerdictObject, kind), RO, "One of the H2_HEADERS_* outcomes."},
    {"handle", Py_T_OBJECT_EX, offsetof(HeadersVerdictObject, handle), RO, "The stream's handle, or None."},
    {"stream_id", Py_T_UINT, offsetof(HeadersVerdictObject, stream_id), RO, "The stream id."},
    {"eof", Py_T_BOOL, offsetof(HeadersVerdictObject, eof), RO, "The peer ended its side with this frame."},
    {"flags", Py_T_UINT, offsetof(HeadersVerdictObject, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef kDataMembers[] = {
    {"handle", Py_T_OBJECT_EX, offsetof(DataVerdictObject, handle), RO, "The stream's handle, or None."},
    {"payload", Py_T_OBJECT_EX, offsetof(DataVerdictObject, payload), RO, "The payload to deliver, or None."},
    {"budgeted", Py_T_BOOL, offsetof(DataVerdictObject, budgeted), RO,
     "Return the chunk with release_data_frame once consumed."},
    {"eof", Py_T_BOOL, offsetof(DataVerdictObject, eof), RO, "The peer ended its side with this frame."},
    {"flags", Py_T_UINT, offsetof(DataVerdictObject, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef kSendMembers[] = {
    {"sent", Py_T_ULONGLONG, offsetof(SendVerdictObject, sent), RO, "Octets of data[offset:] framed and queued."},
    {"done", Py_T_BOOL, offsetof(SendVerdictObject, done), RO, "The last octet (and END_STREAM if asked) is queued."},
    {"stopped", Py_T_OBJECT_EX, offsetof(SendVerdictObject, stopped), RO, "H2Stopped when the stream cannot send."},
    {"refused", Py_T_BOOL, offsetof(SendVerdictObject, refused), RO,
     "An informational (1xx) head came after the final head was queued: nothing was queued."},
    {"flags", Py_T_UINT, offsetof(SendVerdictObject, flags), RO, "H2_FLAG_* bits."},
    {"handle", Py_T_OBJECT_EX, offsetof(SendVerdictObject, handle), RO,
     "Server: the stream's handle when its unread request body was reset."},
    {"reader_stop", Py_T_OBJECT_EX, offsetof(SendVerdictObject, reader_stop), RO,
     "Server: the stop the body readers must see, with handle."},
    {nullptr, 0, 0, 0, nullptr},
};
PyMemberDef kResetMembers[] = {
    {"handle", Py_T_OBJECT_EX, offsetof(ResetVerdictObject, handle), RO, "The stream's handle, or None."},
    {"stop", Py_T_OBJECT_EX, offsetof(ResetVerdictObject, stop), RO, "H2Stopped for the body readers, or None."},
    {"flags", Py_T_UINT, offsetof(ResetVerdictObject, flags), RO, "H2_FLAG_* bits."},
    {nullptr, 0, 0, 0, nullptr},
};
#undef RO

#define RESULT_SLOTS(T, members, repr, doc)                                                            \
  {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc<T>)},     \
      {Py_tp_traverse, reinterpret_cast<void*>(result_traverse<T>)},                                    \
      {Py_tp_clear, reinterpret_cast<void*>(result_clear<T>)}, {Py_tp_members, members},                \
      {Py_tp_repr, slot<repr>}, {0, nullptr}

PyType_Slot kStoppedSlots[] = {
    {Py_tp_doc, const_cast<char*>("Why a stream stopped: reason (int or None) and conn (bool).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(stopped_dealloc)},
    {Py_tp_members, kStoppedMembers},
    {Py_tp_getset, kStoppedGetSet},
    {Py_tp_repr, slot<stopped_repr>},
    {0, nullptr},
};
PyType_Slot kHeadersSlots[] = {RESULT_SLOTS(HeadersVerdictObject, kHeadersMembers, headers_verdict_repr,
                                            "The outcome of H2Streams.recv_headers.")};
PyType_Slot kDataSlots[] = {RESULT_SLOTS(DataVerdictObject, kDataMembers, data_verdict_repr,
                                         "The outcome of H2Streams.recv_data.")};
PyType_Slot kSendSlots[] = {RESULT_SLOTS(SendVerdictObject, kSendMembers, send_verdict_repr,
                                         "The outcome of a send step of H2Streams.")};
PyType_Slot kResetSlots[] = {RESULT_SLOTS(ResetVerdictObject, kResetMembers, reset_verdict_repr,
                                          "The outcome of a reset step of H2Streams.")};
#undef RESULT_SLOTS

constexpr unsigned kResultFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
constexpr unsigned kGcResultFlags = kResultFlags | Py_TPFLAGS_HAVE_GC;
PyType_Spec kStoppedSpec = {"velmora._velmora.H2Stopped", sizeof(StoppedObject), 0, kResultFlags, kStoppedSlots};
PyType_Spec kHeadersSpec = {"velmora._velmora.H2RecvHeadersVerdict", sizeof(HeadersVerdictObject), 0,
                            kGcResultFlags, kHeadersSlots};
PyType_Spec kDataSpec = {"velmora._velmora.H2RecvDataVerdict", sizeof(DataVerdictObject), 0, kGcResultFlags,
                         kDataSlots};
PyType_Spec kSendSpec = {"velmora._velmora.H2SendVerdict", sizeof(SendVerdictObject), 0, kGcResultFlags,
                         kSendSlots};
PyType_Spec kResetSpec = {"velmora._velmora.H2ResetVerdict", sizeof(ResetVerdictObject), 0, kGcResultFlags,
                          kResetSlots};


PyType_Slot kBatchSlots[] = {
    {Py_tp_doc, const_cast<char*>("One write batch: the pending bytes taken by H2Streams.take_pending, exported "
                                  "read-only through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_repr, slot<batch_repr>},
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {Py_sq_length, slot<batch_len>},
    {0, nullptr},
};
PyType_Spec kBatchSpec = {"velmora._velmora.H2WriteBatch", sizeof(BatchObject), 0, kGcResultFlags, kBatchSlots};

}  // namespace

int add_h2_verdicts(PyObject* m) {
  if (!(g_stopped = add_type(m, &kStoppedSpec))) return -1;
  if (!(g_headers_verdict = add_type(m, &kHeadersSpec))) return -1;
  if (!(g_data_verdict = add_type(m, &kDataSpec))) return -1;
  if (!(g_send_verdict = add_type(m, &kSendSpec))) return -1;
  if (!(g_reset_verdict = add_type(m, &kResetSpec))) return -1;
  if (!g_batch) {
    kBatchSpec.flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyObject* t = PyType_FromModuleAndSpec(m, &kBatchSpec, nullptr);
    if (!t) return -1;
    g_batch = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
  }
  return 0;
}

}  // namespace velmora::py
