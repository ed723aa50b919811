#include "src/h1/body_decoder.h"

#include <mutex>
#include <new>
#include <utility>

#include "proto/h1/body_encoder.h"
#include "src/errors.h"
#include "src/api.h"
#include "src/locked.h"
#include "src/http/header_map.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyTypeObject* g_type = nullptr;

using BodyDecoderObject = Locked<h1::BodyDecoder>;

template <class F>
decltype(auto) locked(PyObject* self, F&& f) {
  return BodyDecoderObject::of(self)->with(std::forward<F>(f));
}

PyObject* wrap(PyTypeObject* type, h1::BodyDecoder&& core) {
  PyObject* self = create<BodyDecoderObject>(type, std::move(core));
  // Received bytes objects are released unlocked: the decoder keeps them
  // until a step hands them to the Transition's Dropped.
  if (self) BodyDecoderObject::of(self)->state.defer_release(true);
  return self;
}

PyObject* bd_new(PyTypeObject* type, PyObject* const* a) {
  std::string_view kind;
  if (!to_str(a[0], "kind", kind)) return nullptr;
  uint64_t length = 0;
  if (a[1] && !to_u64(a[1], "length", length)) return nullptr;
  return wrap(type, h1::BodyDecoder::from_kind(kind, length));
}

void bd_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  destroy(BodyDecoderObject::of(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Received bytes objects above this size are kept as they are instead of
// being copied into the decoder.
constexpr size_t kShareAbove = 256;

PyObject* bd_feed(PyObject* self, PyObject* data) {
  std::string_view v;
  if (!to_bytes(data, "data", v)) return nullptr;
  // Only an exact bytes object is kept by reference: it refers to nothing,
  // so holding it cannot close a reference cycle. An instance of a subclass
  // may refer back to this decoder, which takes no part in garbage
  // collection; it is copied.
  if (v.size() <= kShareAbove || !PyBytes_CheckExact(data)) {
    locked(self, [&](h1::BodyDecoder& d) { d.feed(v); });
    Py_RETURN_NONE;
  }
  h1::BodyDecoder::Owner owner(Py_NewRef(data), [](const void* p) {
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
  });
  {
    Transition<BodyDecoderObject> t(self);
    t->feed_shared(v, std::move(owner));
    t->take_retired(t.dropped().owners());
  }
  Py_RETURN_NONE;
}

PyObject* bd_mark_eof(PyObject* self, PyObject*) {
  locked(self, [](h1::BodyDecoder& d) { d.mark_eof(); });
  Py_RETURN_NONE;
}

PyObject* bd_decode(PyObject* self, PyObject*) {
  h1::Result<h1::BodyDecoder::Decoded> r;
  {
    Transition<BodyDecoderObject> t(self);
    r = t->decode();
    t->take_retired(t.dropped().owners());
  }
  if (!r) return raise(r.error());
  if (r->progress != h1::BodyDecoder::Progress::data) Py_RETURN_NONE;
  // The slice keeps its input blocks alive: copy it once, unlocked.
  PyObject* b = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(r->data.size));
  if (b) r->data.copy_to(PyBytes_AS_STRING(b));
  return b;
}

PyObject* trailers_obj(std::optional<http::HeaderMap>& t) {
  if (!t) Py_RETURN_NONE;
  return new_header_map(std::move(*t));
}

PyObject* bd_take_trailers(PyObject* self, PyObject*) {
  std::optional<http::HeaderMap> t = locked(self, [](h1::BodyDecoder& d) { return d.take_trailers(); });
  return trailers_obj(t);
}

PyObject* bd_finish(PyObject* self, PyObject*) {
  size_t buffered = 0;
  std::optional<http::HeaderMap> t = locked(self, [&](h1::BodyDecoder& d) {
    buffered = d.buffered();
    return d.take_trailers();
  });
  Ref trailers(trailers_obj(t));
  if (!trailers) return nullptr;
  Ref n(PyLong_FromSize_t(buffered));
  if (!n) return nullptr;
  return PyTuple_Pack(2, trailers.get(), n.get());
}

PyObject* bd_is_complete(PyObject* self, void*) {
  return bool_obj(locked(self, [](h1::BodyDecoder& d) { return d.is_complete(); }));
}

PyObject* bd_buffered(PyObject* self, void*) {
  return PyLong_FromSize_t(locked(self, [](h1::BodyDecoder& d) { return d.buffered(); }));
}

PyMethodDef kMethods[] = {
    VELMORA_METHOD(H1BodyDecoder, feed, bd_feed),
    VELMORA_METHOD(H1BodyDecoder, mark_eof, bd_mark_eof),
    VELMORA_METHOD(H1BodyDecoder, decode, bd_decode),
    VELMORA_METHOD(H1BodyDecoder, take_trailers, bd_take_trailers),
    VELMORA_METHOD(H1BodyDecoder, finish, bd_finish),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    VELMORA_GETTER(H1BodyDecoder, is_complete, bd_is_complete),
    VELMORA_GETTER(H1BodyDecoder, buffered, bd_buffered),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1BodyDecoder)},
    {Py_tp_new, VELMORA_NEW(H1BodyDecoder, bd_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bd_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.H1BodyDecoder", sizeof(BodyDecoderObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyObject* g_terminator = nullptr;

}  // namespace

int add_h1_body_decoder(PyObject* module) {
  g_type = add_type(module, &kSpec);
  if (!g_type) return -1;
  static std::once_flag once;
  std::call_once(once, [] {
    g_terminator = PyBytes_FromStringAndSize(h1::kChunkTerminator.data(), Py_ssize_t(h1::kChunkTerminator.size()));
  });
  if (!g_terminator) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

PyTypeObject* h1_body_decoder_type() noexcept { return g_type; }

bool is_h1_body_decoder(PyObject* o) noexcept { return g_type && PyObject_TypeCheck(o, g_type); }

PyObject* h1_body_decoder_new(h1::BodyDecoder&& core) { return wrap(g_type, std::move(core)); }

void h1_body_decoder_feed(PyObject* decoder, std::string&& bytes) {
  if (bytes.empty()) return;
  locked(decoder, [&](h1::BodyDecoder& d) { d.feed(std::move(bytes)); });
}

void h1_body_decoder_install(PyObject* decoder, h1::BodyDecoder&& core) {
  locked(decoder, [&](h1::BodyDecoder& d) {
    d = std::move(core);
    d.defer_release(true);
  });
}

void h1_body_decoder_take_leftover(PyObject* decoder, std::string& out) {
  // The input buffers let go of here stay retired in the decoder (released by
  // its next step or with it): the caller may hold another object's lock.
  locked(decoder, [&](h1::BodyDecoder& d) {
    if (!d.is_complete()) return;
    // Room first: an append that failed half-way through would leave retired
    // buffers still referenced by the input.
    out.reserve(out.size() + d.buffered());
    d.drain_input([&](std::string_view s) { out.append(s); });
  });
}

PyObject* chunk_terminator() noexcept { return Py_NewRef(g_terminator); }

}  // namespace velmora::py
