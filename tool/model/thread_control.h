#pragma once
// TThreadControl: whether a helper thread runs, and whether it has been asked to
// stop. The owning object's main thread starts the helper, asks it to stop and
// waits for it; the helper sleeps in SleepAndTestForCancel and reports its end.
// Each flag is guarded by its own mutex and condition. Until Init succeeded the
// operations do nothing (no primitive may be used before it exists).

#include <pthread.h>

#include <cstdint>

#include "framework/mac_types.h"

class TThreadControl {
 public:
  TThreadControl() = default;
  ~TThreadControl();
  TThreadControl(const TThreadControl&) = delete;
  TThreadControl& operator=(const TThreadControl&) = delete;

  // Initialises the two mutexes and conditions; the platform's error number or 0.
  int Init();
  Boolean IsRunning();
  // Before the thread exists: running, and no cancel request.
  void SetThreadRunning();
  // The helper's last step: not running, and the waiter is woken.
  void SetThreadNotRunning();
  void Cancel();
  // Cancel, then wait until the helper reports its end.
  void CancelAndWaitForTermination();
  Boolean TestForCancel();
  Boolean ThreadWasCancelled() { return TestForCancel(); }
  // Waits up to `seconds` of machine time for a cancel request; the flag after it.
  Boolean SleepAndTestForCancel(unsigned long seconds);

 private:
  pthread_mutex_t running_mutex_;
  pthread_cond_t running_condition_;
  pthread_mutex_t cancel_mutex_;
  pthread_cond_t cancel_condition_;
  bool running_ = false;
  bool cancel_requested_ = false;
  int initialised_parts_ = 0;  // how many of the four primitives exist
};
