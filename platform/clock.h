#pragma once
// Time as the machine sees it. The simulated machine may run its clock faster than
// real time (MIROVANE_TIME_SCALE): every sleep and every measured duration is then
// shorter in real seconds by that factor, while the system's code keeps using the
// durations the machine would use.

#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1 January 2001 00:00:00 GMT (the machine's absolute time).
  virtual double AbsoluteTime() = 0;
  // Blocks the calling thread for `seconds` of machine time.
  virtual void Sleep(double seconds) = 0;
  // Real seconds that `seconds` of machine time take; for timed waits on condition
  // variables and sockets.
  virtual double ToRealSeconds(double seconds) = 0;
  // Offset of the machine's local time zone from GMT at `absolute_time`, in seconds.
  virtual int32_t SecondsFromGMT(double absolute_time) = 0;
};

// Seconds between 1 January 1970 and 1 January 2001.
inline constexpr double kAbsoluteTimeIntervalSince1970 = 978307200.0;

}  // namespace platform
