#include "tool/frontend/tool_main.h"

#include <signal.h>
#include <unistd.h>

#include <new>

#include "framework/tool.h"
#include "tool/frontend/mv_tool_tool.h"

namespace {

// Stops the watcher and ends the tool at once. Only async-signal-safe calls: the
// tool's other state may be half-changed when the signal arrives.
void SignalHandler(int /*signal*/) {
  if (TMVToolTool::gMVToolPtr != nullptr) TMVToolTool::gMVToolPtr->KillSpot();
  _exit(0);
}

// Writes to a peer that has gone then fail with EPIPE instead of killing the tool
// without stopping its watcher. A caught signal (unlike an ignored one) goes back
// to its default in the programs the tool starts.
void IgnorePipeSignal(int /*signal*/) {}

int InstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = SignalHandler;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGILL, SIGBUS}) {
    if (sigaction(signal, &action, nullptr) != 0) return -1;
  }
  struct sigaction pipeAction = {};
  pipeAction.sa_handler = IgnorePipeSignal;
  sigemptyset(&pipeAction.sa_mask);
  return sigaction(SIGPIPE, &pipeAction, nullptr);
}

}  // namespace

int MirovaneToolMain(int argc, char** argv) {
  if (InstallSignalHandlers() != 0) return 2;
  TMVToolTool* tool = new (std::nothrow) TMVToolTool;
  if (tool == nullptr) return 1;
  int status = RunTool(*tool, argc, argv);
  delete tool;
  return status;
}
