// H2Streams: the object and its life cycle, the handshake and decoding, the
// concurrency slots and the stored task handles, and the type that gathers
// the methods of every file of the object (see conn.h). The core stores the
// driver's handles as owned references; what a step lets go of is released
// after the lock is gone.
#include "src/h2/conn.h"

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
                                 nullptr};
  PyObject* a[12] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOO:H2Streams", const_cast<char**>(kwlist), &a[0],
                                   &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10], &a[11]))
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
  if (auto ok = c.check(); !ok) return raise_h2(ok.error());
  PyObject* self = create<H2StreamsObject>(type, c);
  if (!self) return nullptr;
  // The decoder beside the state: nothing here can throw.
  static_assert(std::is_nothrow_default_constructible_v<h2::Receiver>);
  H2StreamsObject* o = streams_of(self);
  new (&o->decoder_mu) std::mutex();
  new (&o->recv) h2::Receiver();
  o->recv.expect_preface(c.role == h2::Role::server);
  o->recv.set_role(c.role);
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
  o->decoder_mu.~mutex();
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

PyObject* store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"read", "pump"};
  PyObject* a[2];
  if (!parse_args({"store_task_handles", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
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

#define N(f) meth<f>, METH_NOARGS
#define K(f) meth<f>, METH_FASTCALL | METH_KEYWORDS

PyMethodDef kMethods[] = {
    {"begin", N(begin),
     VELMORA_DOC("begin", "($self, /)",
                 "Queue the client preface (client), our SETTINGS and the connection WINDOW_UPDATE. Comes "
                 "first: every step that can queue a frame raises H2UserError('send_before_preface', ...) "
                 "before it, changing nothing.")},
    {"receive", meth1<receive, "receive", "data">, kOneArg,
     VELMORA_DOC("receive", "($self, data)",
                 "Decode received bytes under the decoder lock alone; returns the list of frame events.")},
    {"prime", meth1<prime, "prime", "data">, kOneArg,
     VELMORA_DOC("prime", "($self, data)",
                 "Feed bytes a reader already took off the transport: True, False (preface mismatch) or None "
                 "(preface incomplete).")},
    {"try_claim_slot", N(try_claim_slot),
     VELMORA_DOC("try_claim_slot", "($self, /)", "Claim a concurrency slot unless the stream limit is reached.")},
    {"can_open", N(can_open), VELMORA_DOC("can_open", "($self, /)", "Whether a slot could be claimed now.")},
    {"release_slot_count", N(release_slot_count),
     VELMORA_DOC("release_slot_count", "($self, /)", "Give back a claimed slot that did not become a stream.")},
    {"apply_stream_limit", meth1<apply_stream_limit, "apply_stream_limit", "limit">, kOneArg,
     VELMORA_DOC("apply_stream_limit", "($self, limit)", "Set the limit on our open streams (None: unlimited).")},
    {"open_stream", K(open_stream),
     VELMORA_DOC("open_stream",
                 "($self, method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None)",
                 "Open a client stream and queue its HEADERS; returns its id, or None when the connection is "
                 "failed or received GOAWAY. A header value starting or ending with SP or HTAB raises "
                 "H2UserError('malformed_headers', ...) and releases the claimed slot.")},
    {"accepted", meth1<accepted, "accepted", "sid">, kOneArg,
     VELMORA_DOC("accepted", "($self, sid)", "The application pulled the queued request sid.")},
    {"has_stream", meth1<has_stream, "has_stream", "sid">, kOneArg,
     VELMORA_DOC("has_stream", "($self, sid)", "A stream record exists.")},
    {"is_recv_end_stream", meth1<is_recv_end_stream, "is_recv_end_stream", "sid">, kOneArg,
     VELMORA_DOC("is_recv_end_stream", "($self, sid)", "The peer ended its side of the stream.")},
    {"stream_state", meth1<stream_state, "stream_state", "sid">, kOneArg,
     VELMORA_DOC("stream_state", "($self, sid)", "Debug rendering of the stream's state, or None.")},
    {"stream_recv_unreleased", meth1<stream_recv_unreleased, "stream_recv_unreleased", "sid">, kOneArg,
     VELMORA_DOC("stream_recv_unreleased", "($self, sid)", "Delivered octets not yet released, or None.")},
    {"stream_recv_reclaimed", meth1<stream_recv_reclaimed, "stream_recv_reclaimed", "sid">, kOneArg,
     VELMORA_DOC("stream_recv_reclaimed", "($self, sid)", "Whether the stream's capacity was reclaimed, or None.")},
    {"stream_data_budget_charged", meth1<stream_data_budget_charged, "stream_data_budget_charged", "sid">, kOneArg,
     VELMORA_DOC("stream_data_budget_charged", "($self, sid)", "DATA-frame budget charge not yet returned, or None.")},
    {"stream_send_buffered", meth1<stream_send_buffered, "stream_send_buffered", "sid">, kOneArg,
     VELMORA_DOC("stream_send_buffered", "($self, sid)", "Octets framed and not yet credited as written, or None.")},
    {"stream_send_window", meth1<stream_send_window, "stream_send_window", "sid">, kOneArg,
     VELMORA_DOC("stream_send_window", "($self, sid)", "The stream's send window floored at 0, or None.")},
    {"in_reset_store", meth1<in_reset_store, "in_reset_store", "sid">, kOneArg,
     VELMORA_DOC("in_reset_store", "($self, sid)", "The reset store holds an entry for sid.")},
    {"set_next_stream_id", meth1<set_id<&h2::ConnState::set_next_stream_id>, "set_next_stream_id", "sid">, kOneArg,
     VELMORA_DOC("set_next_stream_id", "($self, sid)", "Test hook: the next client stream id.")},
    {"set_max_stream_id", meth1<set_id<&h2::ConnState::set_max_stream_id>, "set_max_stream_id", "sid">, kOneArg,
     VELMORA_DOC("set_max_stream_id", "($self, sid)",
                 "Test hook: the phase-2 last-stream-id as if graceful lowered it.")},
    {"set_last_processed_id",
     meth1<set_id<&h2::ConnState::set_last_processed_id>, "set_last_processed_id", "sid">, kOneArg,
     VELMORA_DOC("set_last_processed_id", "($self, sid)", "Test hook: the last processed stream id.")},
    {"recv_headers", K(recv_headers),
     VELMORA_DOC("recv_headers", "($self, frame, spare=None)",
                 "Apply a received HEADERS frame. A head without pseudo-headers (a request, or a response "
                 "without :status) and trailers carrying one raise H2StreamError(stream_id, 1, 'library').")},
    {"recv_data", meth1<recv_data, "recv_data", "frame">, kOneArg,
     VELMORA_DOC("recv_data", "($self, frame)", "Apply a received DATA frame.")},
    {"recv_window_update", meth1<recv_window_update, "recv_window_update", "frame">, kOneArg,
     VELMORA_DOC("recv_window_update", "($self, frame)",
                 "Apply a WINDOW_UPDATE; returns the handles whose senders must be woken.")},
    {"recv_settings", meth1<recv_settings, "recv_settings", "frame">, kOneArg,
     VELMORA_DOC("recv_settings", "($self, frame)",
                 "Apply a SETTINGS frame or its ACK; returns (initial, wake_windows, flags).")},
    {"recv_ping", meth1<recv_ping, "recv_ping", "frame">, kOneArg,
     VELMORA_DOC("recv_ping", "($self, frame)", "Answer a PING; returns flags.")},
    {"recv_go_away", meth1<recv_goaway, "recv_go_away", "frame">, kOneArg,
     VELMORA_DOC("recv_go_away", "($self, frame)", "Apply a GOAWAY; returns (aborted, flags).")},
    {"recv_reset", meth1<recv_reset, "recv_reset", "frame">, kOneArg,
     VELMORA_DOC("recv_reset", "($self, frame)",
                 "Apply an RST_STREAM; returns (handle, stop, notify_body, flags) or None.")},
    {"release_capacity", K(release_capacity),
     VELMORA_DOC("release_capacity", "($self, sid, n)", "Give back n consumed octets of receive capacity.")},
    {"release_data_frame", K(release_data_frame),
     VELMORA_DOC("release_data_frame", "($self, sid, payload_len)",
                 "Return a consumed chunk's charge to the DATA-frame budget.")},
    {"send_data", K(send_data),
     VELMORA_DOC("send_data", "($self, sid, data, offset, end_stream)",
                 "Frame at most one DATA frame of data[offset:] under flow control. A verdict that sent "
                 "nothing and is not done asks the writer to wait until its handle is woken (recv_window_update, "
                 "recv_settings, credit_written or next_capacity_wake name it); on threads, note the handle's wake "
                 "count before this call and sleep only while it is unchanged, so a wake that lands between the "
                 "call and the wait is kept.")},
    {"send_trailers", K(send_trailers),
     VELMORA_DOC("send_trailers", "($self, sid, trailers)",
                 "Queue trailers, ending the stream. A value starting or ending with SP or HTAB raises "
                 "H2UserError('malformed_headers', ...).")},
    {"send_response_head", K(send_response_head),
     VELMORA_DOC("send_response_head", "($self, sid, status, headers, end_stream)",
                 "Queue a response head. A 1xx (not 101, not with end_stream) is an interim head that leaves "
                 "the send side where it was; once the final head is queued it is refused (verdict.refused). "
                 "A field set check_send_headers refuses raises H2UserError('malformed_headers', ...).")},
    {"next_capacity_wake", N(next_capacity_wake),
     VELMORA_DOC("next_capacity_wake", "($self, /)", "The handle of the next sender to wake for capacity, or None.")},
    {"take_pending", N(take_pending),
     VELMORA_DOC("take_pending", "($self, /)",
                 "Move the pending bytes out as a read-only memoryview over a write batch; returns (view, "
                 "stopping). If the view cannot be built the frames stay queued, first in line.")},
    {"credit_written", N(credit_written),
     VELMORA_DOC("credit_written", "($self, /)",
                 "The batches taken are written; returns the handles of the streams to wake.")},
    {"has_pending", N(has_pending), VELMORA_DOC("has_pending", "($self, /)", "Frames are waiting to be written.")},
    {"writer_start", N(bool_step<&h2::ConnCore::writer_start>),
     VELMORA_DOC("writer_start", "($self, /)", "Register a body writer; False once failed or closing.")},
    {"writer_end", N(bool_step<&h2::ConnCore::writer_end>),
     VELMORA_DOC("writer_end", "($self, /)", "A body writer finished; True when it was the last after release_writers.")},
    {"release_writers", N(bool_step<&h2::ConnCore::release_writers>),
     VELMORA_DOC("release_writers", "($self, /)", "No new writer may start; True when none is alive.")},
    {"store_task_handles", K(store_task_handles),
     VELMORA_DOC("store_task_handles", "($self, read, pump)", "Store the read and pump task handles.")},
    {"take_read_handle", N(take_handle<&H2StreamsState::read_handle>),
     VELMORA_DOC("take_read_handle", "($self, /)", "The read task handle, once; then None.")},
    {"take_pump_handle", N(take_handle<&H2StreamsState::pump_handle>),
     VELMORA_DOC("take_pump_handle", "($self, /)", "The pump task handle, once; then None.")},
    {"stop_pump", N(stop_pump),
     VELMORA_DOC("stop_pump", "($self, /)", "The pump drains the buffer and exits.")},
    {"reset_stream", K(reset_stream),
     VELMORA_DOC("reset_stream", "($self, sid, reason, initiator='user')", "Reset a stream; returns an H2ResetVerdict.")},
    {"reset_on_error", K(reset_on_error),
     VELMORA_DOC("reset_on_error", "($self, sid, reason)",
                 "Reset a stream after the peer's stream-level violation; returns an H2ResetVerdict. On the "
                 "server an id without a stream (a refused request head) counts as used from then on.")},
    {"aclose_body", meth1<aclose_body, "aclose_body", "sid">, kOneArg,
     VELMORA_DOC("aclose_body", "($self, sid)", "The body reader closed early; returns an H2ResetVerdict.")},
    {"fail", K(fail),
     VELMORA_DOC("fail", "($self, exc=None, message='connection closed')",
                 "Record the connection's first error and abort every stream; returns (handle, stop) pairs.")},
    {"conn_error", N(conn_error),
     VELMORA_DOC("conn_error", "($self, /)", "The stored connection error, or None.")},
    {"is_failed", N(is_failed), VELMORA_DOC("is_failed", "($self, /)", "An error is recorded.")},
    {"is_closed", N(is_closed),
     VELMORA_DOC("is_closed", "($self, /)", "The connection can serve no more requests.")},
    {"send_goaway", meth1<send_goaway, "send_goaway", "reason">, kOneArg,
     VELMORA_DOC("send_goaway", "($self, reason)", "Queue GOAWAY for a violation we detected; returns flags.")},
    {"begin_graceful_shutdown", N(begin_graceful_shutdown),
     VELMORA_DOC("begin_graceful_shutdown", "($self, /)", "Phase 1 of graceful shutdown: GOAWAY and PING.")},
    {"maybe_goaway_reply", N(maybe_goaway_reply),
     VELMORA_DOC("maybe_goaway_reply", "($self, /)", "Answer the peer's GOAWAY once no stream is left; returns flags.")},
    {"goaway_info", N(goaway_info),
     VELMORA_DOC("goaway_info", "($self, /)", "(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef N
#undef K

PyType_Slot kStreamsSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC(
                    "H2Streams",
                    "(role, *, initial_window_size, connection_window, max_frame_size, max_header_list_size, "
                    "max_send_buf_size, max_concurrent_streams=None, max_pending_accept_reset_streams=20, "
                    "max_local_error_reset_streams=1024, data_frame_budget=None, auto_date_header=True, "
                    "enable_push=None)",
                    "Connection and stream state of one HTTP/2 connection.\n\n"
                    "Threads: receive() decodes under the decoder lock alone and belongs to one thread (the read "
                    "pump, which then runs each event's recv_* step); take_pending and credit_written belong to "
                    "the write pump. Every other method is one step under the state lock and may run on any "
                    "thread at once with the pumps and with each other. begin() comes before every step that "
                    "queues a frame: start the threads that use the connection after it. The state never calls "
                    "an object it holds (stream handles, task or thread handles, the stored error): handles come "
                    "back in verdicts and lists, and waking them is the driver's, after the step returned, so a "
                    "driver may hold its own locks across any call."))},
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
