// Synchronisation primitives of the core: the per-object state lock and the
// one-shot latch. Python objects wrap these; the C++ tests drive them directly
// under ThreadSanitizer.
#pragma once

#include <atomic>
#include <mutex>

namespace velmora {

// A one-shot latch: try_acquire() succeeds exactly once, from whichever
// thread gets there first. Never blocks.
class OnceLatch {
 public:
  bool try_acquire() noexcept {
    bool expected = false;
    return flag_.compare_exchange_strong(expected, true, std::memory_order_seq_cst);
  }
  bool is_set() const noexcept { return flag_.load(std::memory_order_seq_cst); }

 private:
  std::atomic<bool> flag_{false};
};

// A value behind its own state lock. Every access is one critical section.
template <class T>
class Guarded {
 public:
  Guarded() = default;
  explicit Guarded(T v) : value_(std::move(v)) {}

  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard<std::mutex> g(mu_);
    return f(value_);
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    std::lock_guard<std::mutex> g(mu_);
    return f(value_);
  }
  // Runs f(a, b) with both locks held. The pair is locked with a
  // deadlock-avoiding algorithm, so a.with_both(b) racing b.with_both(a)
  // cannot deadlock. The same object twice takes its lock once.
  template <class F>
  friend decltype(auto) with_both(const Guarded& a, const Guarded& b, F&& f) {
    if (&a == &b) {
      std::lock_guard<std::mutex> g(a.mu_);
      return f(a.value_, b.value_);
    }
    std::scoped_lock g(a.mu_, b.mu_);
    return f(a.value_, b.value_);
  }

 private:
  mutable std::mutex mu_;
  T value_{};
};

}  // namespace velmora
