// The default host of the simulated machine.
//
// Paths, clock and run loop are local to the process. The machine services
// (registry, Disk Arbitration, raw devices, authority, firmware) are answered by the
// machine's daemon; until a process connects they report failure.

#include "platform/host.h"
#include "platform/unavailable.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/poll_run_loop.h"
#include "platform/sim/scaled_clock.h"

namespace platform {
namespace {

class SimHost : public Host {
 public:
  SimHost()
      : paths_(MachinePaths::FromEnvironment()), clock_(ScaledClock::ScaleFromEnvironment()) {}
  Paths& paths() override { return paths_; }
  Clock& clock() override { return clock_; }
  RunLoop& run_loop() override { return run_loop_; }
  Registry& registry() override { return registry_; }
  DiskArbitration& disk_arbitration() override { return disk_arbitration_; }
  RawDevices& raw_devices() override { return raw_devices_; }
  Authority& authority() override { return authority_; }
  Firmware& firmware() override { return firmware_; }

 private:
  MachinePaths paths_;
  ScaledClock clock_;
  PollRunLoop run_loop_;
  UnavailableRegistry registry_;
  UnavailableDiskArbitration disk_arbitration_;
  UnavailableRawDevices raw_devices_;
  UnavailableAuthority authority_;
  UnavailableFirmware firmware_;
};

}  // namespace

Host& DefaultHost() {
  // Never destroyed: services may be used from exit paths and signal handlers.
  static SimHost* host = new SimHost();
  return *host;
}

}  // namespace platform
