// Module functions: http_date() and uri_parts().
#include <cstdio>
#include <string>

#include "proto/http/date.h"
#include "proto/http/error.h"
#include "proto/http/uri.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

// The debug form of a string, between the quotes: '"' and '\' escaped, the
// usual C escapes for NUL, tab, line feed and carriage return, and every other
// character that is not printable (controls, format characters, separators
// other than the space, unassigned and private-use code points) as \u{hex}.
void append_debug_text(PyObject* s, std::string& out) {
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (!Py_UNICODE_ISPRINTABLE(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(c));
      out += buf;
    } else if (c < 0x80) {
      out += char(c);
    } else {
      // UTF-8 of a code point the str holds (never a lone surrogate: those
      // are not printable).
      char buf[4];
      size_t len;
      if (c < 0x800) {
        buf[0] = char(0xc0 | (c >> 6));
        buf[1] = char(0x80 | (c & 0x3f));
        len = 2;
      } else if (c < 0x10000) {
        buf[0] = char(0xe0 | (c >> 12));
        buf[1] = char(0x80 | ((c >> 6) & 0x3f));
        buf[2] = char(0x80 | (c & 0x3f));
        len = 3;
      } else {
        buf[0] = char(0xf0 | (c >> 18));
        buf[1] = char(0x80 | ((c >> 12) & 0x3f));
        buf[2] = char(0x80 | ((c >> 6) & 0x3f));
        buf[3] = char(0x80 | (c & 0x3f));
        len = 4;
      }
      out.append(buf, len);
    }
  }
}

namespace {

PyObject* http_date(PyObject*, PyObject*) { return bytes_obj(http::http_date_now()); }

PyObject* uri_parts(PyObject*, PyObject* arg) {
  std::string_view url;
  if (!to_str(arg, "url", url)) return nullptr;
  http::Result<http::Uri> parsed = http::parse_uri(url);
  if (!parsed) return raise_url_error(arg, parsed.error());
  const http::Uri& u = *parsed;
  Ref scheme, host, port, authority;
  if (u.form == http::UriForm::absolute) {
    scheme = Ref(str_obj(u.scheme_text()));
    if (!scheme) return nullptr;
  }
  if (u.has_authority()) {
    http::Result<uint16_t> explicit_port = http::fail(http::ErrorKind::invalid_port);
    if (u.has_port) explicit_port = http::parse_port_u16(u.port);
    bool has_explicit = explicit_port.has_value();
    int def = -1;
    if (u.scheme_kind == http::Scheme::http) def = 80;
    else if (u.scheme_kind == http::Scheme::https) def = 443;
    else if (u.scheme == "ws") def = 80;
    else if (u.scheme == "wss") def = 443;
    int chosen = has_explicit ? int(*explicit_port) : def;
    std::string_view h = u.host_name();
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
    VELMORA_FUNCTION(http_date, http_date),
    VELMORA_FUNCTION(uri_parts, uri_parts),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_http_functions(PyObject* m) { return PyModule_AddFunctions(m, kFunctions); }

}  // namespace velmora::py
