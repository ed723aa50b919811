// OnceLatch: a bare atomic flag, no state lock.
#include <new>

#include "proto/sync.h"
#include "src/api.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

struct LatchObject {
  PyObject_HEAD
  OnceLatch latch;
};

LatchObject* self_of(PyObject* o) { return reinterpret_cast<LatchObject*>(o); }

PyObject* latch_new(PyTypeObject* type, PyObject* const*) {
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
    VELMORA_METHOD(OnceLatch, try_acquire, try_acquire),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    VELMORA_GETTER(OnceLatch, is_set, is_set),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(OnceLatch)},
    {Py_tp_new, VELMORA_NEW(OnceLatch, latch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(latch_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.OnceLatch", sizeof(LatchObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int add_once_latch(PyObject* m) { return add_type(m, &kSpec) ? 0 : -1; }

}  // namespace velmora::py
