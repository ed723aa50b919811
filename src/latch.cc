// OnceLatch: a bare atomic flag, no state lock.
#include <new>

#include "proto/sync.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

struct LatchObject {
  PyObject_HEAD
  OnceLatch latch;
};

LatchObject* self_of(PyObject* o) { return reinterpret_cast<LatchObject*>(o); }

PyObject* latch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
    PyErr_SetString(PyExc_TypeError, "OnceLatch() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self) new (&self_of(self)->latch) OnceLatch();
  return self;
}

void latch_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* try_acquire(PyObject* self, PyObject*) { return bool_obj(self_of(self)->latch.try_acquire()); }
PyObject* is_set(PyObject* self, void*) { return bool_obj(self_of(self)->latch.is_set()); }

PyMethodDef kMethods[] = {
    {"try_acquire", meth<try_acquire>, METH_NOARGS,
     VELMORA_DOC("try_acquire", "($self, /)", "True for exactly one caller: the first; False ever after.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_set", get<is_set>, nullptr, "Whether the latch has been acquired.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "OnceLatch()\n--\n\nA one-shot latch: `try_acquire()` succeeds exactly once, from whichever task "
                    "(or GC finalizer) gets there first \xe2\x80\x94 the cross-thread CAS the body's single release / "
                    "single consumer and the tunnel's single close need. Never blocks.")},
    {Py_tp_new, slot<latch_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(latch_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.OnceLatch", sizeof(LatchObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int add_once_latch(PyObject* m) { return add_type(m, &kSpec) ? 0 : -1; }

}  // namespace velmora::py
