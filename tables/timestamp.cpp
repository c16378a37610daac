// Encoding and decoding of the server's stored time stamps.
#include "tables/timestamp.h"

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kDaysPerMonth = 31;
constexpr uint32_t kDaysPerYear = 372;
constexpr uint32_t kSecondsPerMonth = kDaysPerMonth * kSecondsPerDay;  // 2678400
constexpr uint32_t kSecondsPerYear = kDaysPerYear * kSecondsPerDay;    // 32140800
constexpr uint32_t kFirstYear = 1995;
// -(1995 * 32140800) modulo 2^32: adding it counts the years from 1995.
constexpr uint32_t kYearOffset = 303613440;
static_assert(static_cast<uint32_t>(kFirstYear * kSecondsPerYear + kYearOffset) == 0);

}  // namespace

uint32_t encodeTimestamp(const SYSTEMTIME& time) {
  uint32_t seconds = uint32_t{time.wYear} * kSecondsPerYear;
  seconds += uint32_t{time.wMonth} * kSecondsPerMonth;
  seconds += uint32_t{time.wDay} * kSecondsPerDay;
  seconds += uint32_t{time.wHour} * 3600u;
  seconds += uint32_t{time.wMinute} * 60u;
  seconds += uint32_t{time.wSecond};
  return seconds + kYearOffset;
}

SYSTEMTIME decodeTimestamp(uint32_t seconds) {
  SYSTEMTIME time{};
  uint32_t secondOfDay = seconds % kSecondsPerDay;
  uint32_t dayOfYear = (seconds / kSecondsPerDay) % kDaysPerYear;
  time.wSecond = static_cast<uint16_t>(seconds % 60);
  time.wMinute = static_cast<uint16_t>(secondOfDay / 60 % 60);
  time.wHour = static_cast<uint16_t>(secondOfDay / 3600);
  time.wDay = static_cast<uint16_t>(dayOfYear % kDaysPerMonth);
  time.wMonth = static_cast<uint16_t>(dayOfYear / kDaysPerMonth);
  time.wYear = static_cast<uint16_t>(seconds / kSecondsPerYear + kFirstYear);
  return time;
}
