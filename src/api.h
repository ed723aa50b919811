// One declaration per binding method, property and class docstring.
//
// The type stub python/velmora/_velmora.pyi is the one source of the
// module's signatures and descriptions. tools/gen_api.py reads it at build
// time and writes src/api_gen.h (in the build tree): for each class a
// namespace api::<Class> holding kTypeDoc (the class docstring with the
// constructor's text signature) and one struct per method and property; the
// module's functions are in api::module. A method struct carries its name,
// its runtime docstring ("name(sig)\n--\n\n" + the stub's docstring), its
// METH_* flags and the parameter names and counts parse_args takes.
//
// A binding file declares each entry once:
//
//   PyMethodDef kMethods[] = {
//       VELMORA_METHOD(H1ClientState, store_writer, c_store_writer),
//       {nullptr, nullptr, 0, nullptr}};
//   PyGetSetDef kGetSet[] = {VELMORA_GETTER(H1ClientState, codec, get_codec), ...};
//   PyType_Slot kSlots[] = {{Py_tp_doc, VELMORA_TYPE_DOC(H1ClientState)},
//                           {Py_tp_new, VELMORA_NEW(H1ClientState, client_new)}, ...};
//
// The C function's shape says how its arguments arrive:
//   PyObject* f(PyObject* self, PyObject*)           no parameters (METH_NOARGS)
//   PyObject* f(PyObject* self, PyObject* arg)       one parameter; arg is nullptr
//                                                    when an optional one is absent
//   PyObject* f(PyObject* self, PyObject* const* a)  a[i] is the i-th parameter of
//                                                    the stub's signature, nullptr
//                                                    when an optional one is absent
// The positional call with every argument given, the usual one, reaches f
// after two tests; anything else goes through parse_args with the stub's
// names. A name the stub lacks does not compile; tools/gen_api.py's check
// (run by the build) fails on a public name of the stub nobody declares.
#pragma once

#include "src/api_gen.h"
#include "src/locked.h"

#include <type_traits>

namespace velmora::py {

template <class S>
inline constexpr Params params_of{S::kName, S::kNames, S::kCount, S::kMaxPositional, S::kRequired};

using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);
using ParsedFn = PyObject* (*)(PyObject*, PyObject* const*);

template <auto F, class S>
PyObject* one_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 1 && !kwnames) [[likely]]
    return F(self, args[0]);
  PyObject* arg;
  if (!parse_args(params_of<S>, args, nargs, kwnames, &arg)) return nullptr;
  return F(self, arg);
}

template <auto F, class S>
PyObject* parsed_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == S::kCount && !kwnames) [[likely]]
    return F(self, args);
  PyObject* a[S::kCount];
  if (!kwnames && nargs >= S::kRequired && nargs <= S::kMaxPositional) {
    // Trailing optional parameters left out.
    for (Py_ssize_t i = 0; i < S::kCount; ++i) a[i] = i < nargs ? args[i] : nullptr;
    return F(self, a);
  }
  if (!parse_args(params_of<S>, args, nargs, kwnames, a)) return nullptr;
  return F(self, a);
}

// The guarded C entry point for F declared as S.
template <auto F, class S>
PyCFunction entry_for() {
  using Fn = decltype(F);
  if constexpr (S::kCount == 0) {
    static_assert(std::is_same_v<Fn, NoArgsFn>, "a method without parameters takes (self, unused)");
    return meth<F>;
  } else if constexpr (std::is_same_v<Fn, NoArgsFn>) {
    static_assert(S::kCount == 1, "a (self, arg) function implements a method of exactly one parameter");
    return meth<&one_param<F, S>>;
  } else {
    static_assert(std::is_same_v<Fn, ParsedFn>, "a method with parameters takes (self, arg) or (self, args)");
    return meth<&parsed_params<F, S>>;
  }
}

template <auto F, class S>
PyMethodDef method_def() {
  return {S::kName, entry_for<F, S>(), S::kFlags, S::kDoc};
}

// tp_new whose arguments reach F(type, a) as a method's do: a[i] is the i-th
// parameter of the stub's constructor, nullptr when an optional one is absent.
template <auto F, class S>
PyObject* parsed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nargs + nkw > S::kCount) {
    if constexpr (S::kCount == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments", S::kName);
    else if (nargs > S::kMaxPositional)
      PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)", S::kName,
                   S::kMaxPositional, S::kMaxPositional == 1 ? "" : "s", nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", S::kName, S::kCount,
                   S::kCount == 1 ? "" : "s", nargs + nkw);
    return nullptr;
  }
  constexpr int n = S::kCount ? S::kCount : 1;
  PyObject* flat[n];
  PyObject* a[n] = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (nkw) {
    kwnames = Ref(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    PyObject *k, *v;
    Py_ssize_t pos = 0, j = 0;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      PyTuple_SET_ITEM(kwnames.get(), j, Py_NewRef(k));
      flat[nargs + j++] = v;
    }
  }
  if constexpr (S::kCount > 0)
    if (!parse_args(params_of<S>, flat, nargs, kwnames.get(), a)) return nullptr;
  return F(type, a);
}

// The function comes last so that a template with commas needs no parentheses.
#define VELMORA_METHOD(Class, name, ...) ::velmora::py::method_def<__VA_ARGS__, ::velmora::py::api::Class::name>()
#define VELMORA_FUNCTION(name, ...) ::velmora::py::method_def<__VA_ARGS__, ::velmora::py::api::module::name>()
#define VELMORA_GETTER(Class, name, ...)                                                            \
  PyGetSetDef {                                                                                    \
    ::velmora::py::api::Class::name::kName, ::velmora::py::get<__VA_ARGS__>, nullptr,             \
        ::velmora::py::api::Class::name::kDoc, nullptr                                             \
  }
// A read-only member of C type `type` (T_OBJECT_EX, Py_T_BOOL, ...) at `offset`.
#define VELMORA_MEMBER(Class, name, type, offset)                                                              \
  PyMemberDef {                                                                                               \
    ::velmora::py::api::Class::name::kName, type, Py_ssize_t(offset), Py_READONLY,                            \
        ::velmora::py::api::Class::name::kDoc                                                                  \
  }
// {Py_tp_new, VELMORA_NEW(Class, f)} with PyObject* f(PyTypeObject*, PyObject* const* a).
#define VELMORA_NEW(Class, ...) \
  ::velmora::py::slot<&::velmora::py::parsed_new<__VA_ARGS__, ::velmora::py::api::Class::constructor>>
#define VELMORA_TYPE_DOC(Class) const_cast<char*>(::velmora::py::api::Class::kTypeDoc)

}  // namespace velmora::py
