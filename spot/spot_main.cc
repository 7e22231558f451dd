#include "spot/spot_main.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/host.h"
#include "spot/event_handler.h"

TEventHandler* gEventHandlerPtr = nullptr;

namespace {

// Written by the signal handler, read by the run loop: a byte in the pipe stays
// readable, so a signal that comes before the run loop runs still stops it.
int gSignalPipe[2] = {-1, -1};

void SignalHandler(int) {
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
  errno = savedErrno;
}

bool InstallSignalHandler() {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigfillset(&action.sa_mask);
  // The handler only wakes the run loop, so interrupted calls may simply go on.
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int MirovaneSpotMain(int outputFD) {
  if (!InstallSignalHandler()) return 1;
  // A reader that went away ends the watcher at its next record, whatever the parent
  // left SIGPIPE set to.
  ::signal(SIGPIPE, SIG_DFL);

  platform::RunLoop& runLoop = platform::GetHost().run_loop();
  if (runLoop.AddDescriptorSource(gSignalPipe[0], [&runLoop] {
        char bytes[16];
        while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        runLoop.Stop();
      }) < 0) {
    return 1;
  }

  gEventHandlerPtr = new (std::nothrow) TEventHandler(outputFD);
  if (gEventHandlerPtr == nullptr) return 1;
  const int result = gEventHandlerPtr->Initialize();
  delete gEventHandlerPtr;  // the tracker saves its state
  gEventHandlerPtr = nullptr;
  return result;
}
