// The WebSocket handshake helpers: module functions over the core's checks,
// reading and returning HeaderMap objects. Stateless: no lock of their own
// (a HeaderMap argument is copied under its lock first).
#include <string>
#include <vector>

#include "proto/http/field_scan.h"
#include "proto/ws/handshake.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/http/header_map.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

constexpr std::string_view kServerDeflate = "permessage-deflate";
constexpr std::string_view kClientDeflate = "permessage-deflate; client_max_window_bits";

// The subprotocol names of a sequence of str (views into the str objects,
// which `seq` keeps alive).
bool subprotocols_from(PyObject* o, Ref& seq, std::vector<std::string_view>& out) {
  if (!o) return true;
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "argument 'subprotocols' must be a sequence of str, not str");
    return false;
  }
  seq = Ref(PySequence_Fast(o, "argument 'subprotocols' must be a sequence of str"));
  if (!seq) return false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view s;
    if (!to_str(PySequence_Fast_GET_ITEM(seq.get(), i), "subprotocols", s)) return false;
    if (!http::is_token(s)) {
      PyErr_Format(PyExc_ValueError, "invalid subprotocol %R: a subprotocol is a token",
                   PySequence_Fast_GET_ITEM(seq.get(), i));
      return false;
    }
    out.push_back(s);
  }
  return true;
}

// Our permessage-deflate preferences or offer: absent gives `dflt`, None
// none; a malformed element raises ValueError.
bool deflate_from(PyObject* o, std::string_view dflt, std::optional<ws::DeflateParams>& out) {
  if (o == Py_None) return true;
  std::string_view text = dflt;
  if (o && !to_str(o, "deflate", text)) return false;
  auto d = ws::parse_deflate(text, true);
  if (!d) {
    raise(pending(d.error()));
    return false;
  }
  out = *d;
  return true;
}

bool headers_from(PyObject* o, const char* arg, http::HeaderMap& out) {
  if (!is_header_map(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap, not %T", arg, o);
    return false;
  }
  out = copy_header_map(o);
  return true;
}

bool opt_bool(PyObject* o, const char* arg, bool& out) { return !o || to_bool(o, arg, out); }

PyObject* str_or_none(std::string_view s) {
  if (s.empty()) Py_RETURN_NONE;
  return str_obj(s);
}

PyObject* extension_or_none(const std::optional<ws::DeflateParams>& d) {
  if (!d) Py_RETURN_NONE;
  return ascii_obj(ws::format_deflate(*d));
}

PyObject* ws_accept_key(PyObject*, PyObject* key) {
  std::string_view k;
  if (!to_str(key, "key", k)) return nullptr;
  return ascii_obj(ws::accept_key(k));
}

PyObject* ws_make_key(PyObject*, PyObject*) { return ascii_obj(ws::make_key()); }

PyObject* ws_server_handshake(PyObject*, PyObject* const* a) {
  http::HeaderMap request;
  Ref seq;
  std::vector<std::string_view> protos;
  std::optional<ws::DeflateParams> deflate;
  bool http2 = false;
  if (!headers_from(a[0], "request", request) || !subprotocols_from(a[1], seq, protos) ||
      !deflate_from(a[2], kServerDeflate, deflate) || !opt_bool(a[3], "http2", http2))
    return nullptr;
  http::HeaderMap response;
  auto r = ws::server_handshake(request, protos, deflate ? &*deflate : nullptr, http2, response);
  if (!r) return raise(pending(r.error()));
  Ref fields(new_header_map(std::move(response)));
  if (!fields) return nullptr;
  Ref proto(str_or_none(r->subprotocol));
  if (!proto) return nullptr;
  Ref ext(extension_or_none(r->deflate));
  if (!ext) return nullptr;
  return PyTuple_Pack(3, fields.get(), proto.get(), ext.get());
}

PyObject* ws_client_request(PyObject*, PyObject* const* a) {
  std::string_view key;
  Ref seq;
  std::vector<std::string_view> protos;
  std::optional<ws::DeflateParams> deflate;
  bool http2 = false;
  if (!to_str(a[0], "key", key) || !subprotocols_from(a[1], seq, protos) ||
      !deflate_from(a[2], kClientDeflate, deflate) || !opt_bool(a[3], "http2", http2))
    return nullptr;
  http::HeaderMap request;
  if (!http2 && !http::is_valid_value(key)) {
    PyErr_SetString(PyExc_ValueError, "invalid key: not a field value");
    return nullptr;
  }
  ws::client_request(key, protos, deflate ? &*deflate : nullptr, http2, request);
  return new_header_map(std::move(request));
}

PyObject* ws_client_check(PyObject*, PyObject* const* a) {
  http::HeaderMap response;
  std::string_view key;
  Ref seq;
  std::vector<std::string_view> protos;
  std::optional<ws::DeflateParams> deflate;
  bool http2 = false;
  if (!headers_from(a[0], "response", response) || !to_str(a[1], "key", key) ||
      !subprotocols_from(a[2], seq, protos) || !deflate_from(a[3], kClientDeflate, deflate) ||
      !opt_bool(a[4], "http2", http2))
    return nullptr;
  auto r = ws::client_check(response, key, protos, deflate ? &*deflate : nullptr, http2);
  if (!r) return raise(pending(r.error()));
  Ref proto(str_or_none(r->subprotocol));
  if (!proto) return nullptr;
  Ref ext(extension_or_none(r->deflate));
  if (!ext) return nullptr;
  return PyTuple_Pack(2, proto.get(), ext.get());
}

PyMethodDef kFunctions[] = {
    VELMORA_FUNCTION(ws_accept_key, ws_accept_key),
    VELMORA_FUNCTION(ws_make_key, ws_make_key),
    VELMORA_FUNCTION(ws_server_handshake, ws_server_handshake),
    VELMORA_FUNCTION(ws_client_request, ws_client_request),
    VELMORA_FUNCTION(ws_client_check, ws_client_check),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_ws_functions(PyObject* m) { return PyModule_AddFunctions(m, kFunctions); }

}  // namespace velmora::py
