// Shared machinery of the CPython binding: owned references, argument
// parsing for vectorcall methods, argument conversions, heap-type creation.
//
// Binding rules every class follows:
// - the Python object holds a core object and its state lock; a method
//   converts arguments, takes the lock once, calls the core, unlocks, and only
//   then builds Python results;
// - no Python object is created or released while a state lock is held;
// - refusals are return values; exceptions are for bad arguments and protocol
//   errors (src/errors.h).
// The lock, the release of dropped references after unlocking and the guard
// that keeps C++ exceptions out of the interpreter are in src/locked.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::py {

// An owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) noexcept : p_(p) {}  // steals
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Keyword-capable argument parsing for METH_FASTCALL | METH_KEYWORDS.
// `names` lists every parameter; the first `max_positional` may be given by
// position, the first `required` must be given. Missing optional slots are
// left as nullptr.
struct Params {
  const char* func;
  const char* const* names;
  int count;
  int max_positional;
  int required;
};
bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames);

// Conversions. Each raises TypeError (or ValueError / OverflowError) naming
// the argument and returns false on failure.
bool to_bool(PyObject* o, const char* arg, bool& out);  // must be a bool
bool to_str(PyObject* o, const char* arg, std::string_view& out);  // str, UTF-8 view
bool to_bytes(PyObject* o, const char* arg, std::string_view& out);  // bytes only
bool to_u64(PyObject* o, const char* arg, uint64_t& out);
bool to_u16(PyObject* o, const char* arg, uint16_t& out);
bool to_opt_str(PyObject* o, const char* arg, std::string_view& out, bool& present);  // str or None

PyObject* bool_obj(bool b) noexcept;
PyObject* str_obj(std::string_view s) noexcept;  // UTF-8, replacement on invalid bytes
PyObject* ascii_obj(std::string_view s) noexcept;  // known-ASCII text
PyObject* text_obj(std::string_view s) noexcept;  // str_obj(s); ASCII text is only copied
PyObject* bytes_obj(std::string_view s) noexcept;

// Appends the debug form of the str `s` (the text between double quotes,
// with '"', '\\', controls and non-printable characters escaped).
void append_debug_text(PyObject* s, std::string& out);

// Adds the heap type of `spec` (module path "velmora._velmora") to the module
// under its short name, creating it on first use. Types are immutable and
// instances frozen. The returned type lives as long as the process.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* base = nullptr);
int add_int(PyObject* module, const char* name, long long v);

}  // namespace velmora::py
