#include "platform/sim/scaled_clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace platform {
namespace {

double ClockSeconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

ScaledClock::ScaledClock(double scale)
    : scale_(scale > 0 && std::isfinite(scale) ? scale : 1.0),
      real_start_(ClockSeconds(CLOCK_REALTIME) - kAbsoluteTimeIntervalSince1970),
      mono_start_(ClockSeconds(CLOCK_MONOTONIC)) {}

double ScaledClock::ScaleFromEnvironment() {
  const char* text = std::getenv("MIROVANE_TIME_SCALE");
  if (text == nullptr) return 1.0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0) || !std::isfinite(v)) return 1.0;
  return v;
}

double ScaledClock::AbsoluteTime() {
  return real_start_ + (ClockSeconds(CLOCK_MONOTONIC) - mono_start_) / scale_;
}

void ScaledClock::Sleep(double seconds) {
  double real = ToRealSeconds(seconds);
  if (!(real > 0)) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(real);
  ts.tv_nsec = static_cast<long>((real - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

double ScaledClock::ToRealSeconds(double seconds) { return seconds * scale_; }

int32_t ScaledClock::SecondsFromGMT(double absolute_time) {
  time_t t = static_cast<time_t>(absolute_time + kAbsoluteTimeIntervalSince1970);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return static_cast<int32_t>(local.tm_gmtoff);
}

}  // namespace platform
