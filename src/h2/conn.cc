// H2Streams: the object and its life cycle, the handshake and decoding, the
// concurrency slots and the stored task handles, and the type that gathers
// the methods of every file of the object (see conn.h). The core stores the
// driver's handles as owned references; what a step lets go of is released
// after the lock is gone.
#include "src/h2/conn.h"

#include "src/api.h"

#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "src/errors.h"
#include "src/h2/codec.h"
#include "src/h2/events.h"
#include "src/h2/streams.h"
#include "src/h2/verdicts.h"

namespace velmora::py {

namespace {

using namespace h2_streams;

PyTypeObject* g_streams = nullptr;

// ---- construction ------------------------------------------------------------------

bool opt_u32(PyObject* o, const char* arg, std::optional<uint32_t>& out) {
  if (!o || o == Py_None) return true;
  uint32_t v;
  if (!to_u32(o, arg, v)) return false;
  out = v;
  return true;
}

bool opt_u64(PyObject* o, const char* arg, std::optional<uint64_t>& out) {
  if (!o || o == Py_None) return true;
  uint64_t v;
  if (!to_u64(o, arg, v)) return false;
  out = v;
  return true;
}

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"role",
                                 "initial_window_size",
                                 "connection_window",
                                 "max_frame_size",
                                 "max_header_list_size",
                                 "max_send_buf_size",
                                 "max_concurrent_streams",
                                 "max_pending_accept_reset_streams",
                                 "max_local_error_reset_streams",
                                 "data_frame_budget",
                                 "auto_date_header",
                                 "enable_push",
                                 "enable_connect_protocol",
                                 nullptr};
  PyObject* a[13] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOOO:H2Streams", const_cast<char**>(kwlist), &a[0],
                                   &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10], &a[11],
                                   &a[12]))
    return nullptr;
  for (int i = 1; i <= 5; ++i)
    if (!a[i]) {
      PyErr_Format(PyExc_TypeError, "H2Streams() missing required keyword-only argument: '%s'", kwlist[i]);
      return nullptr;
    }
  h2::ConnConfig c;
  std::string_view role;
  if (!to_str(a[0], "role", role)) return nullptr;
  auto parsed = h2::parse_role(role);
  if (!parsed) {
    std::string msg = "role must be 'client' or 'server', got \"";
    append_debug_text(a[0], msg);
    msg += '"';
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return nullptr;
  }
  c.role = *parsed;
  if (!to_u32(a[1], "initial_window_size", c.initial_window_size) ||
      !to_u32(a[2], "connection_window", c.connection_window) ||
      !to_u32(a[3], "max_frame_size", c.max_frame_size) ||
      !to_u32(a[4], "max_header_list_size", c.max_header_list_size) ||
      !to_u64(a[5], "max_send_buf_size", c.max_send_buf_size) ||
      !opt_u32(a[6], "max_concurrent_streams", c.max_concurrent_streams))
    return nullptr;
  if (a[7] && !to_u64(a[7], "max_pending_accept_reset_streams", c.max_pending_accept_reset_streams)) return nullptr;
  if (a[8]) {
    c.max_local_error_reset_streams.reset();
    if (!opt_u64(a[8], "max_local_error_reset_streams", c.max_local_error_reset_streams)) return nullptr;
  }
  if (!opt_u64(a[9], "data_frame_budget", c.data_frame_budget)) return nullptr;
  if (a[10] && !to_bool(a[10], "auto_date_header", c.auto_date_header)) return nullptr;
  if (a[11] && a[11] != Py_None) {
    bool b;
    if (!to_bool(a[11], "enable_push", b)) return nullptr;
    c.enable_push = b;
  }
  if (a[12] && !to_bool(a[12], "enable_connect_protocol", c.enable_connect_protocol)) return nullptr;
  if (auto ok = c.check(); !ok) return raise_h2(ok.error());
  PyObject* self = create<H2StreamsObject>(type, c);
  if (!self) return nullptr;
  // The decoder beside the state: nothing here can throw.
  static_assert(std::is_nothrow_default_constructible_v<h2::Receiver>);
  H2StreamsObject* o = streams_of(self);
  new (&o->decoder_mu) StateLock();
  new (&o->recv) h2::Receiver();
  o->recv.expect_preface(c.role == h2::Role::server);
  o->recv.set_role(c.role);
  o->recv.set_extended_connect(c.role == h2::Role::server && c.enable_connect_protocol);
  return self;
}

int streams_init(PyObject*, PyObject*, PyObject*) { return 0; }

int streams_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  // The collector runs with every other thread stopped, and no transition
  // calls into Python, so the fields are read directly.
  H2StreamsState& c = streams_of(self)->state;
  Py_VISIT(c.error);
  Py_VISIT(c.goaway_debug);
  Py_VISIT(c.read_handle);
  Py_VISIT(c.pump_handle);
  int rc = 0;
  c.core.state.streams().for_each([&](h2::StreamRecord& r) {
    if (!rc && r.handle) rc = visit(static_cast<PyObject*>(r.handle), arg);
  });
  return rc;
}

int streams_clear(PyObject* self) {
  Transition<H2StreamsObject> t(self);
  t->core.state.drop_all(t.dropped());
  t.dropped().take(t->error);
  t.dropped().take(t->goaway_debug);
  t.dropped().take(t->read_handle);
  t.dropped().take(t->pump_handle);
  return 0;
}

void streams_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  streams_clear(self);
  H2StreamsObject* o = streams_of(self);
  o->recv.~Receiver();
  o->decoder_mu.~StateLock();
  destroy(o);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* streams_repr(PyObject* self) {
  std::string s = streams_of(self)->with([](const H2StreamsState& st) { return st.core.state.describe(); });
  return ascii_obj(s);
}

// ---- handshake and decoding ----------------------------------------------------------

PyObject* begin(PyObject* self, PyObject*) {
  h2::Result<h2::ConnCore::DecoderChange> r;
  {
    Transition<H2StreamsObject> t(self);
    r = t->core.begin();
    if (r && r->max_frame_size)  // state lock first, then decoder
      t.obj().with_decoder([&](h2::Receiver& recv) { recv.set_max_frame_size(*r->max_frame_size); });
  }
  if (!r) return raise_h2(r.error());
  Py_RETURN_NONE;
}

PyObject* receive(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h2::RecvBatch batch;
  h2::Result<void> r = streams_of(self)->with_decoder([&](h2::Receiver& recv) { return recv.receive(bytes, batch); });
  if (!r) return raise_h2(r.error());
  return h2_event_list(batch);
}

PyObject* prime(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h2::PrefaceMatch m = streams_of(self)->with_decoder([&](h2::Receiver& recv) {
    if (!recv.preface_done()) return recv.feed_preface(bytes);
    recv.feed(bytes);
    return h2::PrefaceMatch::matched;
  });
  if (m == h2::PrefaceMatch::incomplete) Py_RETURN_NONE;
  return bool_obj(m == h2::PrefaceMatch::matched);
}

// ---- writers and task handles ---------------------------------------------------------------

template <bool (h2::ConnCore::*F)()>
PyObject* bool_step(PyObject* self, PyObject*) {
  bool b;
  {
    Transition<H2StreamsObject> t(self);
    b = (t->core.*F)();
  }
  return bool_obj(b);
}

PyObject* store_task_handles(PyObject* self, PyObject* const* a) {
  {
    Transition<H2StreamsObject> t(self);
    H2StreamsState& c = *t;
    t.dropped().take(c.read_handle);
    t.dropped().take(c.pump_handle);
    c.read_handle = a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    c.pump_handle = a[1] == Py_None ? nullptr : Py_NewRef(a[1]);
  }
  Py_RETURN_NONE;
}

template <PyObject* H2StreamsState::*Slot>
PyObject* take_handle(PyObject* self, PyObject*) {
  PyObject* h;
  {
    Transition<H2StreamsObject> t(self);
    h = std::exchange((*t).*Slot, nullptr);
  }
  return h ? h : Py_NewRef(Py_None);
}

PyObject* stop_pump(PyObject* self, PyObject*) {
  {
    Transition<H2StreamsObject> t(self);
    t->core.stop_pump();
  }
  Py_RETURN_NONE;
}

// ---- slots --------------------------------------------------------------------------------

PyObject* try_claim_slot(PyObject* self, PyObject*) {
  bool b;
  {
    Transition<H2StreamsObject> t(self);
    b = t->core.state.try_claim_slot();
  }
  return bool_obj(b);
}

PyObject* can_open(PyObject* self, PyObject*) {
  return bool_obj(streams_of(self)->with([](const H2StreamsState& s) { return s.core.state.can_open(); }));
}

PyObject* release_slot_count(PyObject* self, PyObject*) {
  {
    Transition<H2StreamsObject> t(self);
    t->core.state.release_slot_count();
  }
  Py_RETURN_NONE;
}

PyObject* apply_stream_limit(PyObject* self, PyObject* arg) {
  std::optional<uint64_t> limit;
  if (!opt_u64(arg, "limit", limit)) return nullptr;
  {
    Transition<H2StreamsObject> t(self);
    t->core.state.apply_stream_limit(limit);
  }
  Py_RETURN_NONE;
}

PyObject* accepted(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32(arg, "sid", sid)) return nullptr;
  {
    Transition<H2StreamsObject> t(self);
    t->core.state.accepted(sid);
  }
  Py_RETURN_NONE;
}

// ---- the type ---------------------------------------------------------------------------

PyMethodDef kMethods[] = {
    VELMORA_METHOD(H2Streams, begin, begin),
    VELMORA_METHOD(H2Streams, receive, receive),
    VELMORA_METHOD(H2Streams, prime, prime),
    VELMORA_METHOD(H2Streams, try_claim_slot, try_claim_slot),
    VELMORA_METHOD(H2Streams, can_open, can_open),
    VELMORA_METHOD(H2Streams, release_slot_count, release_slot_count),
    VELMORA_METHOD(H2Streams, apply_stream_limit, apply_stream_limit),
    VELMORA_METHOD(H2Streams, open_stream, open_stream),
    VELMORA_METHOD(H2Streams, accepted, accepted),
    VELMORA_METHOD(H2Streams, has_stream, has_stream),
    VELMORA_METHOD(H2Streams, is_recv_end_stream, is_recv_end_stream),
    VELMORA_METHOD(H2Streams, stream_state, stream_state),
    VELMORA_METHOD(H2Streams, stream_recv_unreleased, stream_recv_unreleased),
    VELMORA_METHOD(H2Streams, stream_recv_reclaimed, stream_recv_reclaimed),
    VELMORA_METHOD(H2Streams, stream_data_budget_charged, stream_data_budget_charged),
    VELMORA_METHOD(H2Streams, stream_send_buffered, stream_send_buffered),
    VELMORA_METHOD(H2Streams, stream_send_window, stream_send_window),
    VELMORA_METHOD(H2Streams, in_reset_store, in_reset_store),
    VELMORA_METHOD(H2Streams, set_next_stream_id, set_id<&h2::ConnState::set_next_stream_id>),
    VELMORA_METHOD(H2Streams, set_max_stream_id, set_id<&h2::ConnState::set_max_stream_id>),
    VELMORA_METHOD(H2Streams, set_last_processed_id, set_id<&h2::ConnState::set_last_processed_id>),
    VELMORA_METHOD(H2Streams, recv_headers, recv_headers),
    VELMORA_METHOD(H2Streams, recv_data, recv_data),
    VELMORA_METHOD(H2Streams, recv_window_update, recv_window_update),
    VELMORA_METHOD(H2Streams, recv_settings, recv_settings),
    VELMORA_METHOD(H2Streams, recv_ping, recv_ping),
    VELMORA_METHOD(H2Streams, recv_go_away, recv_goaway),
    VELMORA_METHOD(H2Streams, recv_reset, recv_reset),
    VELMORA_METHOD(H2Streams, release_capacity, release_capacity),
    VELMORA_METHOD(H2Streams, release_data_frame, release_data_frame),
    VELMORA_METHOD(H2Streams, send_data, send_data),
    VELMORA_METHOD(H2Streams, send_trailers, send_trailers),
    VELMORA_METHOD(H2Streams, send_response_head, send_response_head),
    VELMORA_METHOD(H2Streams, next_capacity_wake, next_capacity_wake),
    VELMORA_METHOD(H2Streams, take_pending, take_pending),
    VELMORA_METHOD(H2Streams, credit_written, credit_written),
    VELMORA_METHOD(H2Streams, has_pending, has_pending),
    VELMORA_METHOD(H2Streams, writer_start, bool_step<&h2::ConnCore::writer_start>),
    VELMORA_METHOD(H2Streams, writer_end, bool_step<&h2::ConnCore::writer_end>),
    VELMORA_METHOD(H2Streams, release_writers, bool_step<&h2::ConnCore::release_writers>),
    VELMORA_METHOD(H2Streams, store_task_handles, store_task_handles),
    VELMORA_METHOD(H2Streams, take_read_handle, take_handle<&H2StreamsState::read_handle>),
    VELMORA_METHOD(H2Streams, take_pump_handle, take_handle<&H2StreamsState::pump_handle>),
    VELMORA_METHOD(H2Streams, stop_pump, stop_pump),
    VELMORA_METHOD(H2Streams, reset_stream, reset_stream),
    VELMORA_METHOD(H2Streams, reset_on_error, reset_on_error),
    VELMORA_METHOD(H2Streams, aclose_body, aclose_body),
    VELMORA_METHOD(H2Streams, fail, fail),
    VELMORA_METHOD(H2Streams, conn_error, conn_error),
    VELMORA_METHOD(H2Streams, is_failed, is_failed),
    VELMORA_METHOD(H2Streams, is_closed, is_closed),
    VELMORA_METHOD(H2Streams, send_goaway, send_goaway),
    VELMORA_METHOD(H2Streams, begin_graceful_shutdown, begin_graceful_shutdown),
    VELMORA_METHOD(H2Streams, maybe_goaway_reply, maybe_goaway_reply),
    VELMORA_METHOD(H2Streams, goaway_info, goaway_info),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStreamsSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2Streams)},
    {Py_tp_new, slot<streams_new>},
    {Py_tp_init, reinterpret_cast<void*>(streams_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(streams_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(streams_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(streams_clear)},
    {Py_tp_repr, slot<streams_repr>},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kStreamsSpec = {"velmora._velmora.H2Streams", sizeof(H2StreamsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kStreamsSlots};

}  // namespace

int add_h2_streams(PyObject* m) {
  if (!(g_streams = add_type(m, &kStreamsSpec))) return -1;
  return add_h2_verdicts(m);
}

}  // namespace velmora::py
