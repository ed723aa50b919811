// Module functions: http_date() and uri_parts().
#include <cstdio>
#include <string>

#include "proto/http/date.h"
#include "proto/http/uri.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyObject* http_date(PyObject*, PyObject*) { return bytes_obj(http::http_date_now()); }

PyObject* uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"url"};
  PyObject* arg;
  if (!parse_args({"uri_parts", names, 1, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  std::string_view url;
  if (!to_str(arg, "url", url)) return nullptr;
  http::Uri u;
  if (http::UriError e = http::parse_uri(url, u); e != http::UriError::none) {
    // "invalid url " + the URL in its debug form (double quotes, escapes) +
    // ": " + the parser's reason.
    std::string msg = "invalid url \"";
    for (unsigned char c : url) {
      switch (c) {
        case '"': msg += "\\\""; break;
        case '\\': msg += "\\\\"; break;
        case '\n': msg += "\\n"; break;
        case '\r': msg += "\\r"; break;
        case '\t': msg += "\\t"; break;
        case '\0': msg += "\\0"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u{%x}", c);
            msg += buf;
          } else {
            msg += char(c);
          }
      }
    }
    msg += "\": ";
    msg += http::uri_error_text(e);
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return nullptr;
  }
  Ref scheme, host, port, authority;
  if (u.form == http::UriForm::absolute) {
    scheme = Ref(str_obj(u.scheme_text()));
    if (!scheme) return nullptr;
  }
  if (u.has_authority()) {
    uint16_t explicit_port = 0;
    bool has_explicit = u.has_port && http::parse_port_u16(u.port, explicit_port);
    int def = -1;
    if (u.scheme_kind == http::Scheme::http) def = 80;
    else if (u.scheme_kind == http::Scheme::https) def = 443;
    else if (u.scheme == "ws") def = 80;
    else if (u.scheme == "wss") def = 443;
    int chosen = has_explicit ? int(explicit_port) : def;
    std::string_view h = u.host;
    while (!h.empty() && h.front() == '[') h.remove_prefix(1);
    while (!h.empty() && h.back() == ']') h.remove_suffix(1);
    host = Ref(str_obj(h));
    if (!host) return nullptr;
    if (chosen >= 0) {
      port = Ref(PyLong_FromLong(chosen));
      std::string a(u.host);
      a += ':';
      a += std::to_string(chosen);
      authority = Ref(str_obj(a));
      if (!port || !authority) return nullptr;
    }
  }
  auto or_none = [](Ref& r) { return r ? r.release() : Py_NewRef(Py_None); };
  PyObject* t = PyTuple_New(4);
  if (!t) return nullptr;
  PyTuple_SET_ITEM(t, 0, or_none(scheme));
  PyTuple_SET_ITEM(t, 1, or_none(host));
  PyTuple_SET_ITEM(t, 2, or_none(port));
  PyTuple_SET_ITEM(t, 3, or_none(authority));
  return t;
}

PyMethodDef kFunctions[] = {
    {"http_date", http_date, METH_NOARGS,
     VELMORA_DOC("http_date", "()", "The current Date header value (29-byte IMF-fixdate), cached per second.")},
    {"uri_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(uri_parts)),
     METH_FASTCALL | METH_KEYWORDS,
     VELMORA_DOC("uri_parts", "(url)",
                 "Split a URL into (scheme, host, port, authority) with the codecs' URI parser.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_http_functions(PyObject* m) { return PyModule_AddFunctions(m, kFunctions); }

}  // namespace velmora::py
