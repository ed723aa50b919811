// H2Codec: converts arguments, runs one step of the core codec under the
// object's lock, and builds the Python results after unlocking.
#include "src/h2/codec.h"

#include <cstring>
#include <optional>
#include <string>

#include "proto/http/date.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/h2/events.h"
#include "src/http/header_map.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyTypeObject* g_type = nullptr;

H2CodecObject* self_of(PyObject* o) { return static_cast<H2CodecObject*>(H2CodecObject::of(o)); }

bool to_u32(PyObject* o, const char* arg, uint32_t& out) {
  uint64_t v;
  if (!to_u64(o, arg, v)) return false;
  if (v > UINT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' out of range for an unsigned 32-bit integer", arg);
    return false;
  }
  out = uint32_t(v);
  return true;
}

bool opt_bool(PyObject* o, const char* arg, bool& out) { return !o || to_bool(o, arg, out); }

bool headers_arg(PyObject* o, const char* arg, std::optional<http::HeaderMap>& out) {
  if (!o || o == Py_None) return true;
  if (!is_header_map(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap or None, not %T", arg, o);
    return false;
  }
  out = copy_header_map(o);
  return true;
}

PyObject* bytes_of(const std::string& s) { return bytes_obj(s); }

PyObject* frame_size_error(uint32_t v) {
  return raise_h2(h2::Error::bad_argument(h2::BadArgument::max_frame_size, v));
}

bool frame_size_ok(uint32_t v) { return v >= h2::kDefaultMaxFrameSize && v <= h2::kMaxMaxFrameSize; }

// ---- construction ------------------------------------------------------------

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"role", "enable_connect_protocol", nullptr};
  PyObject* role_obj = nullptr;
  PyObject* connect_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:H2Codec", const_cast<char**>(kwlist), &role_obj,
                                   &connect_obj))
    return nullptr;
  bool extended_connect = false;
  if (connect_obj && !to_bool(connect_obj, "enable_connect_protocol", extended_connect)) return nullptr;
  std::string_view role = "client";
  if (role_obj && !to_str(role_obj, "role", role)) return nullptr;
  if (role != "client" && role != "server") {
    std::string msg = "role must be 'client' or 'server', got \"";
    append_debug_text(role_obj, msg);
    msg += '"';
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return nullptr;
  }
  PyObject* self = create<H2CodecObject>(type);
  if (self) {
    // Nothing else sees the object yet: no lock needed.
    self_of(self)->client = role == "client";
    self_of(self)->state.recv.set_role(role == "client" ? h2::Role::client : h2::Role::server);
    self_of(self)->state.recv.set_extended_connect(role == "server" && extended_connect);
  }
  return self;
}

void codec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  destroy(self_of(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---- receiving -----------------------------------------------------------------

PyObject* receive(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h2::RecvBatch batch;
  auto r = self_of(self)->with([&](h2::Codec& c) { return c.recv.receive(bytes, batch); });
  if (!r) return raise_h2(r.error());
  // DATA events point into `data` (alive: the caller holds it) or into the
  // batch.
  return h2_event_list(batch);
}

PyObject* buffered(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(self_of(self)->with([](h2::Codec& c) { return c.recv.buffered(); }));
}

PyObject* feed_preface(PyObject* self, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h2::PrefaceMatch m = self_of(self)->with([&](h2::Codec& c) { return c.recv.feed_preface(bytes); });
  if (m == h2::PrefaceMatch::incomplete) Py_RETURN_NONE;
  return bool_obj(m == h2::PrefaceMatch::matched);
}

// ---- settings of the codec -------------------------------------------------------

template <class F>
PyObject* setter(PyObject* self, PyObject* val, F&& f) {
  uint32_t v;
  if (!to_u32(val, "val", v)) return nullptr;
  self_of(self)->with([&](h2::Codec& c) { f(c, v); });
  Py_RETURN_NONE;
}

PyObject* set_send_header_table_size(PyObject* self, PyObject* val) {
  return setter(self, val, [](h2::Codec& c, uint32_t v) { c.send.set_header_table_size(v); });
}
PyObject* set_recv_header_table_size(PyObject* self, PyObject* val) {
  return setter(self, val, [](h2::Codec& c, uint32_t v) { c.recv.set_header_table_size(v); });
}
PyObject* set_max_header_list_size(PyObject* self, PyObject* val) {
  return setter(self, val, [](h2::Codec& c, uint32_t v) { c.recv.set_max_header_list_size(v); });
}
PyObject* set_max_recv_frame_size(PyObject* self, PyObject* val) {
  uint32_t v;
  if (!to_u32(val, "val", v)) return nullptr;
  if (!frame_size_ok(v)) return frame_size_error(v);
  self_of(self)->with([&](h2::Codec& c) { c.recv.set_max_frame_size(v); });
  Py_RETURN_NONE;
}
PyObject* set_send_max_frame_size(PyObject* self, PyObject* val) {
  uint32_t v;
  if (!to_u32(val, "val", v)) return nullptr;
  if (!frame_size_ok(v)) return frame_size_error(v);
  self_of(self)->with([&](h2::Codec& c) { c.send.set_max_frame_size(v); });
  Py_RETURN_NONE;
}

// ---- serializing ------------------------------------------------------------------

PyObject* serialize_settings(PyObject*, PyObject* const* a) {
  h2::Settings s;
  std::optional<uint32_t>* slots[] = {&s.header_table_size, nullptr, &s.max_concurrent_streams,
                                      &s.initial_window_size, &s.max_frame_size, &s.max_header_list_size};
  for (int i = 0; i < 6; ++i) {
    if (!a[i] || a[i] == Py_None) continue;
    if (i == 1) {
      bool b;
      if (!to_bool(a[i], api::H2Codec::serialize_settings::kNames[i], b)) return nullptr;
      s.enable_push = b;
      continue;
    }
    uint32_t v;
    if (!to_u32(a[i], api::H2Codec::serialize_settings::kNames[i], v)) return nullptr;
    *slots[i] = v;
  }
  if (a[6] && a[6] != Py_None) {
    bool b;
    if (!to_bool(a[6], "enable_connect_protocol", b)) return nullptr;
    s.enable_connect_protocol = b;
  }
  if (auto ok = h2::check_settings(s); !ok) return raise_h2(ok.error());
  std::string out;
  h2::write_settings(out, s);
  return bytes_of(out);
}

PyObject* serialize_settings_ack(PyObject*, PyObject*) {
  std::string out;
  h2::write_settings_ack(out);
  return bytes_of(out);
}

// Encodes a head under the lock into `out`; a value HTTP/2 forbids is refused first.
PyObject* header_block(PyObject* self, uint32_t sid, const h2::OutHead& head, const std::optional<http::HeaderMap>& fields,
                       bool end_stream, std::string_view date) {
  if (fields && h2::has_padded_value(*fields)) return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  std::string out;
  auto r = self_of(self)->with([&](h2::Codec& c) {
    return c.send.write_headers(out, sid, head, fields ? &*fields : nullptr, end_stream, date);
  });
  if (!r) return raise_h2(r.error());
  return bytes_of(out);
}

PyObject* serialize_request_headers(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  std::string_view method, target, scheme, authority, protocol;
  bool end_stream = false, has_scheme, has_authority, has_protocol;
  std::optional<http::HeaderMap> fields;
  if (!to_u32(a[0], "stream_id", sid) || !to_str(a[1], "method", method) || !to_str(a[2], "target", target) ||
      !headers_arg(a[3], "headers", fields) || !opt_bool(a[4], "end_stream", end_stream) ||
      !to_opt_str(a[5], "scheme", scheme, has_scheme) || !to_opt_str(a[6], "authority", authority, has_authority) ||
      !to_opt_str(a[7], "protocol", protocol, has_protocol))
    return nullptr;
  h2::OutHead head;
  if (auto ok = h2::build_request_head(method, target, has_scheme ? &scheme : nullptr,
                                       has_authority ? &authority : nullptr, head,
                                       has_protocol ? &protocol : nullptr);
      !ok)
    return raise_h2(ok.error());
  return header_block(self, sid, head, fields, end_stream, {});
}

PyObject* serialize_response_headers(PyObject* self, PyObject* const* a) {
  uint32_t sid, status;
  bool end_stream = false, auto_date = false;
  std::optional<http::HeaderMap> fields;
  if (!to_u32(a[0], "stream_id", sid) || !to_u32(a[1], "status", status) || !headers_arg(a[2], "headers", fields) ||
      !opt_bool(a[3], "end_stream", end_stream) || !opt_bool(a[4], "auto_date", auto_date))
    return nullptr;
  h2::OutHead head;
  if (auto ok = h2::build_response_head(status, head); !ok) return raise_h2(ok.error());
  std::string_view date;
  if (auto_date && !(fields && fields->contains("date"))) date = http::http_date_now();
  return header_block(self, sid, head, fields, end_stream, date);
}

PyObject* serialize_trailers(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  if (!to_u32(a[0], "stream_id", sid)) return nullptr;
  if (!is_header_map(a[1])) {
    PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap, not %T", a[1]);
    return nullptr;
  }
  std::optional<http::HeaderMap> fields(copy_header_map(a[1]));
  return header_block(self, sid, h2::OutHead{}, fields, true, {});
}

PyObject* serialize_data(PyObject* self, PyObject* const* a) {
  uint32_t sid;
  std::string_view data;
  bool end_stream = false;
  if (!to_u32(a[0], "stream_id", sid) || !to_bytes(a[1], "data", data) || !opt_bool(a[2], "end_stream", end_stream))
    return nullptr;
  uint32_t max = self_of(self)->with([](h2::Codec& c) { return c.send.max_frame_size(); });
  if (auto ok = h2::check_data(sid, data.size(), max); !ok) return raise_h2(ok.error());
  // The frame is written straight into the result: one copy of the payload.
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(h2::kFrameHeaderLen + data.size()));
  if (!out) return nullptr;
  char* p = PyBytes_AS_STRING(out);
  h2::write_frame_header(p, uint32_t(data.size()), h2::FrameType::data, end_stream ? h2::flags::end_stream : 0, sid);
  if (!data.empty()) std::memcpy(p + h2::kFrameHeaderLen, data.data(), data.size());
  return out;
}

PyObject* serialize_window_update(PyObject*, PyObject* const* a) {
  uint32_t sid, inc;
  if (!to_u32(a[0], "stream_id", sid) || !to_u32(a[1], "increment", inc)) return nullptr;
  std::string out;
  if (auto ok = h2::write_window_update(out, sid, inc); !ok) return raise_h2(ok.error());
  return bytes_of(out);
}

PyObject* ping(PyObject* payload, bool ack) {
  std::string_view p;
  if (!to_bytes(payload, "payload", p)) return nullptr;
  std::string out;
  if (auto ok = h2::write_ping(out, p, ack); !ok) return raise_h2(ok.error());
  return bytes_of(out);
}
PyObject* serialize_ping(PyObject*, PyObject* payload) { return ping(payload, false); }
PyObject* serialize_ping_ack(PyObject*, PyObject* payload) { return ping(payload, true); }

PyObject* serialize_goaway(PyObject*, PyObject* const* a) {
  uint32_t last, code;
  std::string_view debug;
  if (!to_u32(a[0], "last_stream_id", last) || !to_u32(a[1], "error_code", code)) return nullptr;
  if (a[2] && a[2] != Py_None && !to_bytes(a[2], "debug_data", debug)) return nullptr;
  std::string out;
  if (auto ok = h2::write_goaway(out, last, code, debug); !ok) return raise_h2(ok.error());
  return bytes_of(out);
}

PyObject* serialize_rst_stream(PyObject*, PyObject* const* a) {
  uint32_t sid, code;
  if (!to_u32(a[0], "stream_id", sid) || !to_u32(a[1], "error_code", code)) return nullptr;
  std::string out;
  if (auto ok = h2::write_rst_stream(out, sid, code); !ok) return raise_h2(ok.error());
  return bytes_of(out);
}

// ---- static helpers -------------------------------------------------------------

PyObject* match_preface(PyObject*, PyObject* data) {
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  h2::PrefaceMatch m = h2::match_preface(bytes);
  if (m == h2::PrefaceMatch::incomplete) Py_RETURN_NONE;
  return bool_obj(m == h2::PrefaceMatch::matched);
}

PyObject* check_send_headers(PyObject*, PyObject* headers) {
  if (!is_header_map(headers)) {
    PyErr_Format(PyExc_TypeError, "argument 'headers' must be HeaderMap, not %T", headers);
    return nullptr;
  }
  // Read in place under the map's lock: drivers check every outgoing head.
  bool bad = HeaderMapObject::of(headers)->with(
      [](const HeaderMapState& s) { return h2::has_forbidden_fields(s.map) || h2::has_padded_value(s.map); });
  if (bad) return raise_h2(h2::Error::user(h2::Misuse::malformed_headers));
  Py_RETURN_NONE;
}

PyObject* method_is_head(PyObject*, PyObject* method) {
  std::string_view m;
  if (!to_str(method, "method", m)) return nullptr;
  return bool_obj(h2::method_is_head(m));
}

PyObject* is_client_initiated(PyObject*, PyObject* sid) {
  uint32_t id;
  if (!to_u32(sid, "stream_id", id)) return nullptr;
  return bool_obj(h2::is_client_initiated(id));
}

PyObject* get_role_client(PyObject* self, void*) { return bool_obj(self_of(self)->client); }


PyMethodDef kMethods[] = {
    VELMORA_METHOD(H2Codec, receive, receive),
    VELMORA_METHOD(H2Codec, buffered, buffered),
    VELMORA_METHOD(H2Codec, feed_preface, feed_preface),
    VELMORA_METHOD(H2Codec, set_send_header_table_size, set_send_header_table_size),
    VELMORA_METHOD(H2Codec, set_recv_header_table_size, set_recv_header_table_size),
    VELMORA_METHOD(H2Codec, set_max_recv_frame_size, set_max_recv_frame_size),
    VELMORA_METHOD(H2Codec, set_max_header_list_size, set_max_header_list_size),
    VELMORA_METHOD(H2Codec, set_send_max_frame_size, set_send_max_frame_size),
    VELMORA_METHOD(H2Codec, serialize_settings, serialize_settings),
    VELMORA_METHOD(H2Codec, serialize_settings_ack, serialize_settings_ack),
    VELMORA_METHOD(H2Codec, serialize_request_headers, serialize_request_headers),
    VELMORA_METHOD(H2Codec, serialize_response_headers, serialize_response_headers),
    VELMORA_METHOD(H2Codec, serialize_trailers, serialize_trailers),
    VELMORA_METHOD(H2Codec, serialize_data, serialize_data),
    VELMORA_METHOD(H2Codec, serialize_window_update, serialize_window_update),
    VELMORA_METHOD(H2Codec, serialize_ping, serialize_ping),
    VELMORA_METHOD(H2Codec, serialize_ping_ack, serialize_ping_ack),
    VELMORA_METHOD(H2Codec, serialize_go_away, serialize_goaway),
    VELMORA_METHOD(H2Codec, serialize_rst_stream, serialize_rst_stream),
    VELMORA_METHOD(H2Codec, match_preface, match_preface),
    VELMORA_METHOD(H2Codec, check_send_headers, check_send_headers),
    VELMORA_METHOD(H2Codec, method_is_head, method_is_head),
    VELMORA_METHOD(H2Codec, is_client_initiated, is_client_initiated),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    VELMORA_GETTER(H2Codec, role_client, get_role_client),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2Codec)},
    {Py_tp_new, slot<codec_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.H2Codec", sizeof(H2CodecObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int add_h2_codec(PyObject* m) {
  if (!(g_type = add_type(m, &kSpec))) return -1;
  return add_h2_events(m);
}

}  // namespace velmora::py
