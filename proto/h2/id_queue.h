// A FIFO of stream ids for the send path's queues (the capacity rotation and
// the connection-window waiters): a ring buffer that only grows, so that
// streams joining and leaving in steady state allocate nothing, with removal
// from the middle that keeps the order of the others.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::h2 {

class IdQueue {
 public:
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Precondition: not empty.
  uint32_t front() const noexcept { return buf_[head_]; }
  uint32_t at(size_t i) const noexcept { return buf_[(head_ + i) & (cap_ - 1)]; }

  // May throw std::bad_alloc (the queue is then unchanged).
  void push_back(uint32_t id) {
    if (size_ == cap_) grow();
    buf_[(head_ + size_) & (cap_ - 1)] = id;
    ++size_;
  }
  void pop_front() noexcept {
    head_ = (head_ + 1) & (cap_ - 1);
    --size_;
  }
  // Removes the first occurrence of `id`; false when absent.
  bool remove(uint32_t id) noexcept {
    for (size_t i = 0; i < size_; ++i) {
      if (at(i) != id) continue;
      for (size_t j = i; j + 1 < size_; ++j) buf_[(head_ + j) & (cap_ - 1)] = at(j + 1);
      --size_;
      return true;
    }
    return false;
  }
  void clear() noexcept { head_ = size_ = 0; }

 private:
  void grow() {
    size_t ncap = cap_ ? cap_ * 2 : 16;
    auto nbuf = std::make_unique<uint32_t[]>(ncap);
    for (size_t i = 0; i < size_; ++i) nbuf[i] = at(i);
    buf_ = std::move(nbuf);
    cap_ = ncap;
    head_ = 0;
  }

  std::unique_ptr<uint32_t[]> buf_;
  size_t cap_ = 0;  // a power of two
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace velmora::h2
