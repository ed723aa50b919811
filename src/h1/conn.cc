// H1ClientState and H1ServerState. Each method converts its arguments, runs
// one transition of the core state under the object's lock, and builds its
// Python results after unlocking; the references a transition lets go of
// come back in its result and die with it, after the lock.
#include "src/h1/conn.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

#include "src/api.h"
#include "src/errors.h"
#include "src/h1/body_decoder.h"
#include "src/http/header_map.h"
#include "src/module.h"

namespace velmora::py {

void PyHandles::install_decoder(const Ref& d, h1::BodyDecoder&& core) {
  h1_body_decoder_install(d.get(), std::move(core));
}
void PyHandles::take_leftover(const Ref& d, std::string& out) { h1_body_decoder_take_leftover(d.get(), out); }

namespace {

using Client = h1::ClientState<PyHandles>;
using Server = h1::ServerState<PyHandles>;
using ClientObj = H1ClientStateObject;
using ServerObj = H1ServerStateObject;

// ---- conversions ------------------------------------------------------------

// A stored object from an argument: None (or absent) is "none".
Ref handle(PyObject* o) { return (!o || o == Py_None) ? Ref() : Ref::borrow(o); }

// A result object: the handle itself, or None.
PyObject* give(Ref&& r) noexcept {
  PyObject* o = r.release();
  return o ? o : Py_NewRef(Py_None);
}

// A tuple of new references (stolen); fails cleanly if any is null.
PyObject* tuple(std::initializer_list<PyObject*> items) {
  bool ok = true;
  for (PyObject* o : items) ok = ok && o;
  PyObject* t = ok ? PyTuple_New(Py_ssize_t(items.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    if (t)
      PyTuple_SET_ITEM(t, i++, o);
    else
      Py_XDECREF(o);
  }
  return t;
}

PyObject* bytes_or_none(const std::optional<std::string>& s) {
  return s ? bytes_obj(*s) : Py_NewRef(Py_None);
}

// data: bytes or None.
bool received_arg(PyObject* o, h1::Received<Ref>& out) {
  if (!o || o == Py_None) return true;
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument 'data' must be bytes or None, not %T", o);
    return false;
  }
  out = {Ref::borrow(o), {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))}};
  return true;
}

// error / exc: an exception instance or None.
bool error_arg(PyObject* o, const char* arg, Ref& out) {
  if (!o || o == Py_None) return true;
  if (!PyExceptionInstance_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be an exception or None, not %T", arg, o);
    return false;
  }
  out = Ref::borrow(o);
  return true;
}

bool seq_arg(PyObject* o, uint64_t& seq) { return to_u64(o, "seq", seq); }

const char* tf(bool b) noexcept { return b ? "true" : "false"; }

// The codec argument of both constructors.
bool codec_arg(PyObject* o) {
  if (!is_h1_codec(o)) {
    PyErr_Format(PyExc_TypeError, "argument 'codec' must be H1Codec, not %T", o);
    return false;
  }
  return true;
}

// ---- steps both states take alike ---------------------------------------------

// A step without arguments answering one handle (a transport, an event, a
// task handle, a writer, a decoder), or None.
template <class Obj, auto F>
PyObject* ref_step(PyObject* self, PyObject*) {
  Ref r;
  {
    Transition<Obj> t(self);
    r = std::invoke(F, *t);
  }
  return give(std::move(r));
}

template <class Obj, auto F>
PyObject* bool_step(PyObject* self, PyObject*) {
  bool b;
  {
    Transition<Obj> t(self);
    b = std::invoke(F, *t);
  }
  return bool_obj(b);
}

template <class Obj, auto F>
PyObject* void_step(PyObject* self, PyObject*) {
  {
    Transition<Obj> t(self);
    std::invoke(F, *t);
  }
  Py_RETURN_NONE;
}

// A getter reading one flag.
template <class Obj, auto F>
PyObject* flag(PyObject* self, void*) {
  return bool_step<Obj, F>(self, nullptr);
}

template <class Obj>
PyObject* get_codec(PyObject* self, void*) {
  return Py_NewRef(static_cast<Obj*>(Obj::of(self))->codec);
}

template <class Obj>
PyObject* store_watcher_handle(PyObject* self, PyObject* h) {
  Ref refused;
  {
    Transition<Obj> t(self);
    refused = t->store_watcher_handle(handle(h));
  }
  return give(std::move(refused));
}

template <class Obj>
PyObject* take_watcher_result(PyObject* self, PyObject*) {
  typename decltype(Obj::state)::Taken r;
  {
    Transition<Obj> t(self);
    r = t->take_watcher_result();
  }
  return tuple({give(std::move(r.data)), give(std::move(r.error))});
}

// The arguments of watcher_completed(data=None, error=None).
bool watcher_args(PyObject* const* a, h1::Received<Ref>& data, Ref& error) {
  return received_arg(a[0], data) && error_arg(a[1], "error", error);
}

// ---- shared slots -------------------------------------------------------------

// The states accept any arguments in __init__, so that a driver's subclass
// can take its own; the state is built from the documented ones in __new__.
int state_init(PyObject*, PyObject*, PyObject*) { return 0; }

template <class Obj>
int state_traverse(PyObject* self, visitproc visit, void* arg) {
  // The collector runs with every other thread stopped outside a state
  // lock (no transition calls into Python), so the fields are read directly.
  Py_VISIT(Py_TYPE(self));
  auto* o = static_cast<Obj*>(Obj::of(self));
  Py_VISIT(o->codec);
  int rc = 0;
  o->state.visit([&](const Ref& r) {
    if (!rc && r) rc = visit(r.get(), arg);
  });
  return rc;
}

// Room for every handle a state holds.
struct Bag {
  Ref items[8];
  int n = 0;
  void push_back(Ref&& r) noexcept { items[n++] = std::move(r); }
};

template <class Obj>
int state_clear(PyObject* self) {
  // The codec stays: it holds no Python objects, so it is never what keeps a
  // cycle alive, and the core reaches it until the object is freed.
  Bag bag;
  {
    Transition<Obj> t(self);
    t->clear(bag);
  }
  return 0;
}

template <class Obj>
void state_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* o = static_cast<Obj*>(Obj::of(self));
  Bag bag;
  o->state.clear(bag);  // released once the object is gone
  destroy(o);
  PyObject* codec = std::exchange(o->codec, nullptr);
  tp->tp_free(self);
  for (Ref& r : bag.items) r = Ref();
  Py_XDECREF(codec);
  Py_DECREF(tp);
}

// ============================================================================
// H1ClientState
// ============================================================================

PyObject* client_new(PyTypeObject* type, PyObject* const* a) {
  if (!codec_arg(a[0])) return nullptr;
  PyObject* self = create<ClientObj>(type, as_h1_codec(a[0]), handle(a[1]));
  if (self) static_cast<ClientObj*>(ClientObj::of(self))->codec = Py_NewRef(a[0]);
  return self;
}

PyObject* c_begin_send(PyObject* self, PyObject*) {
  Client::SendStart s;
  {
    Transition<ClientObj> t(self);
    s = t->begin_send();
  }
  return tuple({give(std::move(s.transport)), give(std::move(s.watcher_done))});
}

PyObject* c_store_writer(PyObject* self, PyObject* scope) {
  Client::Store s;
  {
    Transition<ClientObj> t(self);
    s = t->store_writer(handle(scope));
  }
  return give(std::move(s.refused));
}

PyObject* c_set_peer_http10(PyObject* self, PyObject* value) {
  bool v;
  if (!to_bool(value, "value", v)) return nullptr;
  {
    Transition<ClientObj> t(self);
    t->set_peer_http10(v);
  }
  Py_RETURN_NONE;
}

PyObject* c_finish_exchange(PyObject* self, PyObject* arg) {
  bool keep_alive;
  if (!to_bool(arg, "resp_keep_alive", keep_alive)) return nullptr;
  Client::Finish f;
  {
    Transition<ClientObj> t(self);
    f = t->finish_exchange(keep_alive);
  }
  return tuple({bool_obj(f.reuse), bool_obj(f.fully_sent), give(std::move(f.transport))});
}

PyObject* c_arm_watcher(PyObject* self, PyObject* done) {
  Client::Arm a;
  {
    Transition<ClientObj> t(self);
    a = t->arm_watcher(handle(done));
  }
  return bool_obj(a.armed);
}

PyObject* c_watcher_completed(PyObject* self, PyObject* const* a) {
  h1::Received<Ref> data;
  Ref error;
  if (!watcher_args(a, data, error)) return nullptr;
  Client::WatchResult w;
  {
    Transition<ClientObj> t(self);
    w = t->watcher_completed(std::move(data), std::move(error));
  }
  return tuple({PyLong_FromLong(long(w.verdict)), give(std::move(w.transport))});
}

PyObject* c_take_watcher_handoff(PyObject* self, PyObject*) {
  Client::Handoff h;
  {
    Transition<ClientObj> t(self);
    h = t->take_watcher_handoff();
  }
  return tuple({give(std::move(h.handle)), give(std::move(h.data)), give(std::move(h.error))});
}

PyObject* c_fail(PyObject* self, PyObject* const* a) {
  Ref exc;
  if (!error_arg(a[0], "exc", exc)) return nullptr;
  Client::Fail f;
  {
    Transition<ClientObj> t(self);
    f = t->fail(std::move(exc));
  }
  return give(std::move(f.transport));
}

PyObject* c_mark_closed(PyObject* self, PyObject*) {
  Client::Closed c;
  {
    Transition<ClientObj> t(self);
    c = t->mark_closed();
  }
  return tuple({give(std::move(c.transport)), give(std::move(c.watcher_done)), give(std::move(c.writer)),
                bool_obj(c.idle)});
}

PyObject* c_repr(PyObject* self) {
  bool c, f, b, e, w;
  ClientObj::of(self)->with([&](const Client& s) {
    c = s.closed();
    f = s.failed();
    b = s.busy();
    e = s.exchange_active();
    w = s.has_watcher();
  });
  return PyUnicode_FromFormat("H1ClientState(closed=%s, failed=%s, busy=%s, exchange_active=%s, watcher=%s)", tf(c),
                              tf(f), tf(b), tf(e), tf(w));
}

PyObject* c_get_error(PyObject* self, void*) {
  Ref e;
  {
    Transition<ClientObj> t(self);
    e = t->error();
  }
  return give(std::move(e));
}

PyMethodDef kClientMethods[] = {
    VELMORA_METHOD(H1ClientState, try_begin_exchange, bool_step<ClientObj, &Client::try_begin_exchange>),
    VELMORA_METHOD(H1ClientState, begin_send, c_begin_send),
    VELMORA_METHOD(H1ClientState, exchange_started, void_step<ClientObj, &Client::exchange_started>),
    VELMORA_METHOD(H1ClientState, store_writer, c_store_writer),
    VELMORA_METHOD(H1ClientState, writer_done, void_step<ClientObj, &Client::writer_done>),
    VELMORA_METHOD(H1ClientState, take_writer, ref_step<ClientObj, &Client::take_writer>),
    VELMORA_METHOD(H1ClientState, set_peer_http10, c_set_peer_http10),
    VELMORA_METHOD(H1ClientState, finish_exchange, c_finish_exchange),
    VELMORA_METHOD(H1ClientState, end_exchange, bool_step<ClientObj, &Client::end_exchange>),
    VELMORA_METHOD(H1ClientState, arm_watcher, c_arm_watcher),
    VELMORA_METHOD(H1ClientState, store_watcher_handle, store_watcher_handle<ClientObj>),
    VELMORA_METHOD(H1ClientState, watcher_completed, c_watcher_completed),
    VELMORA_METHOD(H1ClientState, watcher_aborted, void_step<ClientObj, &Client::watcher_aborted>),
    VELMORA_METHOD(H1ClientState, watcher_done, ref_step<ClientObj, &Client::watcher_done>),
    VELMORA_METHOD(H1ClientState, take_watcher_handle, ref_step<ClientObj, &Client::take_watcher_handle>),
    VELMORA_METHOD(H1ClientState, take_watcher_handoff, c_take_watcher_handoff),
    VELMORA_METHOD(H1ClientState, take_watcher_result, take_watcher_result<ClientObj>),
    VELMORA_METHOD(H1ClientState, fail, c_fail),
    VELMORA_METHOD(H1ClientState, close_now, ref_step<ClientObj, &Client::close_now>),
    VELMORA_METHOD(H1ClientState, mark_closed, c_mark_closed),
    VELMORA_METHOD(H1ClientState, upgrade, ref_step<ClientObj, &Client::upgrade>),
    VELMORA_METHOD(H1ClientState, transport_ref, ref_step<ClientObj, &Client::transport_ref>),
    VELMORA_METHOD(H1ClientState, is_dead, bool_step<ClientObj, &Client::is_dead>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kClientGetSet[] = {
    VELMORA_GETTER(H1ClientState, codec, get_codec<ClientObj>),
    VELMORA_GETTER(H1ClientState, error, c_get_error),
    VELMORA_GETTER(H1ClientState, closed, flag<ClientObj, &Client::closed>),
    VELMORA_GETTER(H1ClientState, upgraded, flag<ClientObj, &Client::upgraded>),
    VELMORA_GETTER(H1ClientState, busy, flag<ClientObj, &Client::busy>),
    VELMORA_GETTER(H1ClientState, has_watcher, flag<ClientObj, &Client::has_watcher>),
    VELMORA_GETTER(H1ClientState, peer_http10, flag<ClientObj, &Client::peer_http10>),
    VELMORA_GETTER(H1ClientState, writer_finished, flag<ClientObj, &Client::writer_finished>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kClientSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1ClientState)},
    {Py_tp_new, VELMORA_NEW(H1ClientState, client_new)},
    {Py_tp_init, reinterpret_cast<void*>(state_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<ClientObj>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse<ClientObj>)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear<ClientObj>)},
    {Py_tp_repr, slot<c_repr>},
    {Py_tp_methods, kClientMethods},
    {Py_tp_getset, kClientGetSet},
    {0, nullptr},
};

PyType_Spec kClientSpec = {"velmora._velmora.H1ClientState", sizeof(ClientObj), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kClientSlots};

// ============================================================================
// H1ServerState
// ============================================================================

PyObject* server_new(PyTypeObject* type, PyObject* const* a) {
  if (!codec_arg(a[0])) return nullptr;
  bool keep_alive = true, half_close = false;
  if ((a[2] && !to_bool(a[2], "keep_alive", keep_alive)) || (a[3] && !to_bool(a[3], "half_close", half_close)))
    return nullptr;
  PyObject* self = create<ServerObj>(type, as_h1_codec(a[0]), handle(a[1]), keep_alive, half_close);
  if (self) static_cast<ServerObj*>(ServerObj::of(self))->codec = Py_NewRef(a[0]);
  return self;
}

PyObject* read_result(Server::Read&& r) {
  int code = int(r.code);
  return tuple({PyLong_FromLong(code), give(std::move(r.obj))});
}

PyObject* s_begin_read(PyObject* self, PyObject*) {
  const auto now = h1::MonoClock::now();
  Server::Read r;
  {
    Transition<ServerObj> t(self);
    r = t->begin_read(now);
  }
  return read_result(std::move(r));
}

PyObject* s_drain_done(PyObject* self, PyObject* arg) {
  bool complete;
  if (!to_bool(arg, "complete", complete)) return nullptr;
  const auto now = h1::MonoClock::now();
  Server::Read r;
  {
    Transition<ServerObj> t(self);
    r = t->drain_done(complete, now);
  }
  return read_result(std::move(r));
}

PyObject* s_accept_head(PyObject* self, PyObject* arg) {
  std::string_view data;
  if (!to_bytes(arg, "data", data)) return nullptr;
  // The decoder object is made before locking; it is filled only if a head
  // completes, and dropped otherwise.
  Ref fresh(h1_body_decoder_new(h1::BodyDecoder(h1::BodyFraming::length, 0)));
  if (!fresh) return nullptr;
  Server::Accepted a;
  {
    Transition<ServerObj> t(self);
    a = t->accept_head(data, std::move(fresh));
  }
  if (!a.status) return raise(a.status.error());
  if (*a.status == Server::Accept::none) Py_RETURN_NONE;
  PyObject* head = new_h1_request_head(std::move(a.head));
  return tuple({head, PyLong_FromUnsignedLongLong(a.seq), give(std::move(a.decoder))});
}

PyObject* s_head_read_overdue(PyObject* self, PyObject* arg) {
  double timeout = PyFloat_AsDouble(arg);
  if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
  if (std::isnan(timeout)) {  // compares false both ways: it would expire every head read at once
    PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds, not NaN");
    return nullptr;
  }
  const auto now = h1::MonoClock::now();
  Server::Overdue o;
  {
    Transition<ServerObj> t(self);
    o = t->head_read_overdue(timeout, now);
  }
  PyObject* remaining = o.remaining ? PyFloat_FromDouble(*o.remaining) : Py_NewRef(Py_None);
  return tuple({bool_obj(o.expired), remaining, give(std::move(o.transport))});
}

PyObject* s_mark_closed(PyObject* self, PyObject*) {
  Server::Closed c;
  {
    Transition<ServerObj> t(self);
    c = t->mark_closed();
  }
  return tuple({give(std::move(c.transport)), give(std::move(c.watcher_done)), bool_obj(c.ended)});
}

// Per-request methods taking (seq).
template <class R, class F>
bool with_seq(PyObject* self, PyObject* arg, R& out, F&& f) {
  uint64_t seq;
  if (!seq_arg(arg, seq)) return false;
  Transition<ServerObj> t(self);
  out = f(*t, seq);
  return true;
}

// Per-request steps answering a bool or a transport.
template <auto F>
PyObject* seq_bool(PyObject* self, PyObject* arg) {
  bool v;
  if (!with_seq(self, arg, v, [](Server& s, uint64_t q) { return std::invoke(F, s, q); })) return nullptr;
  return bool_obj(v);
}

template <auto F>
PyObject* seq_ref(PyObject* self, PyObject* arg) {
  Ref r;
  if (!with_seq(self, arg, r, [](Server& s, uint64_t q) { return std::invoke(F, s, q); })) return nullptr;
  return give(std::move(r));
}

PyObject* s_end_body_read(PyObject* self, PyObject* const* a) {
  uint64_t seq;
  bool complete;
  if (!seq_arg(a[0], seq) || !to_bool(a[1], "complete", complete)) return nullptr;
  ServerObj::of(self)->with([&](Server& s) { s.end_body_read(seq, complete); });
  Py_RETURN_NONE;
}

PyObject* s_peer_closed_now(PyObject* self, PyObject* arg) {
  std::optional<bool> v;
  if (!with_seq(self, arg, v, [](Server& s, uint64_t q) { return s.peer_closed_now(q); })) return nullptr;
  return v ? bool_obj(*v) : Py_NewRef(Py_None);
}

PyObject* s_arm_watcher(PyObject* self, PyObject* const* a) {
  uint64_t seq;
  bool want = true, negotiated = false;
  if (!seq_arg(a[0], seq) || (a[2] && !to_bool(a[2], "want", want)) ||
      (a[3] && !to_bool(a[3], "head_negotiated", negotiated)))
    return nullptr;
  Server::Arm r;
  {
    Transition<ServerObj> t(self);
    r = t->arm_watcher(seq, handle(a[1]), want, negotiated);
  }
  return bool_obj(r.armed);
}

PyObject* s_watcher_completed(PyObject* self, PyObject* const* a) {
  h1::Received<Ref> data;
  Ref error;
  if (!watcher_args(a, data, error)) return nullptr;
  Server::Watched w;
  {
    Transition<ServerObj> t(self);
    w = t->watcher_completed(std::move(data), std::move(error));
  }
  return bool_obj(w.peer_gone);
}

PyObject* s_respond_head(PyObject* self, PyObject* const* a) {
  uint64_t seq;
  Server::HeadArgs h;
  bool chunked = false, has_len = false;
  uint64_t len = 0;
  if (!seq_arg(a[0], seq) || !to_u16(a[1], "status", h.status)) return nullptr;
  if (a[4] && a[4] != Py_None) {
    has_len = true;
    if (!to_u64(a[4], "content_length", len)) return nullptr;
  }
  if ((a[5] && !to_bool(a[5], "chunked", chunked)) || (a[6] && !to_bool(a[6], "want", h.want))) return nullptr;
  // A status the encoder can never write is an argument error: refused
  // before the claim, so the state is left as it was.
  h.length = h1::BodyLength::from_args(chunked, has_len, len);
  if (h.status < 100 || h.status > 999) return raise(h1::Error::argument(h1::BadArgument::status));
  if (!h1::length_fits(h.length)) return raise(h1::Error::argument(h1::BadArgument::content_length));
  if (a[2] != Py_None) {
    if (!is_header_map(a[2])) {
      PyErr_Format(PyExc_TypeError, "argument 'headers' must be HeaderMap or None, not %T", a[2]);
      return nullptr;
    }
    h.headers = copy_header_map(a[2]);
  }
  Server::Respond r;
  {
    Transition<ServerObj> t(self);
    r = t->respond_head(seq, std::move(h), handle(a[3]));
  }
  if (r.code != h1::ReqCode::ok)
    return tuple({PyLong_FromLong(long(r.code)), Py_NewRef(Py_None), bool_obj(false), Py_NewRef(Py_None)});
  PyObject* head = h1_response_head_bytes(r.head);
  if (!head) return nullptr;
  return tuple({PyLong_FromLong(0), head, bool_obj(r.armed), give(std::move(r.transport))});
}

PyObject* s_finish_response(PyObject* self, PyObject* arg) {
  Server::Finished f;
  if (!with_seq(self, arg, f, [](Server& s, uint64_t q) { return s.finish_response(q); })) return nullptr;
  return tuple({bool_obj(f.switched), bool_obj(f.close), give(std::move(f.transport)), bytes_or_none(f.leftover)});
}

PyObject* s_detach(PyObject* self, PyObject* arg) {
  Server::Detached d;
  if (!with_seq(self, arg, d, [](Server& s, uint64_t q) { return s.detach(q); })) return nullptr;
  return tuple({PyLong_FromLong(long(d.code)), give(std::move(d.transport)), bytes_or_none(d.leftover)});
}

PyObject* s_repr(PyObject* self) {
  unsigned long long seq;
  bool c, r, p, d, w;
  ServerObj::of(self)->with([&](const Server& s) {
    seq = s.current_seq();
    c = s.closed();
    r = s.reusable();
    p = s.responded();
    d = s.response_done();
    w = s.has_watcher();
  });
  return PyUnicode_FromFormat("H1ServerState(seq=%llu, closed=%s, reusable=%s, responded=%s, response_done=%s, "
                              "watcher=%s)",
                              seq, tf(c), tf(r), tf(p), tf(d), tf(w));
}

PyObject* s_get_current_seq(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(ServerObj::of(self)->with([](const Server& s) { return s.current_seq(); }));
}

PyMethodDef kServerMethods[] = {
    VELMORA_METHOD(H1ServerState, begin_read, s_begin_read),
    VELMORA_METHOD(H1ServerState, drain_done, s_drain_done),
    VELMORA_METHOD(H1ServerState, accept_head, s_accept_head),
    VELMORA_METHOD(H1ServerState, unpark_idle_read, bool_step<ServerObj, &Server::unpark_idle_read>),
    VELMORA_METHOD(H1ServerState, head_read_overdue, s_head_read_overdue),
    VELMORA_METHOD(H1ServerState, fail_read, ref_step<ServerObj, &Server::fail_read>),
    VELMORA_METHOD(H1ServerState, stop_serving, void_step<ServerObj, &Server::stop_serving>),
    VELMORA_METHOD(H1ServerState, mark_closed, s_mark_closed),
    VELMORA_METHOD(H1ServerState, mark_unusable, void_step<ServerObj, &Server::mark_unusable>),
    VELMORA_METHOD(H1ServerState, request_shutdown, ref_step<ServerObj, &Server::request_shutdown>),
    VELMORA_METHOD(H1ServerState, current_decoder, ref_step<ServerObj, &Server::current_decoder>),
    VELMORA_METHOD(H1ServerState, transport_ref, ref_step<ServerObj, &Server::transport_ref>),
    VELMORA_METHOD(H1ServerState, try_send_continue, seq_bool<&Server::try_send_continue>),
    VELMORA_METHOD(H1ServerState, begin_body_read, seq_bool<&Server::begin_body_read>),
    VELMORA_METHOD(H1ServerState, end_body_read, s_end_body_read),
    VELMORA_METHOD(H1ServerState, peer_closed_now, s_peer_closed_now),
    VELMORA_METHOD(H1ServerState, peer_closed_flag, seq_bool<&Server::peer_closed_flag>),
    VELMORA_METHOD(H1ServerState, arm_watcher, s_arm_watcher),
    VELMORA_METHOD(H1ServerState, store_watcher_handle, store_watcher_handle<ServerObj>),
    VELMORA_METHOD(H1ServerState, watcher_completed, s_watcher_completed),
    VELMORA_METHOD(H1ServerState, watcher_aborted, void_step<ServerObj, &Server::watcher_aborted>),
    VELMORA_METHOD(H1ServerState, watcher_done, ref_step<ServerObj, &Server::watcher_done>),
    VELMORA_METHOD(H1ServerState, take_watcher_handle, ref_step<ServerObj, &Server::take_watcher_handle>),
    VELMORA_METHOD(H1ServerState, take_watcher_result, take_watcher_result<ServerObj>),
    VELMORA_METHOD(H1ServerState, close_window, seq_bool<&Server::close_window>),
    VELMORA_METHOD(H1ServerState, respond_head, s_respond_head),
    VELMORA_METHOD(H1ServerState, finish_response, s_finish_response),
    VELMORA_METHOD(H1ServerState, fail_response, seq_ref<&Server::fail_response>),
    VELMORA_METHOD(H1ServerState, detach, s_detach),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kServerGetSet[] = {
    VELMORA_GETTER(H1ServerState, codec, get_codec<ServerObj>),
    VELMORA_GETTER(H1ServerState, closed, flag<ServerObj, &Server::closed>),
    VELMORA_GETTER(H1ServerState, reusable, flag<ServerObj, &Server::reusable>),
    VELMORA_GETTER(H1ServerState, upgraded, flag<ServerObj, &Server::upgraded>),
    VELMORA_GETTER(H1ServerState, half_close, flag<ServerObj, &Server::half_close>),
    VELMORA_GETTER(H1ServerState, keep_alive_enabled, flag<ServerObj, &Server::keep_alive_enabled>),
    VELMORA_GETTER(H1ServerState, shutdown_requested, flag<ServerObj, &Server::shutdown_requested>),
    VELMORA_GETTER(H1ServerState, current_seq, s_get_current_seq),
    VELMORA_GETTER(H1ServerState, has_watcher, flag<ServerObj, &Server::has_watcher>),
    VELMORA_GETTER(H1ServerState, watcher_parked, flag<ServerObj, &Server::watcher_parked>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kServerSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1ServerState)},
    {Py_tp_new, VELMORA_NEW(H1ServerState, server_new)},
    {Py_tp_init, reinterpret_cast<void*>(state_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<ServerObj>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse<ServerObj>)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear<ServerObj>)},
    {Py_tp_repr, slot<s_repr>},
    {Py_tp_methods, kServerMethods},
    {Py_tp_getset, kServerGetSet},
    {0, nullptr},
};

PyType_Spec kServerSpec = {"velmora._velmora.H1ServerState", sizeof(ServerObj), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kServerSlots};

}  // namespace

int add_h1_conn(PyObject* m) {
  if (!add_type(m, &kServerSpec)) return -1;
  return add_type(m, &kClientSpec) ? 0 : -1;
}

}  // namespace velmora::py
