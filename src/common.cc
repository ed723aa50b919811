#include "src/common.h"

#include <cstring>
#include <utility>
#include <vector>

namespace velmora::py {

bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  if (nargs > p.max_positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)", p.func,
                 p.max_positional, p.max_positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t klen;
      const char* kname = PyUnicode_AsUTF8AndSize(key, &klen);
      if (!kname) return false;
      int found = -1;
      for (int i = 0; i < p.count; ++i)
        if (std::strlen(p.names[i]) == size_t(klen) && std::memcmp(p.names[i], kname, size_t(klen)) == 0) {
          found = i;
          break;
        }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, key);
        return false;
      }
      if (out[found]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.func, p.names[found]);
        return false;
      }
      out[found] = args[nargs + k];
    }
  }
  for (int i = 0; i < p.required; ++i)
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", p.func, p.names[i]);
      return false;
    }
  return true;
}

bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", func);
    return false;
  }
  return true;
}

bool to_bool(PyObject* o, const char* arg, bool& out) {
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %T", arg, o);
    return false;
  }
  out = o == Py_True;
  return true;
}

bool to_str(PyObject* o, const char* arg, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %T", arg, o);
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out = {s, size_t(n)};
  return true;
}

bool to_opt_str(PyObject* o, const char* arg, std::string_view& out, bool& present) {
  present = o && o != Py_None;
  if (!present) return true;
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str or None, not %T", arg, o);
    return false;
  }
  return to_str(o, arg, out);
}

bool to_bytes(PyObject* o, const char* arg, std::string_view& out) {
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bytes, not %T", arg, o);
    return false;
  }
  out = {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
  return true;
}

bool to_u64(PyObject* o, const char* arg, uint64_t& out) {
  if (!PyLong_Check(o) || PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not %T", arg, o);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "argument '%s' out of range for an unsigned 64-bit integer", arg);
    }
    return false;
  }
  out = v;
  return true;
}

bool to_u16(PyObject* o, const char* arg, uint16_t& out) {
  uint64_t v;
  if (!to_u64(o, arg, v)) {
    // A negative value fails the 64-bit conversion; name the range that applies.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    v = 0x10000;
  }
  if (v > 0xffff) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' out of range for an unsigned 16-bit integer", arg);
    return false;
  }
  out = uint16_t(v);
  return true;
}

PyObject* bool_obj(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

PyObject* str_obj(std::string_view s) noexcept {
  return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
}

PyObject* text_obj(std::string_view s) noexcept {
  // One pass that copies into an ASCII str and looks for high bytes; only
  // text that has some is decoded.
  const size_t n = s.size();
  if (n < 2) return str_obj(s);  // the interpreter's shared one-character strings
  PyObject* o = PyUnicode_New(Py_ssize_t(n), 127);
  if (!o) return nullptr;
  char* d = static_cast<char*>(PyUnicode_DATA(o));
  uint64_t high = 0;
  auto word = [&](size_t i) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    high |= w;
    std::memcpy(d + i, &w, 8);
  };
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) word(i);
    if (i < n) word(n - 8);  // the last word overlaps the one before
  } else {
    for (size_t i = 0; i < n; ++i) {
      high |= static_cast<unsigned char>(s[i]);
      d[i] = s[i];
    }
  }
  if (!(high & 0x8080808080808080ull)) return o;
  Py_DECREF(o);
  return str_obj(s);
}

PyObject* ascii_obj(std::string_view s) noexcept {
  PyObject* o = PyUnicode_New(Py_ssize_t(s.size()), 127);
  if (o) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
  return o;
}

PyObject* bytes_obj(std::string_view s) noexcept {
  return PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
  // Types are created once per process and shared by every module object,
  // so the type checks the binding makes hold for objects of any of them.
  static std::vector<std::pair<PyType_Spec*, PyObject*>> created;
  PyObject* t = nullptr;
  for (auto& [s, type] : created)
    if (s == spec) t = type;
  if (!t) {
    spec->flags |= Py_TPFLAGS_IMMUTABLETYPE;
    t = PyType_FromModuleAndSpec(module, spec, base);
    if (!t) return nullptr;
    created.emplace_back(spec, t);  // kept for the life of the process
  }
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(t)) < 0) return nullptr;
  return reinterpret_cast<PyTypeObject*>(t);
}

int add_int(PyObject* module, const char* name, long long v) {
  return PyModule_Add(module, name, PyLong_FromLongLong(v));
}

}  // namespace velmora::py
