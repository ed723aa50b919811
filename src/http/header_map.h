// The HeaderMap Python class, and the header conversions every other class
// that takes names, values or maps from Python reuses.
#pragma once

#include <memory>
#include <new>

#include "proto/http/header_map.h"
#include "src/common.h"
#include "src/locked.h"

namespace velmora::py {

// The first value of each name as a bytes object, by the name's position in
// the map: what get() and [] answer, built on a name's first read. Releases
// what it still holds when destroyed, so it is only destroyed unlocked or
// once emptied.
struct FirstValues {
  // Room for n values, all absent; `objs` is null when that cannot be allocated.
  FirstValues(size_t n, std::nothrow_t) : objs(new (std::nothrow) PyObject*[n]()), size(objs ? n : 0) {}
  ~FirstValues() {
    for (size_t i = 0; i < size; ++i) Py_XDECREF(objs[i]);
  }
  FirstValues(const FirstValues&) = delete;
  FirstValues& operator=(const FirstValues&) = delete;

  std::unique_ptr<PyObject*[]> objs;
  size_t size;
};

struct HeaderMapState {
  http::HeaderMap map;
  // The lists items() and raw_items() built last, kept until a mutation
  // through this object's methods; mutations counts those.
  PyObject* cache[2] = {nullptr, nullptr};
  uint64_t mutations = 0;
  bool read_before[2] = {false, false};  // a list is only kept once it has been asked for twice
  // First values read so far, kept until a mutation (a mutation may move
  // names to other positions), which hands them to its Dropped.
  std::unique_ptr<FirstValues> firsts;

  HeaderMapState() = default;
  explicit HeaderMapState(http::HeaderMap&& m) : map(std::move(m)) {}
};

// The map and its list cache behind the object's state lock.
using HeaderMapObject = Locked<HeaderMapState>;

// A header name from Python (str or bytes), validated and lowercased.
class HeaderName {
 public:
  std::string_view view() const noexcept { return view_; }
  bool assign(std::string_view raw);  // false: not a valid name
 private:
  char small_[96];
  std::string big_;
  std::string_view view_;
};

// TypeError("header name must be str or bytes") / ValueError("invalid header name: ...").
bool header_name_from_py(PyObject* o, HeaderName& out);
// TypeError("header value must be str or bytes") / ValueError("invalid header value: ...").
// The view borrows from `o`.
bool header_value_from_py(PyObject* o, std::string_view& out);

bool is_header_map(PyObject* o) noexcept;
// Copies a HeaderMap object's current contents (under its lock).
http::HeaderMap copy_header_map(PyObject* o);
// A new HeaderMap object owning `map`.
PyObject* new_header_map(http::HeaderMap&& map);

}  // namespace velmora::py
