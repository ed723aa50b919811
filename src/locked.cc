#include "src/locked.h"

#include <stdexcept>
#include <typeinfo>

namespace velmora::py {

void discard_unconstructed(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);
  tp->tp_free(self);
  Py_DECREF(tp);  // heap types: tp_alloc took a reference
}

void set_error_from_exception() noexcept {
  PyObject* previous = PyErr_GetRaisedException();
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "_velmora: unexpected C++ exception %s: %s", typeid(e).name(), e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "_velmora: unexpected C++ exception");
  }
  if (previous) {
    PyObject* current = PyErr_GetRaisedException();
    PyException_SetContext(current, previous);  // steals `previous`
    PyErr_SetRaisedException(current);
  }
}

}  // namespace velmora::py
