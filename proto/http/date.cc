#include "proto/http/date.h"

#include <chrono>
#include <cstring>

namespace velmora::http {

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int& y, unsigned& m, unsigned& d) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int(yy + (m <= 2));
}

void put2(char* p, unsigned v) noexcept {
  p[0] = char('0' + v / 10);
  p[1] = char('0' + v % 10);
}

struct DateCache {
  char value[kDateLength];
  int64_t second = INT64_MIN;  // the unix second `value` shows
};

thread_local DateCache t_cache;

}  // namespace

void render_imf_fixdate(int64_t t, char* out) noexcept {
  // The format has four year digits: clamp to 1970-01-01 .. 9999-12-31 23:59:59.
  constexpr int64_t kMax = 253402300799;
  if (t < 0) t = 0;
  if (t > kMax) t = kMax;
  static constexpr char kDays[] = "ThuFriSatSunMonTueWed";  // 1970-01-01 was a Thursday
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int64_t days = t / 86400;
  unsigned secs = unsigned(t % 86400);
  int y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  std::memcpy(out, kDays + 3 * (days % 7), 3);
  out[3] = ',';
  out[4] = ' ';
  put2(out + 5, d);
  out[7] = ' ';
  std::memcpy(out + 8, kMonths + 3 * (m - 1), 3);
  out[11] = ' ';
  put2(out + 12, unsigned(y / 100));
  put2(out + 14, unsigned(y % 100));
  out[16] = ' ';
  put2(out + 17, secs / 3600);
  out[19] = ':';
  put2(out + 20, secs / 60 % 60);
  out[22] = ':';
  put2(out + 23, secs % 60);
  std::memcpy(out + 25, " GMT", 4);
}

std::string_view http_date_at(int64_t now) noexcept {
  // Keyed on the second itself rather than on "the next second to come": the
  // wall clock may be stepped back, and the value must follow it.
  DateCache& c = t_cache;
  if (now != c.second) {
    render_imf_fixdate(now, c.value);
    c.second = now;
  }
  return {c.value, kDateLength};
}

std::string_view http_date_now() noexcept {
  using namespace std::chrono;
  return http_date_at(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace velmora::http
