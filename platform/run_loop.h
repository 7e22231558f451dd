#pragma once
// The event loop of a program's main thread. Registry and Disk Arbitration
// notifications are delivered as callbacks from Run(), one at a time, on the thread
// that runs it.

#include <functional>

namespace platform {

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Dispatches sources until Stop(). Returns 0 when stopped, -1 on failure.
  virtual int Run() = 0;
  // Makes Run() return after the callback in progress. Safe from any thread and
  // from a signal handler.
  virtual void Stop() = 0;
  // Calls `on_readable` from Run() whenever `fd` is readable. Returns a source id
  // (> 0), or -1 on failure. The caller keeps ownership of the descriptor.
  virtual int AddDescriptorSource(int fd, std::function<void()> on_readable) = 0;
  virtual void RemoveSource(int source_id) = 0;
  // Queues `work` to run from Run() on the loop's thread. Safe from any thread
  // (not from a signal handler).
  virtual void Perform(std::function<void()> work) = 0;
};

}  // namespace platform
