// The connection-wide budget against peers that cut DATA into tiny or empty
// frames. Flow control counts octets, not frames, so it does not bound the
// per-frame work of a peer that sends a million one-octet frames; this does.
//
// Each non-final DATA frame below kOverheadThreshold octets is charged its
// shortfall; the charge comes back when the application has consumed the
// frame (release), so a reader that keeps up never runs out, while a peer
// that sends small frames faster than they are read does. Large frames earn
// budget back. Empty non-final frames are counted apart and capped for the
// life of the connection.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "proto/h2/error.h"

namespace velmora::h2 {

inline constexpr uint64_t kOverheadThreshold = 256;
inline constexpr uint64_t kDefaultDataFrameBudget = 25600;  // smallest budget derived from a window
inline constexpr uint64_t kMaxRecvEmptyDataFrames = 100;

class DataFrameBudget {
 public:
  // limit = `configured` when given; else half the connection window but at
  // least kDefaultDataFrameBudget; else the same rule on the default window
  // of 65535 (32767).
  explicit DataFrameBudget(std::optional<uint64_t> configured = std::nullopt,
                           std::optional<uint32_t> connection_window = std::nullopt) noexcept;

  // The charge a non-final frame of `len` payload octets costs.
  static constexpr uint64_t charge_of(uint64_t len) noexcept {
    return len < kOverheadThreshold ? kOverheadThreshold - len : 0;
  }

  // Accounts one non-final DATA frame (END_STREAM not set) and returns the
  // charge to give back with release() once its data is consumed (0 for an
  // empty or a large frame). Fails with ENHANCE_YOUR_CALM
  // ("too_many_data_frames"), leaving the budget as it was, for the 101st
  // empty frame of the connection (which is still counted in empty_frames)
  // and for a small frame whose charge exceeds what is available.
  Result<uint64_t> record(uint64_t payload_len) noexcept;

  // Returns a charge; the available budget never exceeds the limit.
  void release(uint64_t charge) noexcept { available_ = add_capped(available_, charge); }

  uint64_t limit() const noexcept { return limit_; }
  uint64_t available() const noexcept { return available_; }
  uint64_t empty_frames() const noexcept { return empty_frames_; }

 private:
  uint64_t add_capped(uint64_t a, uint64_t b) const noexcept { return b >= limit_ - a ? limit_ : a + b; }

  uint64_t limit_;
  uint64_t available_;
  uint64_t empty_frames_ = 0;
};

}  // namespace velmora::h2
