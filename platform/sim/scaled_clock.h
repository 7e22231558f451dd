#pragma once
// The machine's clock: real time, or real time run faster by a scale factor
// (MIROVANE_TIME_SCALE = 0.01 makes a machine second last 10 ms). Absolute time
// starts at the real time of construction and then advances at 1/scale speed.
// Thread-safe.

#include "platform/clock.h"

namespace platform {

class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double scale);
  // The scale from MIROVANE_TIME_SCALE; 1 when unset or not a positive number.
  static double ScaleFromEnvironment();

  double AbsoluteTime() override;
  void Sleep(double seconds) override;
  double ToRealSeconds(double seconds) override;
  int32_t SecondsFromGMT(double absolute_time) override;

 private:
  double scale_;
  double real_start_;  // real absolute time at construction
  double mono_start_;  // monotonic seconds at construction
};

}  // namespace platform
