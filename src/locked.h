// The binding's common machinery for its classes: the locked-object base, the
// scoped transition that releases dropped Python references after unlocking,
// and the guard that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include "src/common.h"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::py {

// ---- Dropped references -------------------------------------------------------

// Python references that a transition lets go of while its state lock is held.
// They are collected here and released when the Dropped is destroyed, which
// Transition arranges to happen after the lock is gone (releasing a reference
// can run arbitrary Python code: finalizers, weakref callbacks, a GC pass).
//
// add() never allocates for the first kInline references and never throws;
// if a larger spill cannot be allocated the reference is leaked rather than
// released under the lock.
class Dropped {
 public:
  static constexpr size_t kInline = 6;

  Dropped() = default;
  Dropped(const Dropped&) = delete;
  Dropped& operator=(const Dropped&) = delete;
  ~Dropped() { release(); }

  // Takes over one strong reference; nullptr is ignored.
  void add(PyObject* o) noexcept {
    if (!o) return;
    if (n_ < kInline) {
      inline_[n_++] = o;
      return;
    }
    try {
      spill_.push_back(o);
    } catch (...) {
      // Out of memory under a lock: leaking one reference is the safe choice.
    }
  }
  // Takes over the reference held in `slot` and clears the slot.
  void take(PyObject*& slot) noexcept { add(std::exchange(slot, nullptr)); }

  // Core-side owners (type-erased, e.g. buffers whose deleters release a
  // Python object) retired by a step. The core fills this vector by swap or
  // push_back under the lock; they are destroyed with the references.
  std::vector<std::shared_ptr<const void>>& owners() noexcept { return owners_; }

  // Releases everything now. Call only with no state lock held.
  void release() noexcept {
    owners_.clear();
    while (n_) Py_DECREF(inline_[--n_]);
    for (PyObject* o : spill_) Py_DECREF(o);
    spill_.clear();
  }

 private:
  PyObject* inline_[kInline];
  size_t n_ = 0;
  std::vector<PyObject*> spill_;
  std::vector<std::shared_ptr<const void>> owners_;
};

// ---- The state lock -----------------------------------------------------------

// An object's state lock: the interpreter's one-byte mutex. Taking a free
// lock is one compare-and-swap inline, and a thread that has to wait
// detaches from the interpreter while it waits, as the interpreter's own
// locks do, so a stop-the-world pause (or, with the GIL, another thread) is
// never held up by it. It is taken on both interpreters: with the GIL no
// other thread can be inside a step, but a step that broke the conventions
// (re-entered its own object, or took two locks out of their documented
// order) then still hangs where the test suite can see it, instead of
// passing unnoticed until the free-threaded build.
//
// Meets BasicLockable (std::lock_guard); not recursive.
class StateLock {
 public:
  StateLock() noexcept = default;
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  void lock() noexcept { PyMutex_Lock(&m_); }
  void unlock() noexcept { PyMutex_Unlock(&m_); }

 private:
  PyMutex m_ = {};
};

// ---- The locked-object base ---------------------------------------------------

// A Python object holding a core value `state` behind its state lock `mu`.
// Every binding class with mutable state is a Locked<State> or derives from
// one; the one exception is OnceLatch, a single atomic flag that needs no
// lock. A derived struct adds fields fixed at construction, read without the
// lock; H2Streams adds its frame decoder, behind a decoder lock of its own
// (src/h2/conn.h). Python subclasses of such classes extend the layout after
// it.
//
// Contract:
// - create() builds the object in tp_new (or for an object the binding hands
//   out); destroy() tears it down in tp_dealloc (untracking a GC object is the
//   caller's job, before destroy()).
// - Each method is one transition: with() or one Transition, one acquisition.
//   Nothing inside a transition creates or releases a Python object; what the
//   step drops goes into the Transition's Dropped, released after unlocking.
// - The lock is not recursive: a transition never calls back into Python and
//   never takes another object's lock, except the documented nestings
//   (a connection state, then its codec; an H2Streams state, then its
//   decoder; two HeaderMaps for equality).
// - If the core throws (std::bad_alloc), the lock is released by unwinding and
//   the guard below turns the exception into a Python error; core steps give
//   the strong guarantee, so the object is as it was before the call.
template <class State>
struct Locked {
  PyObject_HEAD
  mutable StateLock mu;
  State state;

  using state_type = State;

  static Locked* of(PyObject* o) noexcept { return reinterpret_cast<Locked*>(o); }

  // Runs f(state) under the lock and returns its result.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard<StateLock> g(mu);
    return std::forward<F>(f)(state);
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    std::lock_guard<StateLock> g(mu);
    return std::forward<F>(f)(state);
  }
};

// Runs f(a.state, b.state) with both locks held, the one at the lower
// address first (a with b racing b with a cannot deadlock); the same object
// twice is locked once. For reads of two objects of one class (HeaderMap
// equality) only.
template <class State, class F>
decltype(auto) with_both(const Locked<State>& a, const Locked<State>& b, F&& f) {
  if (&a == &b) {
    std::lock_guard<StateLock> g(a.mu);
    return std::forward<F>(f)(a.state, b.state);
  }
  const bool a_first = std::less<const void*>()(&a, &b);
  std::lock_guard<StateLock> g1(a_first ? a.mu : b.mu);
  std::lock_guard<StateLock> g2(a_first ? b.mu : a.mu);
  return std::forward<F>(f)(a.state, b.state);
}

// The Dropped a transition on Obj collects into: Obj::dropped_type when the
// object names one (a Dropped its core can also hand references to through
// an interface of the core's), else Dropped.
template <class Obj>
struct dropped_of {
  using type = Dropped;
};
template <class Obj>
  requires requires { typename Obj::dropped_type; }
struct dropped_of<Obj> {
  using type = typename Obj::dropped_type;
};

// A scoped transition on one locked object: holds the lock from construction
// to destruction and collects the Python references the step drops. The lock
// is released before the references are (member order makes this so), so a
// method reads:
//
//   PyObject* m(PyObject* self, PyObject* arg) {
//     ...convert arguments...
//     Result r;
//     {
//       Transition<MyObject> t(self);
//       r = t->step(...);          // core call
//       t.dropped().take(t.obj().stored_handle);
//     }                            // unlocked here, then handle released
//     ...build Python results...
//   }
template <class Obj>
class Transition {
 public:
  explicit Transition(PyObject* self) : obj_(static_cast<Obj*>(Obj::of(self))), lock_(obj_->mu) {}
  explicit Transition(Obj* obj) : obj_(obj), lock_(obj_->mu) {}
  Transition(const Transition&) = delete;
  Transition& operator=(const Transition&) = delete;

  auto& operator*() noexcept { return obj_->state; }
  auto* operator->() noexcept { return &obj_->state; }
  Obj& obj() noexcept { return *obj_; }
  typename dropped_of<Obj>::type& dropped() noexcept { return dropped_; }

 private:
  Obj* obj_;
  typename dropped_of<Obj>::type dropped_;  // destroyed last: released unlocked
  std::lock_guard<StateLock> lock_;  // destroyed first
};

// Releases the memory of an object whose C++ members were never constructed
// (tp_alloc succeeded, construction threw).
void discard_unconstructed(PyObject* self) noexcept;

// Constructs the state from `args` and then the lock in the fresh object
// `self`; a throwing State constructor frees the object and rethrows.
template <class Obj, class... Args>
PyObject* construct(PyObject* self, Args&&... args) {
  Obj* o = static_cast<Obj*>(Obj::of(self));
  try {
    new (&o->state) typename Obj::state_type(std::forward<Args>(args)...);
  } catch (...) {
    discard_unconstructed(self);
    throw;
  }
  new (&o->mu) StateLock();
  return self;
}

// tp_alloc plus construction of the lock and the state from `args`. Returns a
// new reference, or nullptr with a Python error set; a throwing State
// constructor frees the object and rethrows (the guard converts it).
template <class Obj, class... Args>
PyObject* create(PyTypeObject* type, Args&&... args) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  return construct<Obj>(self, std::forward<Args>(args)...);
}

// create() for objects the binding hands out of its exact type `type`, which
// must not be a GC type: the memory comes straight from the object
// allocator, without tp_alloc's generic path and zeroing (the lock and the
// state are constructed whole, and Obj adds no fields of its own).
template <class Obj, class... Args>
PyObject* create_exact(PyTypeObject* type, Args&&... args) {
  static_assert(sizeof(Obj) == sizeof(Locked<typename Obj::state_type>));
  void* mem = PyObject_Malloc(size_t(type->tp_basicsize));
  if (!mem) return PyErr_NoMemory();
  return construct<Obj>(PyObject_Init(static_cast<PyObject*>(mem), type), std::forward<Args>(args)...);
}

// Destroys the lock and the state (the caller then frees the object).
template <class Obj>
void destroy(Obj* o) noexcept {
  using S = typename Obj::state_type;
  o->state.~S();
  o->mu.~StateLock();
}

// ---- The exception guard ------------------------------------------------------

// Sets the Python error for the C++ exception being handled: std::bad_alloc
// (and std::length_error, a size no allocation can meet) as MemoryError, any
// other exception as SystemError naming it. An error already set is kept as
// the new one's context. Call only inside a catch block.
void set_error_from_exception() noexcept;

// guard<F>: a function with F's exact signature that calls F and turns any
// C++ exception into the Python error above, returning the failure value of
// the signature (nullptr, or -1 for int / Py_ssize_t / Py_hash_t results).
// Every entry point the interpreter can call is wrapped in it: methods,
// getters, setters, tp_new, number/mapping/sequence slots, module functions
// and the module's execution step. It costs nothing on the normal path (the
// wrapper inlines the call; unwinding tables only).
//
// Not for tp_dealloc, tp_traverse, tp_clear: those must not throw at all.
//
//   {Py_tp_repr, slot<batch_repr>}
// Methods, getters and constructors are declared through src/api.h, which
// applies it to each.
template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
  static R call(A... a) noexcept {
    try {
      return F(a...);
    } catch (...) {
      set_error_from_exception();
      if constexpr (std::is_pointer_v<R>)
        return nullptr;
      else
        return R(-1);
    }
  }
};

template <auto F>
inline constexpr auto guard = &Guard<F>::call;

// The guarded function as a PyMethodDef entry (any calling convention).
template <auto F>
inline PyCFunction meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<F>));

// The guarded function as a getter.
template <auto F>
inline constexpr getter get = guard<F>;

// The guarded function as a PyType_Slot pointer.
template <auto F>
inline void* slot = reinterpret_cast<void*>(guard<F>);

}  // namespace velmora::py
