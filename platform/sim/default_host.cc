// The default host of the simulated machine: the machine named by MIROVANE_MACHINE,
// its clock run at MIROVANE_TIME_SCALE. Machine services are answered by the
// machine's daemon; while no daemon runs they fail as a missing service would.

#include <cstdlib>

#include "platform/host.h"
#include "platform/sim/machine_host.h"
#include "platform/sim/scaled_clock.h"

namespace platform {

Host& DefaultHost() {
  // Never destroyed: services may be used from exit paths and signal handlers.
  static MachineHost* host = [] {
    const char* root = std::getenv("MIROVANE_MACHINE");
    return new MachineHost(root != nullptr ? root : "", ScaledClock::ScaleFromEnvironment());
  }();
  return *host;
}

}  // namespace platform
