#include "common/time_stamp.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "common/calendar.h"
#include "platform/clock.h"
#include "platform/host.h"

char gTimeStampBuffer[256];

namespace {

// Seconds from 1970-01-01 to 2001-01-01, as a whole number.
constexpr int64_t kEpochDelta = static_cast<int64_t>(platform::kAbsoluteTimeIntervalSince1970);

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

char* TimeStamp() {
  platform::Clock& clock = platform::GetHost().clock();
  const double now = clock.AbsoluteTime();
  // The zone is asked at every call rather than kept: the machine's clock may cross a
  // daylight-saving change while the process runs.
  const int32_t offset = clock.SecondsFromGMT(now);

  double whole = 0;
  if (std::isfinite(now)) whole = std::floor(now);
  // Clamp absurd clock values to a range whose arithmetic cannot overflow.
  if (whole > 1e15) whole = 1e15;
  if (whole < -1e15) whole = -1e15;
  double fraction = std::isfinite(now) ? now - std::floor(now) : 0.0;
  long micro = static_cast<long>(fraction * 1000000.0);
  if (micro < 0) micro = 0;
  if (micro > 999999) micro = 999999;

  const int64_t local = static_cast<int64_t>(whole) + kEpochDelta + offset;
  const int64_t days = FloorDiv(local, 86400);
  const int64_t in_day = local - days * 86400;
  const mv_calendar::CivilDate date = mv_calendar::CivilFromDays(days);

  std::snprintf(gTimeStampBuffer, sizeof gTimeStampBuffer,
                "%04ld-%02d-%02d %02d:%02d:%02ld.%03ld.%03ld", static_cast<long>(date.year),
                date.month, date.day, static_cast<int>(in_day / 3600),
                static_cast<int>((in_day / 60) % 60), static_cast<long>(in_day % 60),
                micro / 1000, micro % 1000);
  return gTimeStampBuffer;
}
