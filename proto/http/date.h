// The Date header value: a per-thread cache of the current time rendered as
// an RFC 9110 IMF-fixdate, refreshed at most once per second.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http {

inline constexpr size_t kDateLength = 29;

// The calling thread's cached value, refreshed first when the wall clock has
// passed the start of the next second. The view stays valid on this thread
// until the next call.
std::string_view http_date_now() noexcept;

// The calling thread's cached value for `unix_seconds`, re-rendered whenever
// the second differs from the one cached (later or earlier: a clock stepped
// back is followed). The view stays valid on this thread until the next call.
// http_date_now() is this with the current wall-clock second.
std::string_view http_date_at(int64_t unix_seconds) noexcept;

// Renders `unix_seconds` into out[0..29). Years outside 1970-9999 are clamped
// to the nearest representable instant.
void render_imf_fixdate(int64_t unix_seconds, char* out) noexcept;

}  // namespace velmora::http
