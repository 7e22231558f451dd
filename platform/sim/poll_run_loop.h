#pragma once
// A run loop over poll(2): descriptor sources, queued work, and a wake pipe that
// makes Stop() safe from signal handlers. Run() is called by one thread; Stop() and
// Perform() by any.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/run_loop.h"

namespace platform {

class PollRunLoop : public RunLoop {
 public:
  PollRunLoop();
  ~PollRunLoop() override;
  PollRunLoop(const PollRunLoop&) = delete;
  PollRunLoop& operator=(const PollRunLoop&) = delete;

  int Run() override;
  void Stop() override;
  int AddDescriptorSource(int fd, std::function<void()> on_readable) override;
  void RemoveSource(int source_id) override;
  void Perform(std::function<void()> work) override;

 private:
  struct Source {
    int fd;
    std::function<void()> on_readable;
  };
  void Wake();
  void DrainWakePipe();

  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> stop_requested_{false};
  std::map<int, Source> sources_;  // by id; touched by the loop's thread only
  int next_id_ = 1;
  std::mutex work_mutex_;
  std::vector<std::function<void()>> work_;  // guarded by work_mutex_
};

}  // namespace platform
