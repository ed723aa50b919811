// H2Codec: converts arguments, runs one step of the core codec under the
// object's lock, and builds the Python results after unlocking.
#include "src/h2/codec.h"

#include <cstring>
#include <optional>
#include <string>

#include "proto/http/date.h"
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
  static const char* kwlist[] = {"role", nullptr};
  PyObject* role_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:H2Codec", const_cast<char**>(kwlist), &role_obj))
    return nullptr;
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

PyObject* serialize_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"header_table_size", "enable_push",    "max_concurrent_streams",
                                      "initial_window_size", "max_frame_size", "max_header_list_size"};
  PyObject* a[6];
  if (!parse_args({"serialize_settings", names, 6, 0, 0}, args, nargs, kwnames, a)) return nullptr;
  h2::Settings s;
  std::optional<uint32_t>* slots[] = {&s.header_table_size, nullptr, &s.max_concurrent_streams,
                                      &s.initial_window_size, &s.max_frame_size, &s.max_header_list_size};
  for (int i = 0; i < 6; ++i) {
    if (!a[i] || a[i] == Py_None) continue;
    if (i == 1) {
      bool b;
      if (!to_bool(a[i], names[i], b)) return nullptr;
      s.enable_push = b;
      continue;
    }
    uint32_t v;
    if (!to_u32(a[i], names[i], v)) return nullptr;
    *slots[i] = v;
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

PyObject* serialize_request_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "method", "target", "headers", "end_stream", "scheme", "authority"};
  PyObject* a[7];
  if (!parse_args({"serialize_request_headers", names, 7, 5, 3}, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid;
  std::string_view method, target, scheme, authority;
  bool end_stream = false, has_scheme, has_authority;
  std::optional<http::HeaderMap> fields;
  if (!to_u32(a[0], "stream_id", sid) || !to_str(a[1], "method", method) || !to_str(a[2], "target", target) ||
      !headers_arg(a[3], "headers", fields) || !opt_bool(a[4], "end_stream", end_stream) ||
      !to_opt_str(a[5], "scheme", scheme, has_scheme) || !to_opt_str(a[6], "authority", authority, has_authority))
    return nullptr;
  h2::OutHead head;
  if (auto ok = h2::build_request_head(method, target, has_scheme ? &scheme : nullptr,
                                       has_authority ? &authority : nullptr, head);
      !ok)
    return raise_h2(ok.error());
  return header_block(self, sid, head, fields, end_stream, {});
}

PyObject* serialize_response_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "status", "headers", "end_stream", "auto_date"};
  PyObject* a[5];
  if (!parse_args({"serialize_response_headers", names, 5, 5, 2}, args, nargs, kwnames, a)) return nullptr;
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

PyObject* serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "trailers"};
  PyObject* a[2];
  if (!parse_args({"serialize_trailers", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid;
  if (!to_u32(a[0], "stream_id", sid)) return nullptr;
  if (!is_header_map(a[1])) {
    PyErr_Format(PyExc_TypeError, "argument 'trailers' must be HeaderMap, not %T", a[1]);
    return nullptr;
  }
  std::optional<http::HeaderMap> fields(copy_header_map(a[1]));
  return header_block(self, sid, h2::OutHead{}, fields, true, {});
}

PyObject* serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "data", "end_stream"};
  PyObject* a[3];
  if (!parse_args({"serialize_data", names, 3, 3, 2}, args, nargs, kwnames, a)) return nullptr;
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

PyObject* serialize_window_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "increment"};
  PyObject* a[2];
  if (!parse_args({"serialize_window_update", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
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

PyObject* serialize_goaway(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"last_stream_id", "error_code", "debug_data"};
  PyObject* a[3];
  if (!parse_args({"serialize_go_away", names, 3, 3, 2}, args, nargs, kwnames, a)) return nullptr;
  uint32_t last, code;
  std::string_view debug;
  if (!to_u32(a[0], "last_stream_id", last) || !to_u32(a[1], "error_code", code)) return nullptr;
  if (a[2] && a[2] != Py_None && !to_bytes(a[2], "debug_data", debug)) return nullptr;
  std::string out;
  if (auto ok = h2::write_goaway(out, last, code, debug); !ok) return raise_h2(ok.error());
  return bytes_of(out);
}

PyObject* serialize_rst_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id", "error_code"};
  PyObject* a[2];
  if (!parse_args({"serialize_rst_stream", names, 2, 2, 2}, args, nargs, kwnames, a)) return nullptr;
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

#define FASTCALL(f) meth<f>

PyMethodDef kMethods[] = {
    {"receive", meth1<receive, "receive", "data">, kOneArg,
     VELMORA_DOC("receive", "($self, data)",
                 "Feed received bytes; returns the list of frame events now decodable. Raises H2ProtocolError on a "
                 "connection error. A malformed header block (a forbidden field, a value starting or ending with "
                 "SP or HTAB, pseudo-headers wrong for a request (server role) or a response (client role)) is "
                 "decoded to its end and reported as H2FrameStreamError(stream_id, 1).")},
    {"buffered", meth<buffered>, METH_NOARGS,
     VELMORA_DOC("buffered", "($self, /)", "Octets in the read buffer awaiting a complete frame.")},
    {"feed_preface", meth1<feed_preface, "feed_preface", "data">, kOneArg,
     VELMORA_DOC("feed_preface", "($self, data)",
                 "Accumulate data and classify it against the client preface: True matched (the octets after it "
                 "move into the read buffer), None a matching but incomplete prefix, False diverged.")},
    {"set_send_header_table_size", meth1<set_send_header_table_size, "set_send_header_table_size", "val">, kOneArg,
     VELMORA_DOC("set_send_header_table_size", "($self, val)",
                 "The peer's SETTINGS_HEADER_TABLE_SIZE: clamped to 4096 and announced in the next header block.")},
    {"set_recv_header_table_size", meth1<set_recv_header_table_size, "set_recv_header_table_size", "val">, kOneArg,
     VELMORA_DOC("set_recv_header_table_size", "($self, val)",
                 "The SETTINGS_HEADER_TABLE_SIZE we advertised: bounds the peer's next size updates.")},
    {"set_max_recv_frame_size", meth1<set_max_recv_frame_size, "set_max_recv_frame_size", "val">, kOneArg,
     VELMORA_DOC("set_max_recv_frame_size", "($self, val)",
                 "Largest accepted frame payload (16384..16777215).")},
    {"set_max_header_list_size", meth1<set_max_header_list_size, "set_max_header_list_size", "val">, kOneArg,
     VELMORA_DOC("set_max_header_list_size", "($self, val)", "Limit on a decoded header list.")},
    {"set_send_max_frame_size", meth1<set_send_max_frame_size, "set_send_max_frame_size", "val">, kOneArg,
     VELMORA_DOC("set_send_max_frame_size", "($self, val)",
                 "The peer's SETTINGS_MAX_FRAME_SIZE (16384..16777215).")},
    {"serialize_settings", FASTCALL(serialize_settings), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_settings",
                 "($self, /, *, header_table_size=None, enable_push=None, max_concurrent_streams=None, "
                 "initial_window_size=None, max_frame_size=None, max_header_list_size=None)",
                 "One SETTINGS frame with the given parameters.")},
    {"serialize_settings_ack", meth<serialize_settings_ack>, METH_NOARGS,
     VELMORA_DOC("serialize_settings_ack", "($self, /)", "The 9-octet SETTINGS acknowledgement.")},
    {"serialize_request_headers", FASTCALL(serialize_request_headers), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_request_headers",
                 "($self, stream_id, method, target, headers=None, end_stream=False, *, scheme=None, "
                 "authority=None)",
                 "HEADERS (+ CONTINUATION) for a request head. A value starting or ending with SP or HTAB raises "
                 "H2UserError('malformed_headers', ...).")},
    {"serialize_response_headers", FASTCALL(serialize_response_headers), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_response_headers", "($self, stream_id, status, headers=None, end_stream=False, "
                                               "auto_date=False)",
                 "HEADERS (+ CONTINUATION) for a response head. A value starting or ending with SP or HTAB raises "
                 "H2UserError('malformed_headers', ...).")},
    {"serialize_trailers", FASTCALL(serialize_trailers), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_trailers", "($self, stream_id, trailers)",
                 "HEADERS (+ CONTINUATION) with END_STREAM carrying the regular fields of trailers. A value "
                 "starting or ending with SP or HTAB raises H2UserError('malformed_headers', ...).")},
    {"serialize_data", FASTCALL(serialize_data), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_data", "($self, stream_id, data, end_stream=False)",
                 "One DATA frame; raises H2UserError('payload_too_big', ...) past the peer's frame size.")},
    {"serialize_window_update", FASTCALL(serialize_window_update), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_window_update", "($self, stream_id, increment)", "One WINDOW_UPDATE frame.")},
    {"serialize_ping", meth1<serialize_ping, "serialize_ping", "payload">, kOneArg,
     VELMORA_DOC("serialize_ping", "($self, payload)", "One PING frame with an 8-byte payload.")},
    {"serialize_ping_ack", meth1<serialize_ping_ack, "serialize_ping_ack", "payload">, kOneArg,
     VELMORA_DOC("serialize_ping_ack", "($self, payload)", "The PING acknowledgement echoing payload.")},
    {"serialize_go_away", FASTCALL(serialize_goaway), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_go_away", "($self, last_stream_id, error_code, debug_data=None)",
                 "One GOAWAY frame on stream 0.")},
    {"serialize_rst_stream", FASTCALL(serialize_rst_stream), METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("serialize_rst_stream", "($self, stream_id, error_code)", "One RST_STREAM frame.")},
    {"match_preface", meth1<match_preface, "match_preface", "data">, kOneArg | METH_STATIC,
     VELMORA_DOC("match_preface", "(data)",
                 "Compare data with the client preface: False on a difference, None for a matching prefix shorter "
                 "than 24 octets, True once the preface is complete.")},
    {"check_send_headers", meth1<check_send_headers, "check_send_headers", "headers">, kOneArg | METH_STATIC,
     VELMORA_DOC("check_send_headers", "(headers)",
                 "Raise H2UserError('malformed_headers', ...) for a field set HTTP/2 forbids (a connection-specific "
                 "field, te other than trailers, a value starting or ending with SP or HTAB); else None.")},
    {"method_is_head", meth1<method_is_head, "method_is_head", "method">, kOneArg | METH_STATIC,
     VELMORA_DOC("method_is_head", "(method)", "True when method is exactly HEAD.")},
    {"is_client_initiated", meth1<is_client_initiated, "is_client_initiated", "stream_id">, kOneArg | METH_STATIC,
     VELMORA_DOC("is_client_initiated", "(stream_id)", "True for odd stream ids.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"role_client", get<get_role_client>, nullptr, "True for the client role.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELMORA_DOC("H2Codec", "(role='client')",
                                              "HTTP/2 frame codec: frames decoded into events, HPACK in both "
                                              "directions, every frame type encoded."))},
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
