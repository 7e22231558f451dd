#pragma once
// A clock that moves only when told to: Sleep() advances it at once instead of
// waiting, so code that polls or paces itself runs instantly in tests. Thread-safe.

#include <atomic>

#include "platform/clock.h"

namespace platform::testing {

class ManualClock : public Clock {
 public:
  explicit ManualClock(double start = 600000000.0) : now_(start) {}
  double AbsoluteTime() override { return now_.load(); }
  void Sleep(double seconds) override {
    sleeps_.fetch_add(1);
    Advance(seconds);
  }
  double ToRealSeconds(double) override { return 0.0; }
  int32_t SecondsFromGMT(double) override { return gmt_offset_.load(); }

  void Set(double now) { now_.store(now); }
  void Advance(double seconds) {
    double expected = now_.load();
    while (!now_.compare_exchange_weak(expected, expected + seconds)) {
    }
  }
  void SetSecondsFromGMT(int32_t offset) { gmt_offset_.store(offset); }
  int sleeps() const { return sleeps_.load(); }

 private:
  std::atomic<double> now_;
  std::atomic<int32_t> gmt_offset_{0};
  std::atomic<int> sleeps_{0};
};

}  // namespace platform::testing
