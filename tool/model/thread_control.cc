#include "tool/model/thread_control.h"

#include <time.h>

#include <cmath>

#include "platform/host.h"

TThreadControl::~TThreadControl() {
  if (initialised_parts_ > 3) pthread_cond_destroy(&cancel_condition_);
  if (initialised_parts_ > 2) pthread_mutex_destroy(&cancel_mutex_);
  if (initialised_parts_ > 1) pthread_cond_destroy(&running_condition_);
  if (initialised_parts_ > 0) pthread_mutex_destroy(&running_mutex_);
}

int TThreadControl::Init() {
  if (initialised_parts_ == 4) return 0;
  int error = pthread_mutex_init(&running_mutex_, nullptr);
  if (error) return error;
  initialised_parts_ = 1;
  if ((error = pthread_cond_init(&running_condition_, nullptr))) return error;
  initialised_parts_ = 2;
  if ((error = pthread_mutex_init(&cancel_mutex_, nullptr))) return error;
  initialised_parts_ = 3;
  // The cancel wait is timed: a monotonic clock keeps it from jumping with the
  // wall clock.
  pthread_condattr_t attributes;
  if ((error = pthread_condattr_init(&attributes))) return error;
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  error = pthread_cond_init(&cancel_condition_, &attributes);
  pthread_condattr_destroy(&attributes);
  if (error) return error;
  initialised_parts_ = 4;
  return 0;
}

Boolean TThreadControl::IsRunning() {
  if (initialised_parts_ < 4) return running_;
  pthread_mutex_lock(&running_mutex_);
  const bool running = running_;
  pthread_mutex_unlock(&running_mutex_);
  return running;
}

void TThreadControl::SetThreadRunning() {
  if (initialised_parts_ < 4) return;
  // No helper exists yet; the locks only order this with the previous helper's end.
  pthread_mutex_lock(&running_mutex_);
  running_ = true;
  pthread_mutex_unlock(&running_mutex_);
  pthread_mutex_lock(&cancel_mutex_);
  cancel_requested_ = false;
  pthread_mutex_unlock(&cancel_mutex_);
}

void TThreadControl::SetThreadNotRunning() {
  if (initialised_parts_ < 4) return;
  pthread_mutex_lock(&running_mutex_);
  running_ = false;
  pthread_cond_broadcast(&running_condition_);
  pthread_mutex_unlock(&running_mutex_);
}

void TThreadControl::Cancel() {
  if (initialised_parts_ < 4) return;
  pthread_mutex_lock(&cancel_mutex_);
  cancel_requested_ = true;
  pthread_cond_broadcast(&cancel_condition_);
  pthread_mutex_unlock(&cancel_mutex_);
}

void TThreadControl::CancelAndWaitForTermination() {
  if (initialised_parts_ < 4) return;
  Cancel();
  pthread_mutex_lock(&running_mutex_);
  while (running_) pthread_cond_wait(&running_condition_, &running_mutex_);
  pthread_mutex_unlock(&running_mutex_);
}

Boolean TThreadControl::TestForCancel() {
  if (initialised_parts_ < 4) return cancel_requested_;
  pthread_mutex_lock(&cancel_mutex_);
  const bool cancelled = cancel_requested_;
  pthread_mutex_unlock(&cancel_mutex_);
  return cancelled;
}

Boolean TThreadControl::SleepAndTestForCancel(unsigned long seconds) {
  if (initialised_parts_ < 4) return cancel_requested_;
  const double real = platform::GetHost().clock().ToRealSeconds(static_cast<double>(seconds));
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const double whole = std::floor(real);
  deadline.tv_sec += static_cast<time_t>(whole);
  deadline.tv_nsec += static_cast<long>((real - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&cancel_mutex_);
  while (!cancel_requested_) {
    if (pthread_cond_timedwait(&cancel_condition_, &cancel_mutex_, &deadline) != 0) break;
  }
  const bool cancelled = cancel_requested_;
  pthread_mutex_unlock(&cancel_mutex_);
  return cancelled;
}
