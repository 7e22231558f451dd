#include "sim/tools/service_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace sim::tools {
namespace {

constexpr char kKextdLog[] = "/var/log/kextd.log";

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockServiceSignals() {
  sigset_t set = ServiceSignals();
  (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);  // cannot fail with a valid set
}

void WaitForTermination(const std::function<void()>& on_hangup) {
  sigset_t set = ServiceSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGHUP) {
      on_hangup();
      continue;
    }
    return;
  }
}

int Kextd(const ToolCall& call) {
  std::string tag = "kextd[" + std::to_string(::getpid()) + "]: ";
  if (!AppendMachineLog(kKextdLog, tag + "started")) {
    call.err << "kextd: cannot write " << kKextdLog << " (is MIROVANE_MACHINE set?)\n";
    return kExitFailure;
  }
  int hangups = 0;
  bool logged = true;
  WaitForTermination([&] { logged = AppendMachineLog(kKextdLog, tag + "SIGHUP " + std::to_string(++hangups)) && logged; });
  logged = AppendMachineLog(kKextdLog, tag + "stopped") && logged;
  if (!logged) call.err << "kextd: some lines of " << kKextdLog << " could not be written\n";
  return kExitSuccess;
}

int SystemUiServer(const ToolCall&) {
  // Only for those who wait for it to be up; it runs without a log as well.
  (void)AppendMachineLog("/var/log/SystemUIServer.log",
                         "SystemUIServer[" + std::to_string(::getpid()) + "]: started");
  WaitForTermination([] {});
  return kExitSuccess;
}

}  // namespace sim::tools
