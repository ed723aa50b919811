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
bool watcher_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, h1::Received<Ref>& data,
                  Ref& error) {
  static const char* const names[] = {"data", "error"};
  PyObject* a[2];
  return parse_args({"watcher_completed", names, 2, 2, 0}, args, nargs, kwnames, a) && received_arg(a[0], data) &&
         error_arg(a[1], "error", error);
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

// The constructors' arguments (two positional, the rest keyword-only) into
// `a`, through the vectorcall-style parser; false with an exception set.
bool constructor_args(PyObject* args, PyObject* kwargs, const char* func, const char* const* names, int count,
                      PyObject** a) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* flat[8];
  Ref kwnames;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", func, nargs);
    return false;
  }
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[n++] = PyTuple_GET_ITEM(args, i);
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    if (nargs + PyDict_GET_SIZE(kwargs) > count) {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments", func, count);
      return false;
    }
    kwnames = Ref(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    PyObject *k, *v;
    Py_ssize_t pos = 0, j = 0;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      PyTuple_SET_ITEM(kwnames.get(), j++, Py_NewRef(k));
      flat[n++] = v;
    }
  }
  return parse_args({func, names, count, 2, 2}, flat, nargs, kwnames.get(), a);
}

// ============================================================================
// H1ClientState
// ============================================================================

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"codec", "transport"};
  PyObject* a[2];
  if (!constructor_args(args, kwargs, "H1ClientState", names, 2, a)) return nullptr;
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

PyObject* c_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  h1::Received<Ref> data;
  Ref error;
  if (!watcher_args(args, nargs, kwnames, data, error)) return nullptr;
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

PyObject* c_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc"};
  PyObject* a[1];
  if (!parse_args({"fail", names, 1, 1, 0}, args, nargs, kwnames, a)) return nullptr;
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
    {"try_begin_exchange", meth<bool_step<ClientObj, &Client::try_begin_exchange>>, METH_NOARGS,
     VELMORA_DOC("try_begin_exchange", "($self, /)",
                 "Claim the exchange slot: False while an exchange holds it. On success the codec starts the next "
                 "message in the same step.")},
    {"begin_send", meth<c_begin_send>, METH_NOARGS,
     VELMORA_DOC("begin_send", "($self, /)",
                 "(transport, watcher_done): the transport to write the request to (None when dead: send nothing) "
                 "and the idle watcher's event.")},
    {"exchange_started", meth<void_step<ClientObj, &Client::exchange_started>>, METH_NOARGS,
     VELMORA_DOC("exchange_started", "($self, /)",
                 "The request is about to be written: a completing watcher read now belongs to the exchange.")},
    {"store_writer", meth1<c_store_writer, "store_writer", "scope">, kOneArg,
     VELMORA_DOC("store_writer", "($self, scope)",
                 "Store the body writer's scope: None, or scope itself when refused (closed).")},
    {"writer_done", meth<void_step<ClientObj, &Client::writer_done>>, METH_NOARGS,
     VELMORA_DOC("writer_done", "($self, /)",
                 "The writer sent the whole request body. A writer on another thread makes this step before "
                 "finish_exchange runs: join it first (take_writer), or a body it finished is taken for "
                 "unfinished and the connection is not reused.")},
    {"take_writer", meth<ref_step<ClientObj, &Client::take_writer>>, METH_NOARGS,
     VELMORA_DOC("take_writer", "($self, /)", "Move the writer's scope out (exactly one owner tears it down).")},
    {"set_peer_http10", meth1<c_set_peer_http10, "set_peer_http10", "value">, kOneArg,
     VELMORA_DOC("set_peer_http10", "($self, value)", "Record that the server answered with HTTP/1.0.")},
    {"finish_exchange", meth1<c_finish_exchange, "finish_exchange", "resp_keep_alive">, kOneArg,
     VELMORA_DOC("finish_exchange", "($self, resp_keep_alive)",
                 "(reuse, fully_sent, transport): reuse when the response allows keep-alive and the body went out "
                 "in full (the writer reported done and the codec framed the request to its end); otherwise the "
                 "connection closes in the same step and its transport comes back.")},
    {"end_exchange", meth<bool_step<ClientObj, &Client::end_exchange>>, METH_NOARGS,
     VELMORA_DOC("end_exchange", "($self, /)", "Free the exchange slot: False when it was already free.")},
    {"arm_watcher", meth1<c_arm_watcher, "arm_watcher", "done">, kOneArg,
     VELMORA_DOC("arm_watcher", "($self, done)",
                 "Arm the idle watcher with its event: False when dead, without a transport, or while a watcher "
                 "slot exists.")},
    {"store_watcher_handle", meth1<store_watcher_handle<ClientObj>, "store_watcher_handle", "handle">, kOneArg,
     VELMORA_DOC("store_watcher_handle", "($self, handle)",
                 "Store the watcher's task handle: None, or handle itself when refused (join it yourself).")},
    {"watcher_completed", meth<c_watcher_completed>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("watcher_completed", "($self, /, data=None, error=None)",
                 "The watcher's read completed: (H1_WATCH_* verdict, transport to close or None).")},
    {"watcher_aborted", meth<void_step<ClientObj, &Client::watcher_aborted>>, METH_NOARGS,
     VELMORA_DOC("watcher_aborted", "($self, /)", "The watcher found no transport: its slot completes empty.")},
    {"watcher_done", meth<ref_step<ClientObj, &Client::watcher_done>>, METH_NOARGS,
     VELMORA_DOC("watcher_done", "($self, /)", "The watcher slot's event, or None without a slot.")},
    {"take_watcher_handle", meth<ref_step<ClientObj, &Client::take_watcher_handle>>, METH_NOARGS,
     VELMORA_DOC("take_watcher_handle", "($self, /)", "Move the watcher's task handle out, to join it.")},
    {"take_watcher_handoff", meth<c_take_watcher_handoff>, METH_NOARGS,
     VELMORA_DOC("take_watcher_handoff", "($self, /)",
                 "(handle, data, error) of the completed watcher, in one step; the slot is removed. A read still "
                 "in flight gives (None, None, None).")},
    {"take_watcher_result", meth<take_watcher_result<ClientObj>>, METH_NOARGS,
     VELMORA_DOC("take_watcher_result", "($self, /)",
                 "(data, error) of the completed watcher; the slot is removed unless a handle is still stored.")},
    {"fail", meth<c_fail>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("fail", "($self, /, exc=None)",
                 "Poison and close: exc is stored when no error is (the first one wins). Returns the transport, or "
                 "None.")},
    {"close_now", meth<ref_step<ClientObj, &Client::close_now>>, METH_NOARGS,
     VELMORA_DOC("close_now", "($self, /)", "Close without an error; returns the transport, or None.")},
    {"mark_closed", meth<c_mark_closed>, METH_NOARGS,
     VELMORA_DOC("mark_closed", "($self, /)",
                 "close(): (transport, watcher_done, writer, idle); the watcher slot stays to be awaited and "
                 "joined.")},
    {"upgrade", meth<ref_step<ClientObj, &Client::upgrade>>, METH_NOARGS,
     VELMORA_DOC("upgrade", "($self, /)",
                 "Hand the transport over after a protocol switch; it is never returned again.")},
    {"transport_ref", meth<ref_step<ClientObj, &Client::transport_ref>>, METH_NOARGS,
     VELMORA_DOC("transport_ref", "($self, /)", "The transport, or None once closed or handed off.")},
    {"is_dead", meth<bool_step<ClientObj, &Client::is_dead>>, METH_NOARGS,
     VELMORA_DOC("is_dead", "($self, /)", "Closed or failed.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kClientGetSet[] = {
    {"codec", get<get_codec<ClientObj>>, nullptr, "The connection's H1Codec.", nullptr},
    {"error", get<c_get_error>, nullptr, "The stored connection error (the first one), or None.", nullptr},
    {"closed", get<flag<ClientObj, &Client::closed>>, nullptr, "No further exchange may start.", nullptr},
    {"upgraded", get<flag<ClientObj, &Client::upgraded>>, nullptr, "The transport was handed off after a protocol switch.",
     nullptr},
    {"busy", get<flag<ClientObj, &Client::busy>>, nullptr, "An exchange holds the connection.", nullptr},
    {"has_watcher", get<flag<ClientObj, &Client::has_watcher>>, nullptr,
     "A watcher slot exists (armed, or completed and not yet consumed).", nullptr},
    {"peer_http10", get<flag<ClientObj, &Client::peer_http10>>, nullptr, "The server answered with HTTP/1.0.", nullptr},
    {"writer_finished", get<flag<ClientObj, &Client::writer_finished>>, nullptr,
     "The current exchange's writer sent the whole request body.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kClientSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC(
                    "H1ClientState", "(codec, transport)",
                    "The connection state of one HTTP/1 client connection, `frozen` + `subclass`: `Connection` "
                    "(velmora/h1/client.py) subclasses it and adds only async machinery.\n\n"
                    "Threads: every method is one transition under the object's lock and may be called from any "
                    "thread. The state never calls the transport, the watcher's event or the writer and watcher "
                    "handles it stores; it hands them back. The driver orders: the idle watcher's read is the "
                    "next response's first read once begin_send returns its event (wait for it, then "
                    "take_watcher_handoff); the body writer's writer_done before finish_exchange."))},
    {Py_tp_new, slot<client_new>},
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

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"codec", "transport", "keep_alive", "half_close"};
  PyObject* a[4];
  if (!constructor_args(args, kwargs, "H1ServerState", names, 4, a)) return nullptr;
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

PyObject* s_end_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"seq", "complete"};
  PyObject* a[2];
  if (!parse_args({"end_body_read", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
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

PyObject* s_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"seq", "done", "want", "head_negotiated"};
  PyObject* a[4];
  if (!parse_args({"arm_watcher", names, 4, 2, 2}, args, nargs, kwnames, a)) return nullptr;
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

PyObject* s_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  h1::Received<Ref> data;
  Ref error;
  if (!watcher_args(args, nargs, kwnames, data, error)) return nullptr;
  Server::Watched w;
  {
    Transition<ServerObj> t(self);
    w = t->watcher_completed(std::move(data), std::move(error));
  }
  return bool_obj(w.peer_gone);
}

PyObject* s_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"seq", "status", "headers", "done", "content_length", "chunked", "want"};
  PyObject* a[7];
  if (!parse_args({"respond_head", names, 7, 4, 4}, args, nargs, kwnames, a)) return nullptr;
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
  if (h.status < 100 || h.status > 999) return raise(h1::Error::argument(h1::BadArgument::status));
  if (a[2] != Py_None) {
    if (!is_header_map(a[2])) {
      PyErr_Format(PyExc_TypeError, "argument 'headers' must be HeaderMap or None, not %T", a[2]);
      return nullptr;
    }
    h.headers = copy_header_map(a[2]);
  }
  h.length = h1::BodyLength::from_args(chunked, has_len, len);
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
    {"begin_read", meth<s_begin_read>, METH_NOARGS,
     VELMORA_DOC("begin_read", "($self, /)",
                 "Where the serve loop stands before the next request: (H1_NEXT_* or H1_READ_* code, transport or "
                 "watcher event or None).")},
    {"drain_done", meth1<s_drain_done, "drain_done", "complete">, kOneArg,
     VELMORA_DOC("drain_done", "($self, complete)",
                 "The drain's outcome: (code, transport) as begin_read answers once positioned, or "
                 "(H1_NEXT_CLOSE, transport).")},
    {"accept_head", meth1<s_accept_head, "accept_head", "data">, kOneArg,
     VELMORA_DOC("accept_head", "($self, data)",
                 "Parse a request head from data (b\"\" for what is buffered): (head, seq, decoder), or None. "
                 "Raises H1ParseError.")},
    {"unpark_idle_read", meth<bool_step<ServerObj, &Server::unpark_idle_read>>, METH_NOARGS,
     VELMORA_DOC("unpark_idle_read", "($self, /)",
                 "The idle read ended without bytes to parse: True when the connection was closed under it.")},
    {"head_read_overdue", meth1<s_head_read_overdue, "head_read_overdue", "timeout">, kOneArg,
     VELMORA_DOC("head_read_overdue", "($self, timeout)",
                 "The head-read watchdog's step: (expired, remaining seconds or None, transport or None). It may run "
                 "on a watchdog thread while the serve loop is blocked in its read: an expired read closes the "
                 "state in this step; shutting the returned transport down ends that read, after which "
                 "unpark_idle_read answers True. remaining is None while no head read runs: poll again later.")},
    {"fail_read", meth<ref_step<ServerObj, &Server::fail_read>>, METH_NOARGS,
     VELMORA_DOC("fail_read", "($self, /)",
                 "A head parse failed or the transport broke at the request boundary: close; returns the "
                 "transport.")},
    {"stop_serving", meth<void_step<ServerObj, &Server::stop_serving>>, METH_NOARGS,
     VELMORA_DOC("stop_serving", "($self, /)",
                 "A clean end between requests: closed, the transport kept for close().")},
    {"mark_closed", meth<s_mark_closed>, METH_NOARGS,
     VELMORA_DOC("mark_closed", "($self, /)", "close(): (transport, watcher_done, ended).")},
    {"mark_unusable", meth<void_step<ServerObj, &Server::mark_unusable>>, METH_NOARGS,
     VELMORA_DOC("mark_unusable", "($self, /)",
                 "No further request on this connection (the body read broke, or the driver will not read the "
                 "request body to its end). Called before respond_head, the head carries Connection: close; the "
                 "response's end closes.")},
    {"request_shutdown", meth<ref_step<ServerObj, &Server::request_shutdown>>, METH_NOARGS,
     VELMORA_DOC("request_shutdown", "($self, /)",
                 "Graceful shutdown: no further request. Returns the transport when an idle read was parked "
                 "(closed now), else None.")},
    {"current_decoder", meth<ref_step<ServerObj, &Server::current_decoder>>, METH_NOARGS,
     VELMORA_DOC("current_decoder", "($self, /)", "The current request's H1BodyDecoder, or None.")},
    {"transport_ref", meth<ref_step<ServerObj, &Server::transport_ref>>, METH_NOARGS,
     VELMORA_DOC("transport_ref", "($self, /)", "The transport, or None once closed or handed off.")},
    {"try_send_continue", meth1<seq_bool<&Server::try_send_continue>, "try_send_continue", "seq">, kOneArg,
     VELMORA_DOC("try_send_continue", "($self, seq)",
                 "Claim the 100 Continue for the request: True means write it now. A respond_head call made "
                 "after this claim answers H1_REQ_CONTINUE, and its caller must await the write of the 100 "
                 "before calling again: the second call answers H1_REQ_OK at once, whether or not the 100 is "
                 "on the wire yet.")},
    {"begin_body_read", meth1<seq_bool<&Server::begin_body_read>, "begin_body_read", "seq">, kOneArg,
     VELMORA_DOC("begin_body_read", "($self, seq)",
                 "The body reader is about to pull from the transport: False when the body is not readable.")},
    {"end_body_read", meth<s_end_body_read>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("end_body_read", "($self, seq, complete)", "The body reader's pull returned.")},
    {"peer_closed_now", meth1<s_peer_closed_now, "peer_closed_now", "seq">, kOneArg,
     VELMORA_DOC("peer_closed_now", "($self, seq)",
                 "peer_closed(): False when stale, None while the response window is open, then whether the "
                 "client closed mid-message.")},
    {"peer_closed_flag", meth1<seq_bool<&Server::peer_closed_flag>, "peer_closed_flag", "seq">, kOneArg,
     VELMORA_DOC("peer_closed_flag", "($self, seq)",
                 "Whether the client closed its side mid-message (False when stale).")},
    {"arm_watcher", meth<s_arm_watcher>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("arm_watcher", "($self, seq, done, *, want=True, head_negotiated=False)",
                 "Ask for the mid-message watcher: True means spawn it for done and store its handle.")},
    {"store_watcher_handle", meth1<store_watcher_handle<ServerObj>, "store_watcher_handle", "handle">, kOneArg,
     VELMORA_DOC("store_watcher_handle", "($self, handle)",
                 "Store the watcher's task handle: None, or handle itself when refused (join it yourself).")},
    {"watcher_completed", meth<s_watcher_completed>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("watcher_completed", "($self, /, data=None, error=None)",
                 "The watcher's read completed: True when the client went away mid-message.")},
    {"watcher_aborted", meth<void_step<ServerObj, &Server::watcher_aborted>>, METH_NOARGS,
     VELMORA_DOC("watcher_aborted", "($self, /)", "The watcher found no transport: its slot completes empty.")},
    {"watcher_done", meth<ref_step<ServerObj, &Server::watcher_done>>, METH_NOARGS,
     VELMORA_DOC("watcher_done", "($self, /)", "The watcher slot's event, or None without a slot.")},
    {"take_watcher_handle", meth<ref_step<ServerObj, &Server::take_watcher_handle>>, METH_NOARGS,
     VELMORA_DOC("take_watcher_handle", "($self, /)", "Move the watcher's task handle out, to join it.")},
    {"take_watcher_result", meth<take_watcher_result<ServerObj>>, METH_NOARGS,
     VELMORA_DOC("take_watcher_result", "($self, /)",
                 "(data, error) of the completed watcher; the slot is removed unless a handle is still stored. A "
                 "read still in flight gives (None, None).")},
    {"close_window", meth1<seq_bool<&Server::close_window>, "close_window", "seq">, kOneArg,
     VELMORA_DOC("close_window", "($self, seq)",
                 "The response is complete or failed: True when this call ended the mid-message window.")},
    {"respond_head", meth<s_respond_head>, METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("respond_head",
                 "($self, seq, status, headers, done, *, content_length=None, chunked=False, want=False)",
                 "The response head in one step: (H1_REQ_* code, head bytes or None, armed, transport). "
                 "H1_REQ_CONTINUE: the body reader claimed a 100 Continue (try_send_continue); await the write "
                 "of that 100, then call again. The state cannot see the write: calling again before it completed "
                 "gets H1_REQ_OK and lets the final head go out ahead of the 100. The head carries Connection: "
                 "close when the connection will not be reused (keep-alive off, the request's own close, a "
                 "shutdown, mark_unusable).")},
    {"finish_response", meth1<s_finish_response, "finish_response", "seq">, kOneArg,
     VELMORA_DOC("finish_response", "($self, seq)",
                 "The response is on the wire: (switch, close, transport, leftover). A response the codec did not "
                 "frame to its end (a length body short of its count, a chunked body without its last chunk, a "
                 "refused head) closes the connection.")},
    {"fail_response", meth1<seq_ref<&Server::fail_response>, "fail_response", "seq">, kOneArg,
     VELMORA_DOC("fail_response", "($self, seq)",
                 "A failed response poisons the connection: returns the transport, or None when stale.")},
    {"detach", meth1<s_detach, "detach", "seq">, kOneArg,
     VELMORA_DOC("detach", "($self, seq)",
                 "Take over the raw connection without a response: (H1_REQ_* code, transport, leftover).")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kServerGetSet[] = {
    {"codec", get<get_codec<ServerObj>>, nullptr, "The connection's H1Codec.", nullptr},
    {"closed", get<flag<ServerObj, &Server::closed>>, nullptr, "The connection is closed.", nullptr},
    {"reusable", get<flag<ServerObj, &Server::reusable>>, nullptr, "Another request may be served after the current one.",
     nullptr},
    {"upgraded", get<flag<ServerObj, &Server::upgraded>>, nullptr, "The transport was handed off.", nullptr},
    {"half_close", get<flag<ServerObj, &Server::half_close>>, nullptr, "The client may half-close its side.", nullptr},
    {"keep_alive_enabled", get<flag<ServerObj, &Server::keep_alive_enabled>>, nullptr, "Server-side keep-alive setting.",
     nullptr},
    {"shutdown_requested", get<flag<ServerObj, &Server::shutdown_requested>>, nullptr, "request_shutdown() was called.",
     nullptr},
    {"current_seq", get<s_get_current_seq>, nullptr, "Sequence number of the current request (0: none yet).",
     nullptr},
    {"has_watcher", get<flag<ServerObj, &Server::has_watcher>>, nullptr,
     "A watcher slot exists (a read is parked, or completed and not yet consumed).", nullptr},
    {"watcher_parked", get<flag<ServerObj, &Server::watcher_parked>>, nullptr,
     "A mid-message read is parked on the transport right now.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kServerSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC(
                    "H1ServerState", "(codec, transport, *, keep_alive=True, half_close=False)",
                    "The connection + current-request state of one HTTP/1 server connection, `frozen` + "
                    "`subclass`: `ServerConnection` subclasses it and adds only async machinery.\n\n"
                    "Threads: every method is one transition under the object's lock and may be called from any "
                    "thread (the serve loop, a body reader, a responder, the mid-message watcher, a head-read "
                    "watchdog, a shutdown). The state never calls the transport, the watcher's event or its "
                    "handle: it stores them and hands them back, and the transport a closing step returns is "
                    "shut down by the caller after the step. The driver orders: one reader of the transport at a "
                    "time, the one a step named (begin_read or accept_head: the serve loop; begin_body_read to "
                    "end_body_read: the body reader; arm_watcher or an armed respond_head to watcher_completed: "
                    "the watcher; H1_NEXT_DRAIN to drain_done: the drain); and a claimed 100 Continue written "
                    "before respond_head is called again after H1_REQ_CONTINUE."))},
    {Py_tp_new, slot<server_new>},
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
