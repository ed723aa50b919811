// One HTTP/2 flow-control window (RFC 9113, section 6.9) with the capacity
// accounted beside it. A connection keeps one per direction, and one per
// direction per stream.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "proto/h2/error.h"

namespace velmora::h2 {

inline constexpr int32_t kMaxWindow = 2147483647;  // 2^31 - 1
inline constexpr uint32_t kDefaultWindow = 65535;

class FlowControl {
 public:
  FlowControl() = default;
  FlowControl(int32_t window, int32_t available) noexcept : window_(window), available_(available) {}

  // The window as the peer knows it; negative after the peer lowered
  // SETTINGS_INITIAL_WINDOW_SIZE below what was in flight.
  int32_t window() const noexcept { return window_; }
  // The window floored at 0: what may be sent or received now.
  uint32_t window_size() const noexcept { return window_ < 0 ? 0 : uint32_t(window_); }
  // The capacity as this side accounts it (granted to senders, or released
  // by the reader); may be negative.
  int32_t available() const noexcept { return available_; }

  // The window is not negative and less of it is available than its size.
  bool has_unavailable() const noexcept { return window_ >= 0 && available_ < window_; }

  // The increment of the WINDOW_UPDATE to send: available minus window, once
  // that reaches half the window (so updates are batched); nullopt before.
  std::optional<uint32_t> unclaimed_capacity() const noexcept;

  // Every step below refuses a size above 2^31 - 1, a window or available
  // amount that would pass 2^31 - 1 or fall below -2^31, and, for
  // send_data, a size above the window: Error::flow_control(), with both
  // fields as they were.

  Result<void> claim_capacity(uint32_t n) noexcept { return add(0, -int64_t(n), n); }   // available -= n
  Result<void> assign_capacity(uint32_t n) noexcept { return add(0, int64_t(n), n); }   // available += n
  Result<void> inc_window(uint32_t n) noexcept { return add(int64_t(n), 0, n); }        // window += n
  Result<void> dec_send_window(uint32_t n) noexcept { return add(-int64_t(n), 0, n); }  // window -= n
  // Our own window was lowered and the peer acknowledged it: window and
  // available both -= n.
  Result<void> dec_recv_window(uint32_t n) noexcept { return add(-int64_t(n), -int64_t(n), n); }
  // A DATA payload of n flow-controlled octets crossed: window and available
  // both -= n. n above the window (a negative window counting as 0) is refused;
  // n = 0 changes nothing.
  Result<void> send_data(uint32_t n) noexcept;

  // Gives n octets of capacity back (available += n) and, when the unclaimed
  // capacity has reached the threshold, raises the window by it: returns the
  // WINDOW_UPDATE increment to send, or 0 when none is due yet.
  Result<uint32_t> release(uint32_t n) noexcept;

  // "FlowControl { window_size: Window(w), available: Window(a) }".
  std::string describe() const;

  bool operator==(const FlowControl&) const = default;

 private:
  Result<void> add(int64_t dw, int64_t da, uint32_t n) noexcept;

  int32_t window_ = 0;
  int32_t available_ = 0;
};

}  // namespace velmora::h2
