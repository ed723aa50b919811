#include "proto/h2/flow.h"

namespace velmora::h2 {

namespace {

bool fits(int64_t v) noexcept { return v >= INT32_MIN && v <= kMaxWindow; }

}  // namespace

std::optional<uint32_t> FlowControl::unclaimed_capacity() const noexcept {
  if (available_ <= window_) return std::nullopt;
  int64_t u = int64_t(available_) - window_;
  // Half the window, truncating toward zero like the arithmetic it mirrors;
  // a negative window asks for no minimum.
  if (u < window_ / 2) return std::nullopt;
  return uint32_t(u);
}

Result<void> FlowControl::add(int64_t dw, int64_t da, uint32_t n) noexcept {
  if (n > uint32_t(kMaxWindow)) return std::unexpected(Error::flow_control());
  int64_t w = int64_t(window_) + dw, a = int64_t(available_) + da;
  if (!fits(w) || !fits(a)) return std::unexpected(Error::flow_control());
  window_ = int32_t(w);
  available_ = int32_t(a);
  return {};
}

Result<void> FlowControl::send_data(uint32_t n) noexcept {
  if (n == 0) return {};
  if (n > window_size()) return std::unexpected(Error::flow_control());
  return add(-int64_t(n), -int64_t(n), n);
}

Result<uint32_t> FlowControl::release(uint32_t n) noexcept {
  FlowControl next = *this;
  if (auto r = next.assign_capacity(n); !r) return std::unexpected(r.error());
  uint32_t inc = 0;
  if (std::optional<uint32_t> u = next.unclaimed_capacity()) {
    if (auto r = next.inc_window(*u); !r) return std::unexpected(r.error());
    inc = *u;
  }
  *this = next;
  return inc;
}

std::string FlowControl::describe() const {
  return "FlowControl { window_size: Window(" + std::to_string(window_) + "), available: Window(" +
         std::to_string(available_) + ") }";
}

}  // namespace velmora::h2
