// H2Streams: converts arguments, runs one step of the connection core under
// the state lock (or the decoder lock, for decoding), and builds the Python
// results after unlocking. The core stores the driver's handles as owned
// references; what a step lets go of is released after the lock is gone.
#include "src/h2/conn.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "proto/h2/conn_core.h"
#include "proto/http/date.h"
#include "src/errors.h"
#include "src/h2/codec.h"
#include "src/h2/events.h"
#include "src/h2/streams.h"
#include "src/http/header_map.h"
#include "src/locked.h"

namespace velmora::py {

namespace {

using h2::Handle;

// ---- the connection object ------------------------------------------------------

struct Conn {
  explicit Conn(const h2::ConnConfig& c) : core(c) {
    recv.expect_preface(c.role == h2::Role::server);
    recv.set_role(c.role);
  }

  std::mutex mu;  // the state lock
  h2::ConnCore core;
  std::mutex decoder_mu;  // the decoder lock: only `recv`
  h2::Receiver recv;
  // Python objects the state keeps beside the core (under the state lock).
  PyObject* error = nullptr;         // the stored connection error, when an exception was given
  PyObject* goaway_debug = nullptr;  // the latest peer GOAWAY's debug data
  PyObject* read_handle = nullptr;
  PyObject* pump_handle = nullptr;
};

struct StreamsObject {
  PyObject_HEAD
  Conn* conn;  // nullptr only before construction completes
};

PyTypeObject* g_streams = nullptr;
PyTypeObject* g_stopped = nullptr;
PyTypeObject* g_headers_verdict = nullptr;
PyTypeObject* g_data_verdict = nullptr;
PyTypeObject* g_send_verdict = nullptr;
PyTypeObject* g_reset_verdict = nullptr;
PyTypeObject* g_batch = nullptr;

Conn& conn_of(PyObject* self) { return *reinterpret_cast<StreamsObject*>(self)->conn; }

// Handles the core lets go of: released after unlocking.
class Sink final : public h2::HandleSink {
 public:
  explicit Sink(Dropped& d) noexcept : d_(d) {}
  void drop(Handle h) noexcept override { d_.add(static_cast<PyObject*>(h)); }

 private:
  Dropped& d_;
};

// One transition under the state lock. The lock is released before the
// dropped references (member order).
class Tx {
 public:
  explicit Tx(PyObject* self) : c_(conn_of(self)), lock_(c_.mu) {}
  h2::ConnCore* operator->() noexcept { return &c_.core; }
  h2::ConnCore& core() noexcept { return c_.core; }
  Conn& conn() noexcept { return c_; }
  Sink& sink() noexcept { return sink_; }
  Dropped& dropped() noexcept { return dropped_; }
  void unlock() { lock_.unlock(); }

 private:
  Conn& c_;
  Dropped dropped_;
  Sink sink_{dropped_};
  std::unique_lock<std::mutex> lock_;
};

// A new reference to a handle the core returned (under the lock: only the
// count changes, nothing is created or released).
Ref take_ref(Handle h) noexcept { return Ref(Py_XNewRef(static_cast<PyObject*>(h))); }
PyObject* or_none(Ref& r) noexcept { return r ? r.release() : Py_NewRef(Py_None); }


bool to_u32_arg(PyObject* o, const char* arg, uint32_t& out) { return to_u32(o, arg, out); }

bool headers_arg(PyObject* o, const char* arg, std::optional<http::HeaderMap>& out) {
  if (!o || o == Py_None) return true;
  if (!is_header_map(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap or None, not %T", arg, o);
    return false;
  }
  out = copy_header_map(o);
  return true;
}

bool frame_arg(PyObject* o, H2Event want, const char* cls) {
  if (is_h2_event(o, want)) return true;
  PyErr_Format(PyExc_TypeError, "argument 'frame' must be %s, not %T", cls, o);
  return false;
}

// ---- result objects ----------------------------------------------------------------

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

// (handle, stop) pairs of aborted streams.
struct AbortedRefs {
  std::vector<Ref> handles;
  std::vector<h2::Stop> stops;
  void take(const std::vector<h2::Aborted>& a) {
    handles.reserve(a.size());
    stops.reserve(a.size());
    for (const auto& x : a) {
      handles.push_back(take_ref(x.handle));
      stops.push_back(x.stop);
    }
  }
  PyObject* list() {
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
};

// ---- construction ------------------------------------------------------------------

bool opt_u32(PyObject* o, const char* arg, std::optional<uint32_t>& out) {
  if (!o || o == Py_None) return true;
  uint32_t v;
  if (!to_u32_arg(o, arg, v)) return false;
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
  if (!to_u32_arg(a[1], "initial_window_size", c.initial_window_size) ||
      !to_u32_arg(a[2], "connection_window", c.connection_window) ||
      !to_u32_arg(a[3], "max_frame_size", c.max_frame_size) ||
      !to_u32_arg(a[4], "max_header_list_size", c.max_header_list_size) ||
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
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  try {
    reinterpret_cast<StreamsObject*>(self)->conn = new Conn(c);
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

int streams_init(PyObject*, PyObject*, PyObject*) { return 0; }

int streams_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Conn* c = reinterpret_cast<StreamsObject*>(self)->conn;
  if (!c) return 0;
  // The collector runs with every other thread stopped, and no transition
  // calls into Python, so the fields are read directly.
  Py_VISIT(c->error);
  Py_VISIT(c->goaway_debug);
  Py_VISIT(c->read_handle);
  Py_VISIT(c->pump_handle);
  int rc = 0;
  c->core.state.streams().for_each([&](h2::StreamRecord& r) {
    if (!rc && r.handle) rc = visit(static_cast<PyObject*>(r.handle), arg);
  });
  return rc;
}

int streams_clear(PyObject* self) {
  Conn* c = reinterpret_cast<StreamsObject*>(self)->conn;
  if (!c) return 0;
  Dropped dropped;
  {
    std::lock_guard<std::mutex> g(c->mu);
    Sink sink(dropped);
    c->core.state.drop_all(sink);
    dropped.take(c->error);
    dropped.take(c->goaway_debug);
    dropped.take(c->read_handle);
    dropped.take(c->pump_handle);
  }
  return 0;
}

void streams_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  streams_clear(self);
  delete reinterpret_cast<StreamsObject*>(self)->conn;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* streams_repr(PyObject* self) {
  std::string s;
  {
    Tx t(self);
    s = t->state.describe();
  }
  return ascii_obj(s);
}

// ---- handshake and decoding ----------------------------------------------------------

PyObject* begin(PyObject* self, PyObject*) {
  Conn& c = conn_of(self);
  h2::Result<h2::ConnCore::DecoderChange> r;
  {
    std::lock_guard<std::mutex> s(c.mu);
    r = c.core.begin();
    if (r && r->max_frame_size) {
      std::lock_guard<std::mutex> d(c.decoder_mu);  // state lock first, then decoder
      c.recv.set_max_frame_size(*r->max_frame_size);
    }
  }
  if (!r) return raise_h2(r.error());
  Py_RETURN_NONE;
}

PyObject* receive(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  Conn& c = conn_of(self);
  h2::RecvBatch batch;
  h2::Result<void> r;
  {
    std::lock_guard<std::mutex> d(c.decoder_mu);
    r = c.recv.receive(bytes, batch);
  }
  if (!r) return raise_h2(r.error());
  return h2_event_list(batch);
}

PyObject* prime(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  Conn& c = conn_of(self);
  h2::PrefaceMatch m = h2::PrefaceMatch::matched;
  {
    std::lock_guard<std::mutex> d(c.decoder_mu);
    if (!c.recv.preface_done())
      m = c.recv.feed_preface(bytes);
    else
      c.recv.feed(bytes);
  }
  if (m == h2::PrefaceMatch::incomplete) Py_RETURN_NONE;
  return bool_obj(m == h2::PrefaceMatch::matched);
}

// ---- the receive path -------------------------------------------------------------------

const char* const kFrameSpare[] = {"frame", "spare"};

PyObject* recv_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args({"recv_headers", kFrameSpare, 2, 2, 1}, args, nargs, kwnames, a)) return nullptr;
  if (!frame_arg(a[0], H2Event::headers, "H2FrameHeaders")) return nullptr;
  auto* f = reinterpret_cast<H2HeadersObject*>(a[0]);
  h2::HeadersIn in;
  in.stream_id = f->stream_id;
  in.end_stream = f->end_stream;
  in.informational = f->is_informational;
  in.content_length_invalid = f->content_length_invalid;
  if (f->status && f->status != Py_None) in.status = uint16_t(PyLong_AsUnsignedLong(f->status));
  auto present = [](PyObject* o) { return o && o != Py_None; };
  in.pseudo = present(f->method) || present(f->scheme) || present(f->authority) || present(f->path) || in.status;
  if (f->content_length && f->content_length != Py_None) {
    unsigned long long n = PyLong_AsUnsignedLongLong(f->content_length);
    if (n == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
    in.content_length = n;
  }
  PyObject* spare_obj = a[1] && a[1] != Py_None ? a[1] : nullptr;
  h2::Step<h2::HeadersVerdict> r;
  Ref handle;
  {
    Tx t(self);
    // The record takes its own reference when it takes the spare.
    Handle spare = Py_XNewRef(spare_obj);
    r = t->recv_headers(in, spare, t.sink());
    if (spare) t.dropped().add(static_cast<PyObject*>(spare));
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  if (r->spare_missing) {
    PyErr_SetString(PyExc_ValueError, "recv_headers: the server role needs a spare stream handle");
    return nullptr;
  }
  auto* o = alloc_result<HeadersVerdictObject>(g_headers_verdict);
  if (!o) return nullptr;
  o->kind = unsigned(r->kind);
  o->stream_id = r->stream_id;
  o->eof = r->eof;
  o->flags = r->flags;
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* recv_data(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::data, "H2FrameData")) return nullptr;
  auto* f = reinterpret_cast<H2DataObject*>(frame);
  h2::DataIn in;
  in.stream_id = f->stream_id;
  in.end_stream = f->end_stream;
  in.payload_len = uint32_t(PyBytes_GET_SIZE(f->data));
  in.flow_controlled_len = f->flow_controlled_len;
  in.padding = f->padding;
  h2::Step<h2::DataVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->recv_data(in, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  auto* o = alloc_result<DataVerdictObject>(g_data_verdict);
  if (!o) return nullptr;
  o->payload = Py_NewRef(r->deliver ? f->data : Py_None);
  o->budgeted = r->budgeted;
  o->eof = r->eof;
  o->flags = r->flags;
  o->handle = or_none(handle);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* recv_window_update(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::window_update, "H2FrameWindowUpdate")) return nullptr;
  auto* f = reinterpret_cast<H2PairObject*>(frame);
  h2::Step<Handle> r;
  std::vector<Ref> wake;
  {
    Tx t(self);
    r = t->recv_window_update(f->stream_id, f->value);
    if (r && *r) wake.push_back(take_ref(*r));
  }
  if (!r) return raise_h2(r.error());
  return handle_list(wake);
}

PyObject* recv_settings(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::settings, "H2FrameSettings")) return nullptr;
  auto* f = reinterpret_cast<H2SettingsObject*>(frame);
  h2::Settings s;
  std::optional<uint32_t>* slots[] = {&s.header_table_size, &s.max_concurrent_streams, &s.initial_window_size,
                                      &s.max_frame_size, &s.max_header_list_size};
  PyObject* values[] = {f->header_table_size, f->max_concurrent_streams, f->initial_window_size, f->max_frame_size,
                        f->max_header_list_size};
  for (int i = 0; i < 5; ++i)
    if (values[i] && values[i] != Py_None) *slots[i] = uint32_t(PyLong_AsUnsignedLong(values[i]));
  h2::Step<h2::SettingsVerdict> r;
  std::vector<Ref> wake;
  {
    Conn& c = conn_of(self);
    Tx t(self);
    std::vector<Handle> handles;
    r = t->recv_settings(f->ack, s, handles);
    if (r && r->apply_to_decoder) {
      // The one nesting: the decoder lock inside the state lock.
      const h2::Settings& local = *r->apply_to_decoder;
      std::lock_guard<std::mutex> d(c.decoder_mu);
      if (local.header_table_size) c.recv.set_header_table_size(*local.header_table_size);
      if (local.max_frame_size) c.recv.set_max_frame_size(*local.max_frame_size);
      if (local.max_header_list_size) c.recv.set_max_header_list_size(*local.max_header_list_size);
    }
    for (Handle h : handles) wake.push_back(take_ref(h));
  }
  if (!r) return raise_h2(r.error());
  Ref list(handle_list(wake));
  if (!list) return nullptr;
  return Py_BuildValue("(ONI)", r->initial ? Py_True : Py_False, list.release(), unsigned(r->flags));
}

PyObject* recv_ping(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::ping, "H2FramePing")) return nullptr;
  auto* f = reinterpret_cast<H2PingObject*>(frame);
  std::string_view payload(PyBytes_AS_STRING(f->data), size_t(PyBytes_GET_SIZE(f->data)));
  h2::Step<uint32_t> r;
  {
    Tx t(self);
    r = t->recv_ping(f->ack, payload);
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* recv_go_away(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::go_away, "H2FrameGoAway")) return nullptr;
  auto* f = reinterpret_cast<H2GoAwayObject*>(frame);
  h2::Step<uint32_t> r;
  AbortedRefs aborted;
  {
    Tx t(self);
    std::vector<h2::Aborted> out;
    r = t->recv_go_away(f->last_stream_id, f->error_code, out, t.sink());
    if (r) {
      t.dropped().take(t.conn().goaway_debug);
      t.conn().goaway_debug = Py_NewRef(f->debug_data);
    }
    aborted.take(out);
  }
  if (!r) return raise_h2(r.error());
  Ref list(aborted.list());
  if (!list) return nullptr;
  return Py_BuildValue("(NI)", list.release(), unsigned(*r));
}

const char* const kSidN[] = {"sid", "n"};

PyObject* release_capacity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  uint32_t sid, n;
  if (!parse_args({"release_capacity", kSidN, 2, 2, 2}, args, nargs, kwnames, a) ||
      !to_u32_arg(a[0], "sid", sid) || !to_u32_arg(a[1], "n", n))
    return nullptr;
  h2::Step<uint32_t> r;
  {
    Tx t(self);
    r = t->release_capacity(sid, n, t.sink());
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

const char* const kSidLen[] = {"sid", "payload_len"};

PyObject* release_data_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  uint32_t sid;
  uint64_t len;
  if (!parse_args({"release_data_frame", kSidLen, 2, 2, 2}, args, nargs, kwnames, a) ||
      !to_u32_arg(a[0], "sid", sid) || !to_u64(a[1], "payload_len", len))
    return nullptr;
  {
    Tx t(self);
    t->release_data_frame(sid, len, t.sink());
  }
  Py_RETURN_NONE;
}

// ---- the send path ----------------------------------------------------------------------

PyObject* open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"method", "target", "headers", "end_stream", "is_head", "handle",
                                      "scheme", "authority"};
  PyObject* a[8];
  std::string_view method, target, scheme, authority;
  bool end_stream, is_head, has_scheme = false, has_authority = false;
  std::optional<http::HeaderMap> fields;
  if (!parse_args({"open_stream", names, 8, 6, 6}, args, nargs, kwnames, a) || !to_str(a[0], "method", method) ||
      !to_str(a[1], "target", target) || !headers_arg(a[2], "headers", fields) ||
      !to_bool(a[3], "end_stream", end_stream) || !to_bool(a[4], "is_head", is_head) ||
      (a[6] && !to_opt_str(a[6], "scheme", scheme, has_scheme)) ||
      (a[7] && !to_opt_str(a[7], "authority", authority, has_authority))) {
    // The caller holds a claimed slot: every open that creates no stream
    // gives it back, a refused argument too.
    Tx t(self);
    t->state.release_slot_count();
    return nullptr;
  }
  if (fields && h2::has_padded_value(*fields)) {
    {
      Tx t(self);
      t->state.release_slot_count();
    }
    return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  }
  h2::OutHead head;
  auto built = h2::build_request_head(method, target, has_scheme ? &scheme : nullptr,
                                      has_authority ? &authority : nullptr, head);
  h2::Step<std::optional<uint32_t>> r;
  {
    Tx t(self);
    r = t->open_stream(head, built ? nullptr : &built.error(), fields ? &*fields : nullptr, end_stream, is_head,
                       a[5]);
    if (r && *r) Py_INCREF(a[5]);  // the record's reference
  }
  if (!r) return raise_h2(r.error());
  if (!*r) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(**r);
}

PyObject* send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "data", "offset", "end_stream"};
  PyObject* a[4];
  uint32_t sid;
  std::string_view data;
  uint64_t offset;
  bool end_stream;
  if (!parse_args({"send_data", names, 4, 4, 4}, args, nargs, kwnames, a) || !to_u32_arg(a[0], "sid", sid) ||
      !to_bytes(a[1], "data", data) || !to_u64(a[2], "offset", offset) || !to_bool(a[3], "end_stream", end_stream))
    return nullptr;
  if (offset > data.size()) {
    PyErr_Format(PyExc_ValueError, "offset %llu is past the end of data (%zu bytes)", (unsigned long long)offset,
                 data.size());
    return nullptr;
  }
  h2::Step<h2::SendVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->send_data(sid, data, offset, end_stream, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* send_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "trailers"};
  PyObject* a[2];
  uint32_t sid;
  if (!parse_args({"send_trailers", names, 2, 2, 2}, args, nargs, kwnames, a) || !to_u32_arg(a[0], "sid", sid))
    return nullptr;
  if (!is_header_map(a[1])) {
    PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap, not %T", a[1]);
    return nullptr;
  }
  http::HeaderMap trailers = copy_header_map(a[1]);
  if (h2::has_padded_value(trailers)) return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  h2::Step<h2::SendVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->send_trailers(sid, trailers, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* send_response_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "status", "headers", "end_stream"};
  PyObject* a[4];
  uint32_t sid;
  uint16_t status;
  bool end_stream;
  std::optional<http::HeaderMap> fields;
  if (!parse_args({"send_response_head", names, 4, 4, 4}, args, nargs, kwnames, a) ||
      !to_u32_arg(a[0], "sid", sid) || !to_u16(a[1], "status", status) || !headers_arg(a[2], "headers", fields) ||
      !to_bool(a[3], "end_stream", end_stream))
    return nullptr;
  if (fields && (h2::has_forbidden_fields(*fields) || h2::has_padded_value(*fields)))
    return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  h2::OutHead head;
  auto built = h2::build_response_head(status, head);
  Conn& c = conn_of(self);
  std::string_view date;
  // The option is fixed at construction: read without the lock. An
  // interim head goes out without one.
  if (status >= 200 && c.core.state.auto_date_header() && !(fields && fields->contains("date")))
    date = http::http_date_now();
  h2::Step<h2::SendVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->send_response_head(sid, head, built ? nullptr : &built.error(), fields ? &*fields : nullptr, date,
                              end_stream, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  if (!r) return raise_h2(r.error());
  return new_send_verdict(*r, std::move(handle));
}

PyObject* next_capacity_wake(PyObject* self, PyObject*) {
  Ref handle;
  {
    Tx t(self);
    handle = take_ref(t->next_capacity_wake());
  }
  return or_none(handle);
}

// ---- write batches -----------------------------------------------------------------------

struct BatchObject {
  PyObject_HEAD
  PyObject* owner;  // the H2Streams the buffer goes back to
  std::string buf;  // constructed in place by make_batch
};

PyObject* make_batch(PyObject* owner, std::string&& buf) {
  PyObject* o = g_batch->tp_alloc(g_batch, 0);
  if (!o) return nullptr;
  auto* b = reinterpret_cast<BatchObject*>(o);
  new (&b->buf) std::string(std::move(buf));
  b->owner = Py_NewRef(owner);
  return o;
}

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
    Conn& c = conn_of(b->owner);
    std::lock_guard<std::mutex> g(c.mu);
    c.core.give_back(buf);
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

// Everything that can fail is made before the take, except the view over
// the taken bytes; if that fails the frames go back to the connection,
// ahead of whatever was queued since (their credits never left).
PyObject* take_pending(PyObject* self, PyObject*) {
  Ref out(PyTuple_New(2));
  if (!out) return nullptr;
  Ref batch(make_batch(self, std::string()));
  if (!batch) return nullptr;
  std::string& buf = reinterpret_cast<BatchObject*>(batch.get())->buf;
  bool stopping;
  {
    Tx t(self);
    stopping = t->take_pending(buf);
  }
  Ref view(PyMemoryView_FromObject(batch.get()));
  if (!view) {
    // Nothing exports the bytes: they leave the batch, which then gives an
    // empty buffer back when it goes.
    std::string back;
    back.swap(buf);
    Tx t(self);
    t->untake(back);
    return nullptr;
  }
  PyTuple_SET_ITEM(out.get(), 0, view.release());
  PyTuple_SET_ITEM(out.get(), 1, Py_NewRef(stopping ? Py_True : Py_False));
  return out.release();
}

PyObject* credit_written(PyObject* self, PyObject*) {
  std::vector<Ref> wake;
  {
    Tx t(self);
    std::vector<Handle> handles;
    t->credit_written(handles);
    wake.reserve(handles.size());
    for (Handle h : handles) wake.push_back(take_ref(h));
  }
  return handle_list(wake);
}

PyObject* has_pending(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = t->has_pending();
  }
  return bool_obj(b);
}

// ---- writers and task handles ---------------------------------------------------------------

template <bool (h2::ConnCore::*F)()>
PyObject* bool_step(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = (t.core().*F)();
  }
  return bool_obj(b);
}

PyObject* store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"read", "pump"};
  PyObject* a[2];
  if (!parse_args({"store_task_handles", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
  {
    Tx t(self);
    Conn& c = t.conn();
    t.dropped().take(c.read_handle);
    t.dropped().take(c.pump_handle);
    c.read_handle = a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    c.pump_handle = a[1] == Py_None ? nullptr : Py_NewRef(a[1]);
  }
  Py_RETURN_NONE;
}

template <PyObject* Conn::*Slot>
PyObject* take_handle(PyObject* self, PyObject*) {
  PyObject* h;
  {
    Tx t(self);
    h = std::exchange(t.conn().*Slot, nullptr);
  }
  return h ? h : Py_NewRef(Py_None);
}

PyObject* stop_pump(PyObject* self, PyObject*) {
  {
    Tx t(self);
    t->stop_pump();
  }
  Py_RETURN_NONE;
}

// ---- resets, failure and shutdown -------------------------------------------------------

PyObject* recv_reset(PyObject* self, PyObject* frame) {
  if (!frame_arg(frame, H2Event::rst_stream, "H2FrameRstStream")) return nullptr;
  auto* f = reinterpret_cast<H2PairObject*>(frame);
  h2::Step<std::optional<h2::RecvResetVerdict>> r;
  Ref handle;
  {
    Tx t(self);
    r = t->recv_reset(f->stream_id, f->value, t.sink());
    if (r && *r) handle = take_ref((*r)->handle);
  }
  if (!r) return raise_h2(r.error());
  if (!*r) Py_RETURN_NONE;
  const h2::RecvResetVerdict& v = **r;
  Ref stop(opt_stop(v.stop));
  if (!stop) return nullptr;
  return Py_BuildValue("(NNOI)", or_none(handle), stop.release(), v.notify_body ? Py_True : Py_False,
                       unsigned(v.flags));
}

PyObject* reset_result(const h2::Step<h2::ResetVerdict>& r, Ref handle) {
  if (!r) return raise_h2(r.error());
  return new_reset_verdict(r->stop, r->flags, std::move(handle));
}

PyObject* reset_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "reason", "initiator"};
  PyObject* a[3];
  uint32_t sid, reason;
  h2::Initiator who = h2::Initiator::user;
  if (!parse_args({"reset_stream", names, 3, 3, 2}, args, nargs, kwnames, a) || !to_u32_arg(a[0], "sid", sid) ||
      !to_u32_arg(a[1], "reason", reason) || (a[2] && !to_initiator(a[2], who)))
    return nullptr;
  h2::Step<h2::ResetVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->reset_stream(sid, reason, who, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* reset_on_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "reason"};
  PyObject* a[2];
  uint32_t sid, reason;
  if (!parse_args({"reset_on_error", names, 2, 2, 2}, args, nargs, kwnames, a) || !to_u32_arg(a[0], "sid", sid) ||
      !to_u32_arg(a[1], "reason", reason))
    return nullptr;
  h2::Step<h2::ResetVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->reset_on_error(sid, reason, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* aclose_body(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  h2::Step<h2::ResetVerdict> r;
  Ref handle;
  {
    Tx t(self);
    r = t->aclose_body(sid, t.sink());
    if (r) handle = take_ref(r->handle);
  }
  return reset_result(r, std::move(handle));
}

PyObject* fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc", "message"};
  PyObject* a[2];
  if (!parse_args({"fail", names, 2, 2, 0}, args, nargs, kwnames, a)) return nullptr;
  PyObject* exc = a[0] && a[0] != Py_None ? a[0] : nullptr;
  if (exc && !PyExceptionInstance_Check(exc)) {
    PyErr_Format(PyExc_TypeError, "argument 'exc' must be an exception or None, not %T", exc);
    return nullptr;
  }
  std::string_view message = "connection closed";
  if (a[1] && !to_str(a[1], "message", message)) return nullptr;
  // The driver passes the copy it keeps (without a traceback); getters hand
  // out this same object.
  Ref copy = Ref::borrow(exc);
  AbortedRefs aborted;
  {
    Tx t(self);
    std::vector<h2::Aborted> out;
    bool recorded = t->fail(std::string(message), out, t.sink());
    if (recorded && copy) t.conn().error = copy.release();
    aborted.take(out);
  }
  // A refused copy is released here, unlocked.
  return aborted.list();
}

PyObject* conn_error(PyObject* self, PyObject*) {
  Ref error;
  bool failed;
  std::string message;
  {
    Tx t(self);
    failed = t->state.failed();
    if (failed) {
      error = Ref::borrow(t.conn().error);
      if (!error) message = t->state.failure_message();
    }
  }
  if (!failed) Py_RETURN_NONE;
  if (error) return error.release();
  Ref text(str_obj(message));
  if (!text) return nullptr;
  return PyObject_CallOneArg(exc(Exc::ConnectionClosedError), text.get());
}

PyObject* is_failed(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = t->state.failed();
  }
  return bool_obj(b);
}

PyObject* is_closed(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = t->state.failed() || t->state.peer_goaway().has_value();
  }
  return bool_obj(b);
}

PyObject* send_goaway(PyObject* self, PyObject* arg) {
  uint32_t reason;
  if (!to_u32_arg(arg, "reason", reason)) return nullptr;
  h2::Step<uint32_t> r;
  {
    Tx t(self);
    r = t->send_goaway(reason);
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* begin_graceful_shutdown(PyObject* self, PyObject*) {
  h2::Step<uint32_t> r;
  {
    Tx t(self);
    r = t->begin_graceful_shutdown();
  }
  if (!r) return raise_h2(r.error());
  return PyLong_FromUnsignedLong(*r);
}

PyObject* maybe_goaway_reply(PyObject* self, PyObject*) {
  uint32_t flags;
  {
    Tx t(self);
    flags = t->maybe_goaway_reply();
  }
  return PyLong_FromUnsignedLong(flags);
}

PyObject* goaway_info(PyObject* self, PyObject*) {
  std::optional<h2::ConnState::PeerGoAway> g;
  Ref debug;
  {
    Tx t(self);
    g = t->state.peer_goaway();
    debug = Ref::borrow(t.conn().goaway_debug);
  }
  if (!g) Py_RETURN_NONE;
  return Py_BuildValue("(IIO)", unsigned(g->last_stream_id), unsigned(g->code),
                       debug ? debug.get() : Py_None);
}

// ---- slots, ids and introspection ------------------------------------------------------------

PyObject* try_claim_slot(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = t->state.try_claim_slot();
  }
  return bool_obj(b);
}

PyObject* can_open(PyObject* self, PyObject*) {
  bool b;
  {
    Tx t(self);
    b = t->state.can_open();
  }
  return bool_obj(b);
}

PyObject* release_slot_count(PyObject* self, PyObject*) {
  {
    Tx t(self);
    t->state.release_slot_count();
  }
  Py_RETURN_NONE;
}

PyObject* apply_stream_limit(PyObject* self, PyObject* arg) {
  std::optional<uint64_t> limit;
  if (!opt_u64(arg, "limit", limit)) return nullptr;
  {
    Tx t(self);
    t->state.apply_stream_limit(limit);
  }
  Py_RETURN_NONE;
}

PyObject* accepted(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  {
    Tx t(self);
    t->state.accepted(sid);
  }
  Py_RETURN_NONE;
}

template <void (h2::ConnState::*F)(uint32_t) noexcept>
PyObject* set_id(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  {
    Tx t(self);
    (t->state.*F)(sid);
  }
  Py_RETURN_NONE;
}

// A per-stream reading: f(record) under the lock, None without a record.
template <class F>
PyObject* stream_read(PyObject* self, PyObject* arg, F&& f) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  std::optional<decltype(f(std::declval<const h2::StreamRecord&>()))> v;
  {
    Tx t(self);
    if (const h2::StreamRecord* r = t->state.streams().find(sid)) v = f(*r);
  }
  if (!v) Py_RETURN_NONE;
  using T = std::remove_cvref_t<decltype(*v)>;
  if constexpr (std::is_same_v<T, bool>)
    return bool_obj(*v);
  else if constexpr (std::is_same_v<T, std::string>)
    return ascii_obj(*v);
  else
    return PyLong_FromUnsignedLongLong((unsigned long long)*v);
}

PyObject* has_stream(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  bool b;
  {
    Tx t(self);
    b = t->state.streams().find(sid) != nullptr;
  }
  return bool_obj(b);
}

PyObject* is_recv_end_stream(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  bool b;
  {
    Tx t(self);
    const h2::StreamRecord* r = t->state.streams().find(sid);
    b = r && r->state.is_recv_end_stream();
  }
  return bool_obj(b);
}

PyObject* in_reset_store(PyObject* self, PyObject* arg) {
  uint32_t sid;
  if (!to_u32_arg(arg, "sid", sid)) return nullptr;
  bool b;
  {
    Tx t(self);
    b = t->state.resets().holds(sid);
  }
  return bool_obj(b);
}

PyObject* stream_state(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.state.describe(); });
}
PyObject* stream_recv_unreleased(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return uint64_t(r.recv_unreleased); });
}
PyObject* stream_recv_reclaimed(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.recv_reclaimed; });
}
PyObject* stream_data_budget_charged(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.data_budget_charged; });
}
PyObject* stream_send_buffered(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return r.send_buffered; });
}
PyObject* stream_send_window(PyObject* self, PyObject* arg) {
  return stream_read(self, arg, [](const h2::StreamRecord& r) { return uint64_t(r.send_flow.window_size()); });
}

// ---- properties ---------------------------------------------------------------------------

template <class F>
PyObject* read_prop(PyObject* self, F&& f) {
  decltype(f(std::declval<const h2::ConnState&>())) v;
  {
    Tx t(self);
    v = f(t->state);
  }
  using T = std::remove_cvref_t<decltype(v)>;
  if constexpr (std::is_same_v<T, bool>) {
    return bool_obj(v);
  } else if constexpr (std::is_same_v<T, std::optional<uint64_t>> || std::is_same_v<T, std::optional<uint32_t>>) {
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong((unsigned long long)*v);
  } else if constexpr (std::is_signed_v<T>) {
    return PyLong_FromLongLong((long long)v);
  } else {
    return PyLong_FromUnsignedLongLong((unsigned long long)v);
  }
}

#define PROP(name, expr)                                                        \
  PyObject* prop_##name(PyObject* self, void*) {                               \
    return read_prop(self, [](const h2::ConnState& s) { return (expr); });    \
  }

PROP(graceful, s.graceful())
PROP(is_server, s.is_server())
PROP(num_streams, s.num_streams())
PROP(stream_limit, s.stream_limit())
PROP(max_stream_id, s.max_stream_id())
PROP(goaway_replied, s.goaway_replied())
PROP(shutdown_final, s.shutdown_final())
PROP(conn_send_window, uint64_t(s.conn_send_flow().window_size()))
PROP(num_open_streams, s.num_open_streams())
PROP(last_processed_id, s.last_processed_id())
PROP(local_error_resets, s.local_error_resets())
PROP(conn_recv_available, int64_t(s.conn_recv_flow().available()))
PROP(peer_max_frame_size, s.peer_max_frame_size())
PROP(peer_initial_window_size, s.peer_initial_window_size())
PROP(data_frame_budget_available, s.data_frame_budget().available())
PROP(peer_max_concurrent_streams, s.peer_max_concurrent_streams())
PROP(max_local_error_reset_streams, s.max_local_error_reset_streams())
PROP(data_frame_budget_empty_frames, s.data_frame_budget().empty_frames())
PROP(max_pending_accept_reset_streams, s.max_pending_accept_reset_streams())

#undef PROP

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
    {"recv_go_away", meth1<recv_go_away, "recv_go_away", "frame">, kOneArg,
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
    {"take_read_handle", N(take_handle<&Conn::read_handle>),
     VELMORA_DOC("take_read_handle", "($self, /)", "The read task handle, once; then None.")},
    {"take_pump_handle", N(take_handle<&Conn::pump_handle>),
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

#define G(name) {#name, get<prop_##name>, nullptr, nullptr, nullptr}
PyGetSetDef kGetSet[] = {
    G(graceful), G(is_server), G(num_streams), G(stream_limit), G(max_stream_id), G(goaway_replied),
    G(shutdown_final), G(conn_send_window), G(num_open_streams), G(last_processed_id), G(local_error_resets),
    G(conn_recv_available), G(peer_max_frame_size), G(peer_initial_window_size), G(data_frame_budget_available),
    G(peer_max_concurrent_streams), G(max_local_error_reset_streams), G(data_frame_budget_empty_frames),
    G(max_pending_accept_reset_streams),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef G

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

PyType_Spec kStreamsSpec = {"velmora._velmora.H2Streams", sizeof(StreamsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kStreamsSlots};

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

int add_h2_streams(PyObject* m) {
  if (!(g_streams = add_type(m, &kStreamsSpec))) return -1;
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
