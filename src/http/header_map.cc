#include "src/http/header_map.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "proto/http/error.h"
#include "proto/http/fields.h"
#include "src/http/names.h"
#include "src/api.h"
#include "src/errors.h"
#include "src/locked.h"
#include "src/module.h"

namespace velmora::py {

namespace {

PyTypeObject* g_type = nullptr;


HeaderMapObject* self_of(PyObject* o) { return HeaderMapObject::of(o); }

// Runs f(map) under the object's lock.
template <class F>
decltype(auto) with_map(PyObject* self, F&& f) {
  return self_of(self)->with([&](HeaderMapState& s) -> decltype(auto) { return f(s.map); });
}

PyObject* full_error() { return raise(http::Error{http::ErrorKind::header_map_full}); }

// Raw bytes of a str or bytes object.
bool raw_of(PyObject* o, std::string_view& out) {
  // The usual name: an ASCII str, whose characters are its UTF-8 bytes.
  if (PyUnicode_CheckExact(o) && PyUnicode_IS_COMPACT_ASCII(o)) {
    out = {static_cast<const char*>(PyUnicode_DATA(o)), size_t(PyUnicode_GET_LENGTH(o))};
    return true;
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = {s, size_t(n)};
    return true;
  }
  if (PyBytes_Check(o)) {
    out = {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
    return true;
  }
  return false;
}

// Whether raw_of() failed on a str that has no UTF-8 form (lone
// surrogates); that error is cleared, for the caller to report the text as
// invalid.
bool unencodable_text() {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  return true;
}

// Maps are copied out under their lock into a per-thread scratch map (whose
// storage is reused from call to call) and turned into Python objects after
// the lock is released.
thread_local http::HeaderMap t_copy;

// Keeps the scratch map's storage for ordinary sizes only.
void trim_copy(http::HeaderMap& copy) {
  if (copy.size() > 256) copy = http::HeaderMap();
}

enum class Shape { keys, values, items, raw_items };

PyObject* name_obj(std::string_view n, bool as_bytes) {
  PyObject* common = as_bytes ? common_name_bytes(n) : common_name_str(n);
  if (common) return Py_NewRef(common);
  return as_bytes ? bytes_obj(n) : ascii_obj(n);
}

PyObject* build_list(const http::HeaderMap& m, Shape shape) {
  Ref list(PyList_New(Py_ssize_t(shape == Shape::keys ? m.name_count() : m.size())));
  if (!list) return nullptr;
  Py_ssize_t at = 0;
  bool failed = false;
  for (size_t i = 0; i < m.name_count() && !failed; ++i) {
    std::string_view n = m.name_at(i);
    if (shape == Shape::keys) {
      PyObject* k = name_obj(n, false);
      if (!k) return nullptr;
      PyList_SET_ITEM(list.get(), at++, k);
      continue;
    }
    Ref name;
    if (shape != Shape::values) {
      name = Ref(name_obj(n, shape == Shape::raw_items));
      if (!name) return nullptr;
    }
    m.for_each_value(i, [&](std::string_view value) {
      if (failed) return;
      PyObject* v = bytes_obj(value);
      if (!v) {
        failed = true;
        return;
      }
      PyObject* item = v;
      if (shape != Shape::values) {
        item = PyTuple_New(2);
        if (!item) {
          Py_DECREF(v);
          failed = true;
          return;
        }
        PyTuple_SET_ITEM(item, 0, Py_NewRef(name.get()));
        PyTuple_SET_ITEM(item, 1, v);
      }
      PyList_SET_ITEM(list.get(), at++, item);
    });
  }
  // A partly filled list holds NULL slots, which list deallocation skips.
  return failed ? nullptr : list.release();
}

PyObject* list_of(PyObject* self, Shape shape) {
  http::HeaderMap& copy = t_copy;
  with_map(self, [&](const http::HeaderMap& m) { copy = m; });
  PyObject* list = build_list(copy, shape);
  trim_copy(copy);
  return list;
}

// items() and raw_items(): the pair lists are kept between calls until the
// map is mutated, so repeated reads of an unchanged map only copy a list.
PyObject* cached_list(PyObject* self, Shape shape) {
  HeaderMapObject* o = self_of(self);
  int slot = shape == Shape::items ? 0 : 1;
  http::HeaderMap& copy = t_copy;
  uint64_t seen;
  bool keep_it = false;
  PyObject* hit = o->with([&](HeaderMapState& s) -> PyObject* {
    if (PyObject* c = s.cache[slot]) return Py_NewRef(c);
    seen = s.mutations;
    keep_it = s.read_before[slot];
    s.read_before[slot] = true;
    copy = s.map;
    return nullptr;
  });
  if (hit) {
    Ref cached(hit);
    return PyList_GetSlice(cached.get(), 0, PyList_GET_SIZE(cached.get()));
  }
  Ref built(build_list(copy, shape));
  trim_copy(copy);
  if (!built || !keep_it) return built.release();
  Ref keep(PyList_GetSlice(built.get(), 0, PyList_GET_SIZE(built.get())));
  if (!keep) {
    PyErr_Clear();
    return built.release();
  }
  o->with([&](HeaderMapState& s) {
    if (s.mutations == seen && !s.cache[slot]) s.cache[slot] = keep.release();
  });
  return built.release();  // `keep`, if not stored, is released here, unlocked
}

// Every mutating transition calls this; the kept lists are released after
// unlocking.
void invalidate(HeaderMapState& s, Dropped& d) {
  d.take(s.cache[0]);
  d.take(s.cache[1]);
  if (s.firsts) {
    for (size_t i = 0; i < s.firsts->size; ++i) d.take(s.firsts->objs[i]);
    s.firsts.reset();
  }
  ++s.mutations;
}

// Appends (name, value) objects to a map under construction.
bool append_pair(http::HeaderMap& m, PyObject* k, PyObject* v) {
  HeaderName name;
  std::string_view value;
  if (!header_name_from_py(k, name) || !header_value_from_py(v, value)) return false;
  if (!m.append(name.view(), value)) {
    full_error();
    return false;
  }
  return true;
}

// e[i], as Python indexes it (sequences and mappings alike).
PyObject* item(PyObject* e, long i) {
  if (PyTuple_CheckExact(e) || PyList_CheckExact(e)) return PySequence_GetItem(e, i);
  Ref key(PyLong_FromLong(i));
  return key ? PyObject_GetItem(e, key.get()) : nullptr;
}

bool fill_from(http::HeaderMap& m, PyObject* init) {
  if (is_header_map(init)) {
    m = copy_header_map(init);
    return true;
  }
  if (PyDict_Check(init)) {
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(init);
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(init, &pos, &k, &v))
      if (!append_pair(m, k, v)) {
        ok = false;
        break;
      }
    Py_END_CRITICAL_SECTION();
    return ok;
  }
  if (PyList_CheckExact(init) || PyTuple_CheckExact(init)) {
    // Fast path: a list or tuple of 2-tuples, read under the sequence's
    // critical section. Indexing an element that is not a tuple runs Python
    // code, which may change the list: that element is held by a reference of
    // its own, and the length and items are read again at every step.
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(init);
    // Room for the fields a map can really hold, not for whatever length the
    // sequence claims: HeaderMap([0] * 50_000_000) fails at its first element.
    size_t expect = std::min(size_t(PySequence_Fast_GET_SIZE(init)), size_t(http::HeaderMap::kMaxNames));
    m.reserve(expect, expect * 48);
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(init); ++i) {
      PyObject* e = PySequence_Fast_ITEMS(init)[i];
      if (PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) >= 2) {
        ok = append_pair(m, PyTuple_GET_ITEM(e, 0), PyTuple_GET_ITEM(e, 1));
        continue;
      }
      Ref held = Ref::borrow(e);
      Ref k(item(held.get(), 0));
      Ref v(k ? item(held.get(), 1) : nullptr);
      ok = v && append_pair(m, k.get(), v.get());
    }
    Py_END_CRITICAL_SECTION();
    return ok;
  }
  Ref it(PyObject_GetIter(init));
  if (!it) return false;
  while (Ref e{PyIter_Next(it.get())}) {
    Ref k(item(e.get(), 0));
    if (!k) return false;
    Ref v(item(e.get(), 1));
    if (!v || !append_pair(m, k.get(), v.get())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* hm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"init"};
  PyObject* init = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 1 || (kwargs && PyDict_GET_SIZE(kwargs) > (nargs ? 0 : 1))) {
    PyErr_SetString(PyExc_TypeError, "HeaderMap() takes at most 1 argument");
    return nullptr;
  }
  if (nargs) init = PyTuple_GET_ITEM(args, 0);
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    init = PyDict_GetItemString(kwargs, names[0]);
    if (!init) {
      PyErr_SetString(PyExc_TypeError, "HeaderMap() got an unexpected keyword argument");
      return nullptr;
    }
  }
  http::HeaderMap m;
  if (init && init != Py_None && !fill_from(m, init)) return nullptr;
  return create<HeaderMapObject>(type, std::move(m));
}

void hm_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  Py_XDECREF(self_of(self)->state.cache[0]);
  Py_XDECREF(self_of(self)->state.cache[1]);
  destroy(self_of(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A name object as the lookups take it. An ASCII str or a bytes name is
// looked up as it stands (HeaderMap::position_folded), without the token
// check: a name found this way was valid, so only one that is absent is
// checked, for the error an invalid name raises. Other names (str
// subclasses, other text) take the full conversion first.
class LookupName {
 public:
  // False with the conversion's error set when `o` is not a valid name
  // (the full conversion only).
  bool assign(PyObject* o) {
    if (PyUnicode_CheckExact(o) && PyUnicode_IS_COMPACT_ASCII(o)) {
      raw_ = {static_cast<const char*>(PyUnicode_DATA(o)), size_t(PyUnicode_GET_LENGTH(o))};
      return true;
    }
    if (PyBytes_CheckExact(o)) {
      raw_ = {PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o))};
      return true;
    }
    if (!header_name_from_py(o, full_.emplace())) return false;
    checked_ = true;
    return true;
  }
  // The name's position in `m`, or -1.
  int32_t position_in(const http::HeaderMap& m) const noexcept {
    return checked_ ? m.position(full_->view()) : m.position_folded(raw_);
  }
  // For a name that was not found: raises the invalid-name error and
  // answers false when it is not a valid name.
  bool check_absent() const {
    if (checked_ || http::is_token(raw_)) return true;
    raise(http::Error{http::ErrorKind::invalid_header_name});
    return false;
  }
  // The name in lowercase, for a valid name; `scratch` may hold it.
  std::string_view lname(HeaderName& scratch) const {
    if (checked_) return full_->view();
    scratch.assign(raw_);
    return scratch.view();
  }

 private:
  std::string_view raw_;
  bool checked_ = false;
  std::optional<HeaderName> full_;
};

// One value copied out under the lock; like the scratch map, it keeps its
// storage for ordinary sizes only.
thread_local std::string t_scratch;

PyObject* scratch_bytes(std::string& out) {
  PyObject* b = bytes_obj(out);
  if (out.capacity() > 16384) std::string().swap(out);
  return b;
}

// The first value of `name` as bytes, or nullptr with *found false when the
// name is absent. A name's first read builds the bytes unlocked and keeps
// them, published under a second acquisition unless the map changed
// meanwhile; later reads of the unchanged map return that object.
[[gnu::always_inline]] inline PyObject* first_value(PyObject* self, const LookupName& name, bool& found) {
  HeaderMapObject* o = self_of(self);
  std::string* out = nullptr;
  int32_t pos = -1;
  uint64_t seen = 0;
  PyObject* kept = o->with([&](HeaderMapState& s) -> PyObject* {
    pos = name.position_in(s.map);
    if (pos < 0) return nullptr;
    if (s.firsts && size_t(pos) < s.firsts->size) {
      if (PyObject* b = s.firsts->objs[pos]) return Py_NewRef(b);
    }
    out = &t_scratch;
    out->assign(s.map.first_at(size_t(pos)));
    seen = s.mutations;
    return nullptr;
  });
  found = pos >= 0;
  if (kept || !found) return kept;
  Ref built(scratch_bytes(*out));
  if (!built) return nullptr;
  o->with([&](HeaderMapState& s) {
    if (s.mutations != seen) return;
    if (!s.firsts) {
      FirstValues* f = new (std::nothrow) FirstValues(s.map.name_count(), std::nothrow);
      if (!f || !f->objs) {
        delete f;
        return;
      }
      s.firsts.reset(f);
    }
    // A copy another thread published first stays; ours is the caller's.
    if (size_t(pos) < s.firsts->size && !s.firsts->objs[pos]) s.firsts->objs[pos] = Py_NewRef(built.get());
  });
  return built.release();
}

PyObject* hm_get(PyObject* self, PyObject* const* a) {
  LookupName name;
  if (!name.assign(a[0])) return nullptr;
  bool found;
  PyObject* v = first_value(self, name, found);
  if (found) return v;
  if (!name.check_absent()) return nullptr;
  return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* hm_get_all(PyObject* self, PyObject* name_obj) {
  HeaderName name;
  if (!header_name_from_py(name_obj, name)) return nullptr;
  std::string buf;
  std::vector<uint32_t> lens;
  with_map(self, [&](const http::HeaderMap& m) {
    m.for_each_of(name.view(), [&](std::string_view v) {
      buf.append(v);
      lens.push_back(uint32_t(v.size()));
    });
  });
  Ref list(PyList_New(Py_ssize_t(lens.size())));
  if (!list) return nullptr;
  size_t off = 0;
  for (size_t i = 0; i < lens.size(); ++i) {
    PyObject* b = bytes_obj(std::string_view(buf).substr(off, lens[i]));
    if (!b) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), b);
    off += lens[i];
  }
  return list.release();
}

PyObject* hm_add(PyObject* self, PyObject* const* a) {
  HeaderName name;
  std::string_view value;
  if (!header_name_from_py(a[0], name) || !header_value_from_py(a[1], value)) return nullptr;
  bool ok;
  {
    Transition<HeaderMapObject> t(self);
    ok = t->map.append(name.view(), value);
    if (ok) invalidate(*t, t.dropped());
  }
  if (!ok) return full_error();
  Py_RETURN_NONE;
}

PyObject* hm_setdefault(PyObject* self, PyObject* const* a) {
  HeaderName name;
  if (!header_name_from_py(a[0], name)) return nullptr;
  // The value is only converted when it is going to be stored; validating it
  // first keeps lookup and append one step.
  std::string_view value;
  bool value_ok = header_value_from_py(a[1], value);
  PyObject* value_err = value_ok ? nullptr : PyErr_GetRaisedException();
  enum { existing, added, full, invalid } outcome;
  std::string& out = t_scratch;
  {
    Transition<HeaderMapObject> t(self);
    http::HeaderMap& m = t->map;
    std::string_view v;
    if (m.first(name.view(), v)) {
      out.assign(v);
      outcome = existing;
    } else if (!value_ok) {
      outcome = invalid;
    } else if (!m.append(name.view(), value)) {
      outcome = full;
    } else {
      invalidate(*t, t.dropped());
      out.assign(value);
      outcome = added;
    }
  }
  if (outcome == invalid) {
    PyErr_SetRaisedException(value_err);
    return nullptr;
  }
  Py_XDECREF(value_err);
  if (outcome == full) return full_error();
  return scratch_bytes(out);
}

PyObject* hm_keys(PyObject* self, PyObject*) { return list_of(self, Shape::keys); }
PyObject* hm_values(PyObject* self, PyObject*) { return list_of(self, Shape::values); }
PyObject* hm_items(PyObject* self, PyObject*) { return cached_list(self, Shape::items); }
PyObject* hm_raw_items(PyObject* self, PyObject*) { return cached_list(self, Shape::raw_items); }

PyObject* hm_subscript(PyObject* self, PyObject* key) {
  LookupName name;
  if (!name.assign(key)) return nullptr;
  bool found;
  PyObject* v = first_value(self, name, found);
  if (found || !name.check_absent()) return v;
  HeaderName lower;
  Ref k(ascii_obj(name.lname(lower)));
  if (k) PyErr_SetObject(PyExc_KeyError, k.get());
  return nullptr;
}

int hm_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  HeaderName name;
  if (!header_name_from_py(key, name)) return -1;
  if (!value) {
    bool removed;
    {
      Transition<HeaderMapObject> t(self);
      removed = t->map.remove(name.view());
      if (removed) invalidate(*t, t.dropped());
    }
    if (!removed) {
      Ref k(ascii_obj(name.view()));
      if (k) PyErr_SetObject(PyExc_KeyError, k.get());
      return -1;
    }
    return 0;
  }
  std::string_view v;
  if (!header_value_from_py(value, v)) return -1;
  bool ok;
  {
    Transition<HeaderMapObject> t(self);
    ok = t->map.replace(name.view(), v);
    if (ok) invalidate(*t, t.dropped());
  }
  if (!ok) {
    full_error();
    return -1;
  }
  return 0;
}

int hm_contains(PyObject* self, PyObject* key) {
  // A name that is not a valid one, or no name at all, is not in the map.
  LookupName name;
  if (!name.assign(key)) {
    PyErr_Clear();
    return 0;
  }
  return with_map(self, [&](const http::HeaderMap& m) { return name.position_in(m) >= 0; }) ? 1 : 0;
}

Py_ssize_t hm_len(PyObject* self) {
  return Py_ssize_t(with_map(self, [](const http::HeaderMap& m) { return m.size(); }));
}

PyObject* hm_iter(PyObject* self) {
  Ref keys(list_of(self, Shape::keys));
  return keys ? PyObject_GetIter(keys.get()) : nullptr;
}

PyObject* hm_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool eq;
  if (!is_header_map(other)) {
    eq = false;
  } else if (self == other) {
    eq = true;
  } else {
    eq = with_both(*self_of(self), *self_of(other),
                   [](const HeaderMapState& a, const HeaderMapState& b) { return a.map == b.map; });
  }
  return bool_obj(op == Py_EQ ? eq : !eq);
}

PyObject* hm_repr(PyObject* self) {
  Ref items(cached_list(self, Shape::items));
  if (!items) return nullptr;
  return PyUnicode_FromFormat("HeaderMap(%R)", items.get());
}

PyMethodDef kMethods[] = {
    VELMORA_METHOD(HeaderMap, get, hm_get),
    VELMORA_METHOD(HeaderMap, get_all, hm_get_all),
    VELMORA_METHOD(HeaderMap, add, hm_add),
    VELMORA_METHOD(HeaderMap, setdefault, hm_setdefault),
    VELMORA_METHOD(HeaderMap, keys, hm_keys),
    VELMORA_METHOD(HeaderMap, values, hm_values),
    VELMORA_METHOD(HeaderMap, items, hm_items),
    VELMORA_METHOD(HeaderMap, raw_items, hm_raw_items),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, VELMORA_TYPE_DOC(HeaderMap)},
    {Py_tp_new, slot<hm_new>},
    {Py_tp_dealloc, reinterpret_cast<void*>(hm_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_mp_subscript, slot<hm_subscript>},
    {Py_mp_ass_subscript, slot<hm_ass_subscript>},
    {Py_mp_length, slot<hm_len>},
    {Py_sq_contains, slot<hm_contains>},
    {Py_tp_iter, slot<hm_iter>},
    {Py_tp_richcompare, slot<hm_richcompare>},
    {Py_tp_repr, slot<hm_repr>},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.HeaderMap", sizeof(HeaderMapObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

bool HeaderName::assign(std::string_view raw) {
  char* dst;
  if (raw.size() <= sizeof(small_)) {
    dst = small_;
  } else {
    big_.resize(raw.size());
    dst = big_.data();
  }
  if (!http::lower_token_into(raw, dst)) return false;
  view_ = {dst, raw.size()};
  return true;
}

bool header_name_from_py(PyObject* o, HeaderName& out) {
  std::string_view raw;
  if (!raw_of(o, raw)) {
    // A str with lone surrogates has no UTF-8 bytes: an invalid name.
    if (unencodable_text()) raise(http::Error{http::ErrorKind::invalid_header_name});
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "header name must be str or bytes");
    return false;
  }
  if (!out.assign(raw)) {
    raise(http::Error{http::ErrorKind::invalid_header_name});
    return false;
  }
  return true;
}

bool header_value_from_py(PyObject* o, std::string_view& out) {
  if (!raw_of(o, out)) {
    if (unencodable_text()) raise(http::Error{http::ErrorKind::invalid_header_value});
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "header value must be str or bytes");
    return false;
  }
  if (!http::is_valid_value(out)) {
    raise(http::Error{http::ErrorKind::invalid_header_value});
    return false;
  }
  return true;
}

bool is_header_map(PyObject* o) noexcept { return g_type && PyObject_TypeCheck(o, g_type); }

http::HeaderMap copy_header_map(PyObject* o) {
  return with_map(o, [](const http::HeaderMap& m) { return m; });
}

PyObject* new_header_map(http::HeaderMap&& map) {
  return create_exact<HeaderMapObject>(g_type, std::move(map));
}

int add_header_map(PyObject* m) {
  if (init_common_names() < 0) return -1;
  g_type = add_type(m, &kSpec);
  return g_type ? 0 : -1;
}

}  // namespace velmora::py
