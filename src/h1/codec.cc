// H1Codec: the per-connection HTTP/1 codec object, and the head events it
// yields. Every method converts its arguments, runs one transition of the
// core codec under the object's lock, and builds Python results after
// unlocking.
#include "src/h1/codec.h"

#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "proto/h1/body_encoder.h"
#include "proto/h1/head_encoder.h"
#include "proto/http/fields.h"
#include "proto/http/utf8.h"
#include "src/errors.h"
#include "src/h1/body_decoder.h"
#include "src/http/header_map.h"
#include "src/http/names.h"
#include "src/api.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyTypeObject* g_codec_type = nullptr;
PyTypeObject* g_request_type = nullptr;
PyTypeObject* g_response_type = nullptr;

// Shared strings: one interned object per body kind.
PyObject* g_kinds[4] = {};

bool init_shared_strings() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    if (init_common_names() < 0) return;
    for (size_t i = 0; i < 4; ++i) {
      std::string name(h1::body_kind_name(h1::BodyKind(i)));
      g_kinds[i] = PyUnicode_InternFromString(name.c_str());
      if (!g_kinds[i]) return;
    }
    ok = true;
  });
  if (!ok && !PyErr_Occurred()) PyErr_NoMemory();
  return ok;
}

// True or False, borrowed: both are immortal.
PyObject* flag_obj(bool b) noexcept { return b ? Py_True : Py_False; }

// ---- head events ------------------------------------------------------------

struct RequestHeadObject {
  PyObject_HEAD
  PyObject* method;
  PyObject* target;
  PyObject* headers;
  PyObject* body_kind;
  PyObject* content_length;
  // The flags are True or False, immortal objects: stored and dropped without
  // reference counting.
  PyObject* keep_alive;
  PyObject* expect_continue;
  PyObject* is_upgrade;
  PyObject* http10;
  PyObject* allow_trailers;
};

struct ResponseHeadObject {
  PyObject_HEAD
  PyObject* headers;
  PyObject* body_kind;
  PyObject* content_length;
  PyObject* keep_alive;  // True or False, as in the request head
  PyObject* is_upgrade;
  PyObject* http10;
  PyObject* wants_keep_alive;
  unsigned short status;
};

void request_head_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto* h = reinterpret_cast<RequestHeadObject*>(self);
  Py_XDECREF(h->method);
  Py_XDECREF(h->target);
  Py_XDECREF(h->headers);
  Py_XDECREF(h->body_kind);
  Py_XDECREF(h->content_length);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void response_head_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto* h = reinterpret_cast<ResponseHeadObject*>(self);
  Py_XDECREF(h->headers);
  Py_XDECREF(h->body_kind);
  Py_XDECREF(h->content_length);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* request_head_repr(PyObject* self) {
  auto* h = reinterpret_cast<RequestHeadObject*>(self);
  return PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=\"%U\")", h->method, h->target,
                              h->body_kind);
}

PyObject* response_head_repr(PyObject* self) {
  auto* h = reinterpret_cast<ResponseHeadObject*>(self);
  return PyUnicode_FromFormat("H1ResponseHead(status=%u, body_kind=\"%U\", keep_alive=%s)", unsigned(h->status),
                              h->body_kind, h->keep_alive == Py_True ? "true" : "false");
}

#define RQ_OFF(f) offsetof(RequestHeadObject, f)
#define RS_OFF(f) offsetof(ResponseHeadObject, f)

PyMemberDef kRequestMembers[] = {
    VELMORA_MEMBER(H1RequestHead, method, Py_T_OBJECT_EX, RQ_OFF(method)),
    VELMORA_MEMBER(H1RequestHead, target, Py_T_OBJECT_EX, RQ_OFF(target)),
    VELMORA_MEMBER(H1RequestHead, keep_alive, Py_T_OBJECT_EX, RQ_OFF(keep_alive)),
    VELMORA_MEMBER(H1RequestHead, headers, Py_T_OBJECT_EX, RQ_OFF(headers)),
    VELMORA_MEMBER(H1RequestHead, body_kind, Py_T_OBJECT_EX, RQ_OFF(body_kind)),
    VELMORA_MEMBER(H1RequestHead, content_length, Py_T_OBJECT_EX, RQ_OFF(content_length)),
    VELMORA_MEMBER(H1RequestHead, expect_continue, Py_T_OBJECT_EX, RQ_OFF(expect_continue)),
    VELMORA_MEMBER(H1RequestHead, is_upgrade, Py_T_OBJECT_EX, RQ_OFF(is_upgrade)),
    VELMORA_MEMBER(H1RequestHead, http10, Py_T_OBJECT_EX, RQ_OFF(http10)),
    VELMORA_MEMBER(H1RequestHead, allow_trailers, Py_T_OBJECT_EX, RQ_OFF(allow_trailers)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kResponseMembers[] = {
    VELMORA_MEMBER(H1ResponseHead, status, Py_T_USHORT, RS_OFF(status)),
    VELMORA_MEMBER(H1ResponseHead, keep_alive, Py_T_OBJECT_EX, RS_OFF(keep_alive)),
    VELMORA_MEMBER(H1ResponseHead, headers, Py_T_OBJECT_EX, RS_OFF(headers)),
    VELMORA_MEMBER(H1ResponseHead, body_kind, Py_T_OBJECT_EX, RS_OFF(body_kind)),
    VELMORA_MEMBER(H1ResponseHead, content_length, Py_T_OBJECT_EX, RS_OFF(content_length)),
    VELMORA_MEMBER(H1ResponseHead, is_upgrade, Py_T_OBJECT_EX, RS_OFF(is_upgrade)),
    VELMORA_MEMBER(H1ResponseHead, http10, Py_T_OBJECT_EX, RS_OFF(http10)),
    VELMORA_MEMBER(H1ResponseHead, wants_keep_alive, Py_T_OBJECT_EX, RS_OFF(wants_keep_alive)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kRequestSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1RequestHead)},
    {Py_tp_dealloc, reinterpret_cast<void*>(request_head_dealloc)},
    {Py_tp_repr, slot<request_head_repr>},
    {Py_tp_members, kRequestMembers},
    {0, nullptr},
};

PyType_Slot kResponseSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1ResponseHead)},
    {Py_tp_dealloc, reinterpret_cast<void*>(response_head_dealloc)},
    {Py_tp_repr, slot<response_head_repr>},
    {Py_tp_members, kResponseMembers},
    {0, nullptr},
};

PyType_Spec kRequestSpec = {"velmora._velmora.H1RequestHead", sizeof(RequestHeadObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kRequestSlots};
PyType_Spec kResponseSpec = {"velmora._velmora.H1ResponseHead", sizeof(ResponseHeadObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kResponseSlots};

PyObject* length_obj(h1::BodyKind k, uint64_t n) {
  if (k == h1::BodyKind::empty) return PyLong_FromLong(0);
  if (k == h1::BodyKind::length) return PyLong_FromUnsignedLongLong(n);
  return Py_NewRef(Py_None);
}

// ---- H1Codec ------------------------------------------------------------------

H1CodecObject* self_of(PyObject* o) { return as_h1_codec(o); }

template <class F>
decltype(auto) locked(PyObject* self, F&& f) {
  return self_of(self)->with(std::forward<F>(f));
}

// The options are fixed at construction; reading them needs no lock.
const h1::CodecOptions& options_of(PyObject* self) { return self_of(self)->options; }

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args)) {
    PyErr_SetString(PyExc_TypeError, "H1Codec() takes no positional arguments");
    return nullptr;
  }
  h1::CodecOptions o;
  if (kwargs) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      const char* key = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
      if (!key) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return nullptr;
      }
      std::string_view name(key);
      if (name == "max_headers") {
        if (v != Py_None) {
          uint64_t n;
          if (!to_u64(v, "max_headers", n)) return nullptr;
          if (n > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "argument 'max_headers' is too large");
            return nullptr;
          }
          o.max_headers = size_t(n);
        }
      } else if (name == "ignore_invalid_headers") {
        if (!to_bool(v, "ignore_invalid_headers", o.ignore_invalid_headers)) return nullptr;
      } else if (name == "title_case_headers") {
        if (!to_bool(v, "title_case_headers", o.title_case_headers)) return nullptr;
      } else if (name == "date_header") {
        if (!to_bool(v, "date_header", o.date_header)) return nullptr;
      } else if (name == "max_buf_size") {
        uint64_t n;
        if (!to_u64(v, "max_buf_size", n)) return nullptr;
        if (n < h1::kMinBufSize) {
          PyErr_SetString(PyExc_ValueError, "the max_buf_size cannot be smaller than 8192");
          return nullptr;
        }
        o.max_buf_size = size_t(n);
      } else {
        PyErr_Format(PyExc_TypeError, "H1Codec() got an unexpected keyword argument '%s'", key);
        return nullptr;
      }
    }
  }
  PyObject* self = create<H1CodecObject>(type, o);
  if (self) new (&self_of(self)->options) h1::CodecOptions(o);
  return self;
}

void codec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  self_of(self)->options.~CodecOptions();
  destroy(self_of(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---- receive ----

PyObject* receive_request_head(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h1::RequestHead head;
  h1::Result<h1::HeadProgress> st = locked(self, [&](h1::Codec& c) { return c.receive_request_head(bytes, head); });
  if (!st) return raise(st.error());
  if (*st == h1::HeadProgress::complete) return new_h1_request_head(std::move(head));
  Py_RETURN_NONE;
}

PyObject* receive_head(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h1::ResponseHead head;
  h1::Result<h1::HeadProgress> st = locked(self, [&](h1::Codec& c) { return c.receive_head(bytes, head); });
  if (!st) return raise(st.error());
  if (*st == h1::HeadProgress::complete) return new_h1_response_head(std::move(head));
  Py_RETURN_NONE;
}

PyObject* feed(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  locked(self, [&](h1::Codec& c) { c.feed(bytes); });
  Py_RETURN_NONE;
}

PyObject* take_body(PyObject* self, PyObject*) {
  std::string body = locked(self, [](h1::Codec& c) { return c.take_body(); });
  return bytes_obj(body);
}

PyObject* take_body_into(PyObject* self, PyObject* decoder) {
  if (!is_h1_body_decoder(decoder)) {
    PyErr_Format(PyExc_TypeError, "argument 'decoder' must be H1BodyDecoder, not %T", decoder);
    return nullptr;
  }
  // The codec's lock is released before the decoder's is taken.
  std::string body = locked(self, [](h1::Codec& c) { return c.take_body(); });
  if (!body.empty()) h1_body_decoder_feed(decoder, std::move(body));
  Py_RETURN_NONE;
}

PyObject* codec_reset(PyObject* self, PyObject*) {
  locked(self, [](h1::Codec& c) { c.reset(); });
  Py_RETURN_NONE;
}

// ---- heads ----

bool headers_arg(PyObject* o, const char* arg, http::HeaderMap& out) {
  if (!o || o == Py_None) return true;
  if (!is_header_map(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap or None, not %T", arg, o);
    return false;
  }
  out = copy_header_map(o);
  return true;
}

bool length_arg(PyObject* o, bool& has, uint64_t& n) {
  has = o && o != Py_None;
  return !has || to_u64(o, "content_length", n);
}

bool bool_arg(PyObject* o, const char* arg, bool& out) { return !o || to_bool(o, arg, out); }

PyObject* serialize_request(PyObject* self, PyObject* const* a) {
  std::string_view method, url;
  if (!to_str(a[0], "method", method) || !to_str(a[1], "url", url)) return nullptr;
  bool http10 = false, chunked = false, has_len = false;
  uint64_t len = 0;
  http::HeaderMap headers;
  if (!bool_arg(a[3], "http10", http10) || !length_arg(a[4], has_len, len) || !bool_arg(a[5], "chunked", chunked) ||
      !headers_arg(a[2], "headers", headers))
    return nullptr;
  h1::Result<h1::RequestEncoding> prepared = h1::prepare_request(
      method, url, std::move(headers), http10, h1::BodyLength::from_args(chunked, has_len, len),
      options_of(self).title_case_headers);
  if (!prepared) return raise(prepared.error());
  h1::RequestEncoding& req = *prepared;
  // The head does not depend on the codec's state: write it first, then
  // record the method, encoder and verdict in one step.
  Ref out(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(req.size)));
  if (!out) return nullptr;
  h1::write_request(req, PyBytes_AS_STRING(out.get()));
  locked(self, [&](h1::Codec& c) { c.commit_request(req); });
  return out.release();
}

PyObject* serialize_response(PyObject* self, PyObject* const* a) {
  uint16_t status;
  if (!to_u16(a[0], "status", status)) return nullptr;
  bool keep_alive = true, http10 = false, chunked = false, has_len = false;
  uint64_t len = 0;
  http::HeaderMap headers;
  if (!bool_arg(a[2], "keep_alive", keep_alive) || !bool_arg(a[3], "http10", http10) ||
      !length_arg(a[4], has_len, len) || !bool_arg(a[5], "chunked", chunked) || !headers_arg(a[1], "headers", headers))
    return nullptr;
  h1::Result<h1::EncodedResponse> head = locked(self, [&](h1::Codec& c) {
    return c.encode_response(status, std::move(headers), keep_alive, http10,
                             h1::BodyLength::from_args(chunked, has_len, len));
  });
  return h1_response_head_bytes(head);
}

// ---- body framing ----

PyObject* serialize_data(PyObject* self, PyObject* chunk) {
  std::string_view data;
  if (!to_bytes(chunk, "chunk", data)) return nullptr;
  h1::DataPlan p = locked(self, [&](h1::Codec& c) { return c.plan_data(data.size()); });
  switch (p.action) {
    case h1::DataAction::same: return Py_NewRef(chunk);
    case h1::DataAction::prefix: return bytes_obj(data.substr(0, p.size));
    case h1::DataAction::framed: {
      PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(p.size));
      if (out) h1::write_chunk(data, PyBytes_AS_STRING(out));
      return out;
    }
    case h1::DataAction::past_length: return raise(h1::past_length_error(p.size));
    case h1::DataAction::no_encoder: break;
  }
  PyErr_SetString(PyExc_ValueError, "serialize_data with no request in flight");
  return nullptr;
}

// Builds the Python result of a planned body end.
PyObject* end_result(const h1::Result<h1::EndPlan>& p, const http::HeaderMap* trailers, bool title_case) {
  if (!p) return raise(p.error());
  switch (p->kind) {
    case h1::EndPlan::nothing: return PyBytes_FromStringAndSize(nullptr, 0);
    case h1::EndPlan::terminator: return chunk_terminator();
    case h1::EndPlan::trailers: break;
  }
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(p->size));
  if (out) h1::write_end(*p, trailers, title_case, PyBytes_AS_STRING(out));
  return out;
}

PyObject* serialize_end(PyObject* self, PyObject*) {
  h1::Result<h1::EndPlan> p = locked(self, [](h1::Codec& c) { return c.end_body(); });
  return end_result(p, nullptr, false);
}

PyObject* serialize_trailers(PyObject* self, PyObject* trailers) {
  if (!is_header_map(trailers)) {
    PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap, not %T", trailers);
    return nullptr;
  }
  http::HeaderMap t = copy_header_map(trailers);
  h1::Result<h1::EndPlan> p = locked(self, [&](h1::Codec& c) { return c.end_body_with_trailers(t); });
  return end_result(p, &t, options_of(self).title_case_headers);
}

PyObject* serialize_head_and_body(PyObject* self, PyObject* const* a) {
  std::string_view head, body;
  if (!to_bytes(a[0], "head", head)) return nullptr;
  if (a[1] && a[1] != Py_None && !to_bytes(a[1], "body", body)) return nullptr;
  std::optional<http::HeaderMap> t;
  if (a[2] && a[2] != Py_None) {
    if (!is_header_map(a[2])) {
      PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap or None, not %T", a[2]);
      return nullptr;
    }
    t = copy_header_map(a[2]);
  }
  const http::HeaderMap* tp = t ? &*t : nullptr;
  h1::Result<h1::MessagePlan> p = locked(self, [&](h1::Codec& c) { return c.plan_message(head.size(), body, tp); });
  if (!p) return raise(p.error());
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(p->size));
  if (out) h1::write_message(*p, head, body, tp, options_of(self).title_case_headers, PyBytes_AS_STRING(out));
  return out;
}

PyObject* body_is_eof(PyObject* self, PyObject*) {
  return bool_obj(locked(self, [](h1::Codec& c) { return c.body_is_eof(); }));
}

// ---- static helpers ----

PyObject* continue_response(PyObject*, PyObject*) { return bytes_obj(h1::kContinueResponse); }

PyObject* connection_close(PyObject*, PyObject* headers) {
  if (!is_header_map(headers)) {
    PyErr_Format(PyExc_TypeError, "argument 'headers' must be HeaderMap, not %T", headers);
    return nullptr;
  }
  bool close = HeaderMapObject::of(headers)->with(
      [](const HeaderMapState& s) { return h1::connection_close(s.map); });
  return bool_obj(close);
}

// ---- getters ----

PyObject* get_buffered(PyObject* self, void*) {
  return PyLong_FromSize_t(locked(self, [](h1::Codec& c) { return c.buffered(); }));
}
PyObject* get_max_buf_size(PyObject* self, void*) { return PyLong_FromSize_t(options_of(self).max_buf_size); }
PyObject* get_response_is_last(PyObject* self, void*) {
  return bool_obj(locked(self, [](h1::Codec& c) { return c.response_is_last(); }));
}
PyObject* get_response_close_delimited(PyObject* self, void*) {
  return bool_obj(locked(self, [](h1::Codec& c) { return c.response_close_delimited(); }));
}
PyObject* get_request_connection_close(PyObject* self, void*) {
  return bool_obj(locked(self, [](h1::Codec& c) { return c.request_connection_close(); }));
}
PyObject* get_parse_error_status(PyObject* self, void*) {
  std::optional<uint16_t> s = locked(self, [](h1::Codec& c) { return c.parse_error_status(); });
  if (!s) Py_RETURN_NONE;
  return PyLong_FromLong(*s);
}

PyMethodDef kCodecMethods[] = {
    VELMORA_METHOD(H1Codec, receive_head, receive_head),
    VELMORA_METHOD(H1Codec, receive_request_head, receive_request_head),
    VELMORA_METHOD(H1Codec, feed, feed),
    VELMORA_METHOD(H1Codec, take_body, take_body),
    VELMORA_METHOD(H1Codec, take_body_into, take_body_into),
    VELMORA_METHOD(H1Codec, reset, codec_reset),
    VELMORA_METHOD(H1Codec, serialize_request, serialize_request),
    VELMORA_METHOD(H1Codec, serialize_response, serialize_response),
    VELMORA_METHOD(H1Codec, serialize_data, serialize_data),
    VELMORA_METHOD(H1Codec, serialize_end, serialize_end),
    VELMORA_METHOD(H1Codec, serialize_trailers, serialize_trailers),
    VELMORA_METHOD(H1Codec, serialize_head_and_body, serialize_head_and_body),
    VELMORA_METHOD(H1Codec, body_is_eof, body_is_eof),
    VELMORA_METHOD(H1Codec, continue_response, continue_response),
    VELMORA_METHOD(H1Codec, connection_close, connection_close),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCodecGetSet[] = {
    VELMORA_GETTER(H1Codec, buffered, get_buffered),
    VELMORA_GETTER(H1Codec, max_buf_size, get_max_buf_size),
    VELMORA_GETTER(H1Codec, response_is_last, get_response_is_last),
    VELMORA_GETTER(H1Codec, response_close_delimited, get_response_close_delimited),
    VELMORA_GETTER(H1Codec, request_connection_close, get_request_connection_close),
    VELMORA_GETTER(H1Codec, parse_error_status, get_parse_error_status),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kCodecSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H1Codec)},
    {Py_tp_new, slot<codec_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, kCodecMethods},
    {Py_tp_getset, kCodecGetSet},
    {0, nullptr},
};

PyType_Spec kCodecSpec = {"velmora._velmora.H1Codec", sizeof(H1CodecObject), 0, Py_TPFLAGS_DEFAULT, kCodecSlots};

}  // namespace

PyObject* h1_response_head_bytes(const h1::Result<h1::EncodedResponse>& head) {
  if (!head) return raise(head.error());
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(head->plan.size));
  if (out) h1::write_response(head->res, head->plan, PyBytes_AS_STRING(out));
  return out;
}

bool is_h1_codec(PyObject* o) noexcept { return g_codec_type && PyObject_TypeCheck(o, g_codec_type); }

PyObject* new_h1_request_head(h1::RequestHead&& head) {
  PyObject* method;
  if (head.method == h1::Method::extension)
    method = ascii_obj(head.method_text);  // a token: always ASCII
  else
    method = Py_NewRef(method_str(head.method));
  if (!method) return nullptr;
  Ref m(method);
  Ref target(text_obj(head.target()));
  if (!target) return nullptr;
  Ref headers(new_header_map(std::move(head.headers)));
  if (!headers) return nullptr;
  Ref length(length_obj(head.body, head.content_length));
  if (!length) return nullptr;
  // Every field is set below: no zeroing allocation needed.
  auto* h = PyObject_New(RequestHeadObject, g_request_type);
  if (!h) return nullptr;
  PyObject* self = reinterpret_cast<PyObject*>(h);
  h->method = m.release();
  h->target = target.release();
  h->headers = headers.release();
  h->body_kind = Py_NewRef(g_kinds[size_t(head.body)]);
  h->content_length = length.release();
  h->keep_alive = flag_obj(head.keep_alive);
  h->expect_continue = flag_obj(head.expect_continue);
  h->is_upgrade = flag_obj(head.upgrade);
  h->http10 = flag_obj(head.http10);
  h->allow_trailers = flag_obj(head.allow_trailers);
  return self;
}

PyObject* new_h1_response_head(h1::ResponseHead&& head) {
  Ref headers(new_header_map(std::move(head.headers)));
  if (!headers) return nullptr;
  Ref length(length_obj(head.body, head.content_length));
  if (!length) return nullptr;
  auto* h = PyObject_New(ResponseHeadObject, g_response_type);
  if (!h) return nullptr;
  PyObject* self = reinterpret_cast<PyObject*>(h);
  h->headers = headers.release();
  h->body_kind = Py_NewRef(g_kinds[size_t(head.body)]);
  h->content_length = length.release();
  h->status = head.status;
  h->keep_alive = flag_obj(head.keep_alive);
  h->is_upgrade = flag_obj(head.upgrade);
  h->http10 = flag_obj(head.http10);
  h->wants_keep_alive = flag_obj(head.wants_keep_alive);
  return self;
}

int add_h1_codec(PyObject* m) {
  if (!init_shared_strings()) return -1;
  g_codec_type = add_type(m, &kCodecSpec);
  if (!g_codec_type) return -1;
  g_response_type = add_type(m, &kResponseSpec);
  if (!g_response_type) return -1;
  g_request_type = add_type(m, &kRequestSpec);
  return g_request_type ? 0 : -1;
}

}  // namespace velmora::py
