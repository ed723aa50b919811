// ProxyMatcher and ProxyIntercept: proxy selection for the client drivers.
// Both objects are immutable after construction, so they carry no lock; an
// intercept shares the matcher's proxy record instead of copying it.
#include <memory>
#include <new>

#include "proxy/matcher.h"
#include "src/api.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyTypeObject* g_matcher_type = nullptr;
PyTypeObject* g_intercept_type = nullptr;

struct MatcherObject {
  PyObject_HEAD
  proxy::Matcher core;
};

struct InterceptObject {
  PyObject_HEAD
  std::shared_ptr<const proxy::Intercept> core;
};

MatcherObject* matcher_of(PyObject* o) { return reinterpret_cast<MatcherObject*>(o); }
const proxy::Intercept& intercept_of(PyObject* o) { return *reinterpret_cast<InterceptObject*>(o)->core; }

PyObject* new_matcher(proxy::Matcher&& core) {
  PyObject* self = g_matcher_type->tp_alloc(g_matcher_type, 0);
  if (!self) return nullptr;
  new (&matcher_of(self)->core) proxy::Matcher(std::move(core));
  return self;
}

void matcher_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  matcher_of(self)->core.~Matcher();
  tp->tp_free(self);
  Py_DECREF(tp);
}

void intercept_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<InterceptObject*>(self)->core.~shared_ptr();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* matcher_from_env(PyObject*, PyObject*) { return new_matcher(proxy::Matcher::from_env()); }

PyObject* matcher_from_parts(PyObject*, PyObject* const* a) {
  std::string_view v[4];
  for (int i = 0; i < 4; ++i) {
    bool present;
    if (!to_opt_str(a[i], api::ProxyMatcher::from_parts::kNames[i], v[i], present)) return nullptr;
  }
  return new_matcher(proxy::Matcher::from_parts({.all = v[0], .http = v[1], .https = v[2], .no = v[3]}));
}

PyObject* matcher_intercept(PyObject* self, PyObject* url) {
  if (!PyUnicode_Check(url)) {
    PyErr_Format(PyExc_TypeError, "argument 'url' must be str, not %T", url);
    return nullptr;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(url, &n);
  if (!s) {
    // A str that cannot be UTF-8 (lone surrogates) is not a URL: no proxy.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  std::shared_ptr<const proxy::Intercept> hit = matcher_of(self)->core.intercept({s, size_t(n)});
  if (!hit) Py_RETURN_NONE;
  PyObject* out = g_intercept_type->tp_alloc(g_intercept_type, 0);
  if (!out) return nullptr;
  new (&reinterpret_cast<InterceptObject*>(out)->core) std::shared_ptr<const proxy::Intercept>(std::move(hit));
  return out;
}

PyObject* intercept_uri(PyObject* self, void*) { return str_obj(intercept_of(self).uri); }

PyObject* intercept_basic_auth(PyObject* self, PyObject*) {
  const proxy::Intercept& p = intercept_of(self);
  if (p.auth != proxy::AuthKind::basic) Py_RETURN_NONE;
  return ascii_obj(p.basic);
}

PyObject* intercept_raw_auth(PyObject* self, PyObject*) {
  const proxy::Intercept& p = intercept_of(self);
  if (p.auth != proxy::AuthKind::raw) Py_RETURN_NONE;
  Ref user(str_obj(p.user));
  if (!user) return nullptr;
  Ref password(str_obj(p.password));
  if (!password) return nullptr;
  return PyTuple_Pack(2, user.get(), password.get());
}

PyObject* intercept_repr(PyObject* self) {
  const std::string& uri = intercept_of(self).uri;
  return PyUnicode_FromFormat("ProxyIntercept(uri=\"%.*s\")", int(uri.size()), uri.data());
}

PyMethodDef kMatcherMethods[] = {
    VELMORA_METHOD(ProxyMatcher, from_env, matcher_from_env),
    VELMORA_METHOD(ProxyMatcher, from_parts, matcher_from_parts),
    VELMORA_METHOD(ProxyMatcher, intercept, matcher_intercept),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMatcherSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(ProxyMatcher)},
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_methods, kMatcherMethods},
    {0, nullptr},
};

PyType_Spec kMatcherSpec = {"velmora._velmora.ProxyMatcher", sizeof(MatcherObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kMatcherSlots};

PyMethodDef kInterceptMethods[] = {
    VELMORA_METHOD(ProxyIntercept, basic_auth, intercept_basic_auth),
    VELMORA_METHOD(ProxyIntercept, raw_auth, intercept_raw_auth),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInterceptGetset[] = {
    VELMORA_GETTER(ProxyIntercept, uri, intercept_uri),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInterceptSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(ProxyIntercept)},
    {Py_tp_dealloc, reinterpret_cast<void*>(intercept_dealloc)},
    {Py_tp_methods, kInterceptMethods},
    {Py_tp_getset, kInterceptGetset},
    {Py_tp_repr, slot<intercept_repr>},
    {0, nullptr},
};

PyType_Spec kInterceptSpec = {"velmora._velmora.ProxyIntercept", sizeof(InterceptObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kInterceptSlots};

}  // namespace

int add_proxy(PyObject* m) {
  g_matcher_type = add_type(m, &kMatcherSpec);
  if (!g_matcher_type) return -1;
  g_intercept_type = add_type(m, &kInterceptSpec);
  return g_intercept_type ? 0 : -1;
}

}  // namespace velmora::py
