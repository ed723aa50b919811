// ProxyMatcher and ProxyIntercept: proxy selection for the client drivers.
// Both objects are immutable after construction, so they carry no lock; an
// intercept shares the matcher's proxy record instead of copying it.
#include <memory>
#include <new>

#include "proxy/matcher.h"
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

PyObject* matcher_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"all", "http", "https", "no"};
  PyObject* a[4];
  if (!parse_args({"from_parts", names, 4, 0, 0}, args, nargs, kwnames, a)) return nullptr;
  std::string_view v[4];
  for (int i = 0; i < 4; ++i) {
    bool present;
    if (!to_opt_str(a[i], names[i], v[i], present)) return nullptr;
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
    {"from_env", meth<matcher_from_env>, METH_NOARGS | METH_STATIC,
     VELMORA_DOC("from_env", "()",
                 "A matcher from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY (upper case first, then lower "
                 "case), read now. Under CGI (REQUEST_METHOD set) the environment is ignored and no proxy is "
                 "used.")},
    {"from_parts", meth<matcher_from_parts>,
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     VELMORA_DOC("from_parts", "(*, all=None, http=None, https=None, no=None)",
                 "A matcher from explicit settings: proxy URLs for all schemes, http and https destinations, "
                 "and a comma-separated NO_PROXY list.")},
    {"intercept", meth1<matcher_intercept, "intercept", "url">, kOneArg,
     VELMORA_DOC("intercept", "($self, url)",
                 "The ProxyIntercept for a request to url, or None when it goes direct.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMatcherSlots[] = {
    {Py_tp_doc, const_cast<char*>("Proxy selection from the environment or explicit settings; build one with "
                                  "ProxyMatcher.from_env() or ProxyMatcher.from_parts().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_methods, kMatcherMethods},
    {0, nullptr},
};

PyType_Spec kMatcherSpec = {"velmora._velmora.ProxyMatcher", sizeof(MatcherObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kMatcherSlots};

PyMethodDef kInterceptMethods[] = {
    {"basic_auth", meth<intercept_basic_auth>, METH_NOARGS,
     VELMORA_DOC("basic_auth", "($self, /)",
                 "The Proxy-Authorization value (\"Basic \" and Base64 credentials) for an HTTP proxy whose URL "
                 "carried credentials, else None.")},
    {"raw_auth", meth<intercept_raw_auth>, METH_NOARGS,
     VELMORA_DOC("raw_auth", "($self, /)",
                 "(user, password) for a SOCKS proxy whose URL carried credentials, else None.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInterceptGetset[] = {
    {"uri", get<intercept_uri>, nullptr, const_cast<char*>("The proxy URI: scheme://host[:port]/, without credentials."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInterceptSlots[] = {
    {Py_tp_doc, const_cast<char*>("The proxy chosen for one destination, with its credentials.")},
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
