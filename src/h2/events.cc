// The frame event classes and their construction from a decoded batch.
#include "src/h2/events.h"

#include <cstring>
#include <mutex>
#include <variant>

#include "proto/h2/block.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/http/header_map.h"

namespace velmora::py {

namespace {

PyTypeObject* g_types[9] = {};  // indexed by H2Event

PyTypeObject* type_of(H2Event e) noexcept { return g_types[size_t(e)]; }

// Shared strings: the standard methods and the two common schemes.
constexpr const char* kMethodNames[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "CONNECT", "TRACE"};
PyObject* g_methods[std::size(kMethodNames)] = {};
PyObject* g_http = nullptr;
PyObject* g_https = nullptr;

bool init_strings() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    for (size_t i = 0; i < std::size(kMethodNames); ++i)
      if (!(g_methods[i] = PyUnicode_InternFromString(kMethodNames[i]))) return;
    g_http = PyUnicode_InternFromString("http");
    g_https = PyUnicode_InternFromString("https");
    ok = g_http && g_https;
  });
  if (!ok && !PyErr_Occurred()) PyErr_NoMemory();
  return ok;
}

PyObject* method_obj(std::string_view m) {
  for (size_t i = 0; i < std::size(kMethodNames); ++i)
    if (m == kMethodNames[i]) return Py_NewRef(g_methods[i]);
  return ascii_obj(m);  // a token: ASCII
}

PyObject* opt_text(const std::optional<std::string_view>& s) {
  if (!s) return Py_NewRef(Py_None);
  return str_obj(*s);  // checked UTF-8 by the decoder
}

PyObject* scheme_obj(const std::optional<std::string_view>& s) {
  if (s && *s == "https") return Py_NewRef(g_https);
  if (s && *s == "http") return Py_NewRef(g_http);
  return opt_text(s);
}

PyObject* opt_u32(const std::optional<uint32_t>& v) {
  return v ? PyLong_FromUnsignedLong(*v) : Py_NewRef(Py_None);
}

template <class T>
T* alloc(H2Event e) {
  PyTypeObject* t = type_of(e);
  return reinterpret_cast<T*>(t->tp_alloc(t, 0));
}

PyObject* headers_obj(h2::HeadersEvent& ev) {
  h2::HeaderList& h = ev.head;
  // The pseudo-header values live in the map's storage: read before it moves.
  auto cl = h.content_length();
  bool cl_invalid = h.content_length_invalid();
  Ref method(h.method ? method_obj(*h.method) : Py_NewRef(Py_None));
  Ref scheme(scheme_obj(h.scheme));
  Ref authority(opt_text(h.authority));
  Ref path(opt_text(h.path));
  Ref status(h.status ? PyLong_FromLong(h.status) : Py_NewRef(Py_None));
  Ref length(cl ? PyLong_FromUnsignedLongLong(*cl) : Py_NewRef(Py_None));
  Ref protocol(opt_text(h.protocol));
  if (!method || !scheme || !authority || !path || !status || !length || !protocol) return nullptr;
  uint32_t count = uint32_t(h.fields.size());
  bool informational = h.is_informational();
  Ref headers(new_header_map(std::move(h.fields)));
  if (!headers) return nullptr;
  auto* o = alloc<H2HeadersObject>(H2Event::headers);
  if (!o) return nullptr;
  o->method = method.release();
  o->scheme = scheme.release();
  o->authority = authority.release();
  o->path = path.release();
  o->status = status.release();
  o->headers = headers.release();
  o->content_length = length.release();
  o->protocol = protocol.release();
  o->stream_id = ev.stream_id;
  o->field_count = count;
  o->end_stream = ev.end_stream;
  o->end_headers = 1;
  o->content_length_invalid = cl_invalid;
  o->is_informational = informational;
  o->over_size = h.over_size;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* data_obj(const h2::DataEvent& ev) {
  Ref data(bytes_obj(ev.data));
  if (!data) return nullptr;
  auto* o = alloc<H2DataObject>(H2Event::data);
  if (!o) return nullptr;
  o->data = data.release();
  o->stream_id = ev.stream_id;
  o->flow_controlled_len = ev.flow_controlled_len;
  o->padding = ev.padding;
  o->end_stream = ev.end_stream;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* settings_obj(const h2::SettingsEvent& ev) {
  const h2::Settings& s = ev.settings;
  auto opt_bool = [](const std::optional<bool>& b) { return b ? bool_obj(*b) : Py_NewRef(Py_None); };
  Ref v[7] = {Ref(opt_u32(s.header_table_size)),
              Ref(opt_bool(s.enable_push)),
              Ref(opt_u32(s.max_concurrent_streams)),
              Ref(opt_u32(s.initial_window_size)),
              Ref(opt_u32(s.max_frame_size)),
              Ref(opt_u32(s.max_header_list_size)),
              Ref(opt_bool(s.enable_connect_protocol))};
  for (Ref& r : v)
    if (!r) return nullptr;
  auto* o = alloc<H2SettingsObject>(H2Event::settings);
  if (!o) return nullptr;
  o->header_table_size = v[0].release();
  o->enable_push = v[1].release();
  o->max_concurrent_streams = v[2].release();
  o->initial_window_size = v[3].release();
  o->max_frame_size = v[4].release();
  o->max_header_list_size = v[5].release();
  o->enable_connect_protocol = v[6].release();
  o->ack = ev.ack;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* pair_obj(H2Event e, uint32_t sid, uint32_t value) {
  auto* o = alloc<H2PairObject>(e);
  if (!o) return nullptr;
  o->stream_id = sid;
  o->value = value;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* event_obj(h2::Event& ev) {
  struct Visit {
    PyObject* operator()(h2::HeadersEvent& e) const { return headers_obj(e); }
    PyObject* operator()(h2::DataEvent& e) const { return data_obj(e); }
    PyObject* operator()(h2::SettingsEvent& e) const { return settings_obj(e); }
    PyObject* operator()(h2::PingEvent& e) const {
      Ref data(bytes_obj({e.data.data(), 8}));
      if (!data) return nullptr;
      auto* o = alloc<H2PingObject>(H2Event::ping);
      if (!o) return nullptr;
      o->data = data.release();
      o->ack = e.ack;
      return reinterpret_cast<PyObject*>(o);
    }
    PyObject* operator()(h2::GoAwayEvent& e) const {
      Ref debug(bytes_obj(e.debug_data));
      if (!debug) return nullptr;
      auto* o = alloc<H2GoAwayObject>(H2Event::goaway);
      if (!o) return nullptr;
      o->debug_data = debug.release();
      o->last_stream_id = e.last_stream_id;
      o->error_code = e.error_code;
      return reinterpret_cast<PyObject*>(o);
    }
    PyObject* operator()(h2::WindowUpdateEvent& e) const {
      return pair_obj(H2Event::window_update, e.stream_id, e.increment);
    }
    PyObject* operator()(h2::RstStreamEvent& e) const { return pair_obj(H2Event::rst_stream, e.stream_id, e.error_code); }
    PyObject* operator()(h2::PriorityEvent& e) const { return pair_obj(H2Event::priority, e.stream_id, 0); }
    PyObject* operator()(h2::StreamErrorEvent& e) const {
      return pair_obj(H2Event::stream_error, e.stream_id, e.error_code);
    }
  };
  return std::visit(Visit{}, ev);
}

// ---- type machinery ----------------------------------------------------------

template <class T, PyObject* T::*... Fields>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  T* o = reinterpret_cast<T*>(self);
  (Py_XDECREF(o->*Fields), ...);
  tp->tp_free(self);
  Py_DECREF(tp);
}

const char* flag(char b) { return b ? "true" : "false"; }

// Optional numbers print as Some(n) or None.
PyObject* some(PyObject* v) {
  if (v == Py_None) return PyUnicode_FromString("None");
  return PyUnicode_FromFormat("Some(%S)", v);
}

PyObject* headers_repr(PyObject* self) {
  auto* o = reinterpret_cast<H2HeadersObject*>(self);
  Ref status(some(o->status));
  if (!status) return nullptr;
  return PyUnicode_FromFormat("Headers(stream_id=%u, status=%U, end_stream=%s, fields=%u)", unsigned(o->stream_id),
                              status.get(), flag(o->end_stream), unsigned(o->field_count));
}

PyObject* data_repr(PyObject* self) {
  auto* o = reinterpret_cast<H2DataObject*>(self);
  return PyUnicode_FromFormat("Data(stream_id=%u, end_stream=%s, len=%zd)", unsigned(o->stream_id),
                              flag(o->end_stream), PyBytes_GET_SIZE(o->data));
}

PyObject* settings_repr(PyObject* self) {
  auto* o = reinterpret_cast<H2SettingsObject*>(self);
  Ref a(some(o->max_concurrent_streams)), b(some(o->initial_window_size)), c(some(o->max_frame_size));
  if (!a || !b || !c) return nullptr;
  return PyUnicode_FromFormat("Settings(ack=%s, max_concurrent_streams=%U, initial_window_size=%U, max_frame_size=%U)",
                              flag(o->ack), a.get(), b.get(), c.get());
}

#define HD(f) offsetof(H2HeadersObject, f)
#define DT(f) offsetof(H2DataObject, f)
#define ST(f) offsetof(H2SettingsObject, f)
#define PG(f) offsetof(H2PingObject, f)
#define GA(f) offsetof(H2GoAwayObject, f)
#define PR(f) offsetof(H2PairObject, f)
constexpr int RO = Py_READONLY;

PyMemberDef kHeadersMembers[] = {
    VELMORA_MEMBER(H2FrameHeaders, stream_id, Py_T_UINT, HD(stream_id)),
    VELMORA_MEMBER(H2FrameHeaders, end_stream, Py_T_BOOL, HD(end_stream)),
    VELMORA_MEMBER(H2FrameHeaders, end_headers, Py_T_BOOL, HD(end_headers)),
    VELMORA_MEMBER(H2FrameHeaders, method, Py_T_OBJECT_EX, HD(method)),
    VELMORA_MEMBER(H2FrameHeaders, scheme, Py_T_OBJECT_EX, HD(scheme)),
    VELMORA_MEMBER(H2FrameHeaders, authority, Py_T_OBJECT_EX, HD(authority)),
    VELMORA_MEMBER(H2FrameHeaders, path, Py_T_OBJECT_EX, HD(path)),
    VELMORA_MEMBER(H2FrameHeaders, status, Py_T_OBJECT_EX, HD(status)),
    VELMORA_MEMBER(H2FrameHeaders, headers, Py_T_OBJECT_EX, HD(headers)),
    VELMORA_MEMBER(H2FrameHeaders, content_length, Py_T_OBJECT_EX, HD(content_length)),
    VELMORA_MEMBER(H2FrameHeaders, content_length_invalid, Py_T_BOOL, HD(content_length_invalid)),
    VELMORA_MEMBER(H2FrameHeaders, is_informational, Py_T_BOOL, HD(is_informational)),
    VELMORA_MEMBER(H2FrameHeaders, protocol, Py_T_OBJECT_EX, HD(protocol)),
    VELMORA_MEMBER(H2FrameHeaders, over_size, Py_T_BOOL, HD(over_size)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kDataMembers[] = {
    VELMORA_MEMBER(H2FrameData, stream_id, Py_T_UINT, DT(stream_id)),
    VELMORA_MEMBER(H2FrameData, end_stream, Py_T_BOOL, DT(end_stream)),
    VELMORA_MEMBER(H2FrameData, data, Py_T_OBJECT_EX, DT(data)),
    VELMORA_MEMBER(H2FrameData, flow_controlled_len, Py_T_UINT, DT(flow_controlled_len)),
    VELMORA_MEMBER(H2FrameData, padding, Py_T_UINT, DT(padding)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kSettingsMembers[] = {
    VELMORA_MEMBER(H2FrameSettings, ack, Py_T_BOOL, ST(ack)),
    VELMORA_MEMBER(H2FrameSettings, header_table_size, Py_T_OBJECT_EX, ST(header_table_size)),
    VELMORA_MEMBER(H2FrameSettings, enable_push, Py_T_OBJECT_EX, ST(enable_push)),
    VELMORA_MEMBER(H2FrameSettings, max_concurrent_streams, Py_T_OBJECT_EX, ST(max_concurrent_streams)),
    VELMORA_MEMBER(H2FrameSettings, initial_window_size, Py_T_OBJECT_EX, ST(initial_window_size)),
    VELMORA_MEMBER(H2FrameSettings, max_frame_size, Py_T_OBJECT_EX, ST(max_frame_size)),
    VELMORA_MEMBER(H2FrameSettings, max_header_list_size, Py_T_OBJECT_EX, ST(max_header_list_size)),
    VELMORA_MEMBER(H2FrameSettings, enable_connect_protocol, Py_T_OBJECT_EX, ST(enable_connect_protocol)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kPingMembers[] = {
    VELMORA_MEMBER(H2FramePing, data, Py_T_OBJECT_EX, PG(data)),
    VELMORA_MEMBER(H2FramePing, ack, Py_T_BOOL, PG(ack)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kGoAwayMembers[] = {
    VELMORA_MEMBER(H2FrameGoAway, last_stream_id, Py_T_UINT, GA(last_stream_id)),
    VELMORA_MEMBER(H2FrameGoAway, error_code, Py_T_UINT, GA(error_code)),
    VELMORA_MEMBER(H2FrameGoAway, debug_data, Py_T_OBJECT_EX, GA(debug_data)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kRstMembers[] = {
    VELMORA_MEMBER(H2FrameRstStream, stream_id, Py_T_UINT, PR(stream_id)),
    VELMORA_MEMBER(H2FrameRstStream, error_code, Py_T_UINT, PR(value)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kStreamErrorMembers[] = {
    VELMORA_MEMBER(H2FrameStreamError, stream_id, Py_T_UINT, PR(stream_id)),
    VELMORA_MEMBER(H2FrameStreamError, error_code, Py_T_UINT, PR(value)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kWindowMembers[] = {
    VELMORA_MEMBER(H2FrameWindowUpdate, stream_id, Py_T_UINT, PR(stream_id)),
    VELMORA_MEMBER(H2FrameWindowUpdate, increment, Py_T_UINT, PR(value)),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kPriorityMembers[] = {
    VELMORA_MEMBER(H2FramePriority, stream_id, Py_T_UINT, PR(stream_id)),
    {nullptr, 0, 0, 0, nullptr},
};

void pair_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

#define SLOT(s, p) {s, reinterpret_cast<void*>(p)}

PyType_Slot kHeadersSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameHeaders)},
    SLOT(Py_tp_dealloc, (dealloc<H2HeadersObject, &H2HeadersObject::method, &H2HeadersObject::scheme,
                                 &H2HeadersObject::authority, &H2HeadersObject::path, &H2HeadersObject::status,
                                 &H2HeadersObject::headers, &H2HeadersObject::content_length,
                                 &H2HeadersObject::protocol>)),
    SLOT(Py_tp_repr, headers_repr),
    {Py_tp_members, kHeadersMembers},
    {0, nullptr},
};
PyType_Slot kDataSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameData)},
    SLOT(Py_tp_dealloc, (dealloc<H2DataObject, &H2DataObject::data>)),
    SLOT(Py_tp_repr, data_repr),
    {Py_tp_members, kDataMembers},
    {0, nullptr},
};
PyType_Slot kSettingsSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameSettings)},
    SLOT(Py_tp_dealloc,
         (dealloc<H2SettingsObject, &H2SettingsObject::header_table_size, &H2SettingsObject::enable_push,
                  &H2SettingsObject::max_concurrent_streams, &H2SettingsObject::initial_window_size,
                  &H2SettingsObject::max_frame_size, &H2SettingsObject::max_header_list_size,
                  &H2SettingsObject::enable_connect_protocol>)),
    SLOT(Py_tp_repr, settings_repr),
    {Py_tp_members, kSettingsMembers},
    {0, nullptr},
};
PyType_Slot kWindowSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameWindowUpdate)},
    SLOT(Py_tp_dealloc, pair_dealloc),
    {Py_tp_members, kWindowMembers},
    {0, nullptr},
};
PyType_Slot kPingSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FramePing)},
    SLOT(Py_tp_dealloc, (dealloc<H2PingObject, &H2PingObject::data>)),
    {Py_tp_members, kPingMembers},
    {0, nullptr},
};
PyType_Slot kGoAwaySlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameGoAway)},
    SLOT(Py_tp_dealloc, (dealloc<H2GoAwayObject, &H2GoAwayObject::debug_data>)),
    {Py_tp_members, kGoAwayMembers},
    {0, nullptr},
};
PyType_Slot kRstSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameRstStream)},
    SLOT(Py_tp_dealloc, pair_dealloc),
    {Py_tp_members, kRstMembers},
    {0, nullptr},
};
PyType_Slot kPrioritySlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FramePriority)},
    SLOT(Py_tp_dealloc, pair_dealloc),
    {Py_tp_members, kPriorityMembers},
    {0, nullptr},
};
PyType_Slot kStreamErrorSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(H2FrameStreamError)},
    SLOT(Py_tp_dealloc, pair_dealloc),
    {Py_tp_members, kStreamErrorMembers},
    {0, nullptr},
};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec kSpecs[] = {
    {"velmora._velmora.H2FrameHeaders", sizeof(H2HeadersObject), 0, kFlags, kHeadersSlots},
    {"velmora._velmora.H2FrameData", sizeof(H2DataObject), 0, kFlags, kDataSlots},
    {"velmora._velmora.H2FrameSettings", sizeof(H2SettingsObject), 0, kFlags, kSettingsSlots},
    {"velmora._velmora.H2FrameWindowUpdate", sizeof(H2PairObject), 0, kFlags, kWindowSlots},
    {"velmora._velmora.H2FramePing", sizeof(H2PingObject), 0, kFlags, kPingSlots},
    {"velmora._velmora.H2FrameGoAway", sizeof(H2GoAwayObject), 0, kFlags, kGoAwaySlots},
    {"velmora._velmora.H2FrameRstStream", sizeof(H2PairObject), 0, kFlags, kRstSlots},
    {"velmora._velmora.H2FramePriority", sizeof(H2PairObject), 0, kFlags, kPrioritySlots},
    {"velmora._velmora.H2FrameStreamError", sizeof(H2PairObject), 0, kFlags, kStreamErrorSlots},
};

}  // namespace

bool h2_event_kind(PyObject* o, H2Event& out) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  for (size_t i = 0; i < std::size(g_types); ++i)
    if (g_types[i] == t) {
      out = H2Event(i);
      return true;
    }
  return false;
}

PyObject* h2_event_list(h2::RecvBatch& batch) {
  Ref list(PyList_New(Py_ssize_t(batch.events.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < batch.events.size(); ++i) {
    PyObject* e = event_obj(batch.events[i]);
    if (!e) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), e);
  }
  return list.release();
}

int add_h2_events(PyObject* m) {
  if (!init_strings()) return -1;
  for (size_t i = 0; i < std::size(kSpecs); ++i)
    if (!(g_types[i] = add_type(m, &kSpecs[i]))) return -1;
  return 0;
}

}  // namespace velmora::py
