// WsCodec: the WebSocket codec of one connection behind its state lock.
// Receiving and each send are one step each, so a reader thread and sender
// threads share one codec. The core writes frames and events into buffers
// of its own; the Python bytes, str and tuples are made from them after the
// lock is released.
#include <string>
#include <utility>
#include <vector>

#include "proto/ws/codec.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

using WsCodecObject = Locked<ws::Codec>;

// Scratch buffers kept by each thread between calls, so that steady use
// allocates nothing for them. A call takes the buffer out and gives it back,
// so a nested call on the same thread (from a finalizer) gets its own.
thread_local std::vector<ws::Event> t_events;
thread_local std::string t_frames;

template <class T>
struct Borrowed {
  T& home;
  T value;
  explicit Borrowed(T& h) : home(h), value(std::move(h)) {}
  ~Borrowed() {
    value.clear();
    // A buffer that grew for one large message is not kept.
    if constexpr (std::is_same_v<T, std::string>) {
      if (value.capacity() > (1u << 20)) return;
    }
    home = std::move(value);
  }
};

PyObject* codec_new(PyTypeObject* type, PyObject* const* a) {
  bool client;
  if (!to_bool(a[0], "client", client)) return nullptr;
  ws::Config cfg{.role = client ? ws::Role::client : ws::Role::server};
  if (a[1] && !to_u64(a[1], "max_frame_size", cfg.max_frame_size)) return nullptr;
  if (a[2] && !to_u64(a[2], "max_message_size", cfg.max_message_size)) return nullptr;
  if (a[3] && !to_bool(a[3], "streaming", cfg.streaming)) return nullptr;
  if (a[4] && a[4] != Py_None) {
    std::string_view ext;
    if (!to_str(a[4], "extension", ext)) return nullptr;
    auto d = ws::parse_deflate(ext, false);
    if (!d) return raise(pending(d.error()));
    cfg.deflate = *d;
  }
  return create<WsCodecObject>(type, cfg);
}

void codec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  destroy(WsCodecObject::of(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* event_obj(ws::Event& e) {
  Ref kind(PyLong_FromLong(long(e.kind)));
  if (!kind) return nullptr;
  Ref payload(e.kind == ws::EventKind::text || e.kind == ws::EventKind::close
                  ? PyUnicode_DecodeUTF8(e.data.data(), Py_ssize_t(e.data.size()), nullptr)
                  : bytes_obj(e.data));
  if (!payload) return nullptr;
  Ref third(e.kind == ws::EventKind::close ? PyLong_FromLong(e.code) : bool_obj(e.fin));
  if (!third) return nullptr;
  return PyTuple_Pack(3, kind.get(), payload.get(), third.get());
}

PyObject* codec_receive(PyObject* self, PyObject* data) {
  std::string_view v;
  if (!to_bytes(data, "data", v)) return nullptr;
  Borrowed<std::vector<ws::Event>> ev(t_events);
  ws::Result<void> r;
  {
    Transition<WsCodecObject> t(self);
    r = t->receive(v, ev.value);
  }
  if (!r) return raise(pending(r.error()));
  Ref list(PyList_New(Py_ssize_t(ev.value.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ev.value.size(); ++i) {
    PyObject* e = event_obj(ev.value[i]);
    if (!e) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), e);
  }
  return list.release();
}

// One send step: `step(codec, out)` under the lock; the frame as bytes, None
// for a refusal, or the misuse as ValueError.
template <class Step>
PyObject* send(PyObject* self, Step&& step) {
  Borrowed<std::string> out(t_frames);
  ws::Result<bool> r;
  {
    Transition<WsCodecObject> t(self);
    r = step(*t, out.value);
  }
  if (!r) return raise(pending(r.error()));
  if (!*r) Py_RETURN_NONE;
  return bytes_obj(out.value);
}

bool opt_fin(PyObject* o, bool& fin) { return !o || to_bool(o, "fin", fin); }

PyObject* codec_send_text(PyObject* self, PyObject* const* a) {
  std::string_view v;
  bool fin = true;
  if (!to_str(a[0], "text", v) || !opt_fin(a[1], fin)) return nullptr;
  return send(self, [&](ws::Codec& c, std::string& out) { return c.send_message(true, v, fin, out); });
}

PyObject* codec_send_binary(PyObject* self, PyObject* const* a) {
  std::string_view v;
  bool fin = true;
  if (!to_bytes(a[0], "data", v) || !opt_fin(a[1], fin)) return nullptr;
  return send(self, [&](ws::Codec& c, std::string& out) { return c.send_message(false, v, fin, out); });
}

bool opt_payload(PyObject* o, std::string_view& v) { return !o || to_bytes(o, "data", v); }

PyObject* codec_send_ping(PyObject* self, PyObject* data) {
  std::string_view v;
  if (!opt_payload(data, v)) return nullptr;
  return send(self, [&](ws::Codec& c, std::string& out) { return c.send_ping(v, out); });
}

PyObject* codec_send_pong(PyObject* self, PyObject* data) {
  std::string_view v;
  if (!opt_payload(data, v)) return nullptr;
  return send(self, [&](ws::Codec& c, std::string& out) { return c.send_pong(v, out); });
}

PyObject* codec_send_close(PyObject* self, PyObject* const* a) {
  uint16_t code = ws::close_code::normal;
  std::string_view reason;
  if (a[0] == Py_None)
    code = 0;
  else if (a[0] && !to_u16(a[0], "code", code))
    return nullptr;
  if (a[1] && !to_str(a[1], "reason", reason)) return nullptr;
  return send(self, [&](ws::Codec& c, std::string& out) { return c.send_close(code, reason, out); });
}

template <class F>
auto read(PyObject* self, F&& f) {
  return WsCodecObject::of(self)->with([&](const ws::Codec& c) { return f(c); });
}

PyObject* codec_client(PyObject* self, void*) {
  return bool_obj(read(self, [](const ws::Codec& c) { return c.config().role == ws::Role::client; }));
}

PyObject* codec_state(PyObject* self, void*) {
  return PyLong_FromLong(long(read(self, [](const ws::Codec& c) { return c.state(); })));
}

PyObject* codec_may_close_transport(PyObject* self, void*) {
  return bool_obj(read(self, [](const ws::Codec& c) { return c.may_close_transport(); }));
}

PyObject* int_or_none(uint16_t v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromLong(v);
}

PyObject* codec_close_code(PyObject* self, void*) {
  return int_or_none(read(self, [](const ws::Codec& c) { return c.peer_close_code(); }));
}

PyObject* codec_failure(PyObject* self, void*) {
  auto [code, kind] = read(self, [](const ws::Codec& c) { return std::pair(c.failure_code(), c.failure_kind()); });
  if (!code) Py_RETURN_NONE;
  std::string_view m = ws::message(kind);
  return Py_BuildValue("(is#)", int(code), m.data(), Py_ssize_t(m.size()));
}

PyObject* codec_max_frame_size(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(read(self, [](const ws::Codec& c) { return c.config().max_frame_size; }));
}

PyObject* codec_max_message_size(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(read(self, [](const ws::Codec& c) { return c.config().max_message_size; }));
}

PyObject* codec_streaming(PyObject* self, void*) {
  return bool_obj(read(self, [](const ws::Codec& c) { return c.config().streaming; }));
}

PyObject* codec_extension(PyObject* self, void*) {
  auto d = read(self, [](const ws::Codec& c) { return c.config().deflate; });
  if (!d) Py_RETURN_NONE;
  return ascii_obj(ws::format_deflate(*d));
}

PyObject* codec_repr(PyObject* self) {
  auto [client, state] =
      read(self, [](const ws::Codec& c) { return std::pair(c.config().role == ws::Role::client, c.state()); });
  return PyUnicode_FromFormat("WsCodec(client=%s, state=%d)", client ? "true" : "false", int(state));
}

PyMethodDef kMethods[] = {
    VELMORA_METHOD(WsCodec, receive, codec_receive),
    VELMORA_METHOD(WsCodec, send_text, codec_send_text),
    VELMORA_METHOD(WsCodec, send_binary, codec_send_binary),
    VELMORA_METHOD(WsCodec, send_ping, codec_send_ping),
    VELMORA_METHOD(WsCodec, send_pong, codec_send_pong),
    VELMORA_METHOD(WsCodec, send_close, codec_send_close),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    VELMORA_GETTER(WsCodec, client, codec_client),
    VELMORA_GETTER(WsCodec, state, codec_state),
    VELMORA_GETTER(WsCodec, may_close_transport, codec_may_close_transport),
    VELMORA_GETTER(WsCodec, close_code, codec_close_code),
    VELMORA_GETTER(WsCodec, failure, codec_failure),
    VELMORA_GETTER(WsCodec, max_frame_size, codec_max_frame_size),
    VELMORA_GETTER(WsCodec, max_message_size, codec_max_message_size),
    VELMORA_GETTER(WsCodec, streaming, codec_streaming),
    VELMORA_GETTER(WsCodec, extension, codec_extension),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(WsCodec)},
    {Py_tp_new, VELMORA_NEW(WsCodec, codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_repr, slot<codec_repr>},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.WsCodec", sizeof(WsCodecObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int add_ws_codec(PyObject* m) { return add_type(m, &kSpec) ? 0 : -1; }

}  // namespace velmora::py
