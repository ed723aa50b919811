#include "proto/h2/data_budget.h"

#include <algorithm>

#include "proto/h2/flow.h"

namespace velmora::h2 {

namespace {

Error flood() noexcept {
  return Error::protocol(uint32_t(ErrorCode::enhance_your_calm), ConnFailure::too_many_data_frames);
}

}  // namespace

DataFrameBudget::DataFrameBudget(std::optional<uint64_t> configured,
                                 std::optional<uint32_t> connection_window) noexcept
    : limit_(configured ? *configured
                        : std::max<uint64_t>(connection_window.value_or(kDefaultWindow) / 2, kDefaultDataFrameBudget)),
      available_(limit_) {}

Result<uint64_t> DataFrameBudget::record(uint64_t payload_len) noexcept {
  if (payload_len == 0) {
    // Every empty frame received counts, the one that breaks the cap too
    // (saturating: the count is a lifetime figure).
    const bool over = empty_frames_ >= kMaxRecvEmptyDataFrames;
    if (empty_frames_ != UINT64_MAX) ++empty_frames_;
    if (over) return std::unexpected(flood());
    return 0;
  }
  if (payload_len >= kOverheadThreshold) {
    available_ = add_capped(available_, payload_len - kOverheadThreshold);
    return 0;
  }
  uint64_t charge = kOverheadThreshold - payload_len;
  if (available_ < charge) return std::unexpected(flood());
  available_ -= charge;
  return charge;
}

}  // namespace velmora::h2
