#pragma once
// A host on one simulated machine: paths under its root, the scaled clock, a poll run
// loop, and clients of the machine's daemon for every machine service. The default
// host of a process is one of these on the machine named by MIROVANE_MACHINE; tests
// may make more (each is its own client, with its own run loop and sessions).
//
// Services may be used from any thread except where their own comments say
// otherwise; notifications and Disk Arbitration callbacks arrive on the thread that
// runs run_loop().

#include <memory>
#include <string>

#include "platform/host.h"
#include "platform/sim/machine_authority.h"
#include "platform/sim/machine_connection.h"
#include "platform/sim/machine_disk_arbitration.h"
#include "platform/sim/machine_firmware.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/machine_raw_devices.h"
#include "platform/sim/machine_registry.h"
#include "platform/sim/poll_run_loop.h"
#include "platform/sim/scaled_clock.h"

namespace platform {

class MachineHost : public Host {
 public:
  MachineHost(std::string root, double time_scale);
  ~MachineHost() override;
  MachineHost(const MachineHost&) = delete;
  MachineHost& operator=(const MachineHost&) = delete;

  Paths& paths() override { return paths_; }
  Clock& clock() override { return clock_; }
  RunLoop& run_loop() override { return run_loop_; }
  Registry& registry() override { return registry_; }
  DiskArbitration& disk_arbitration() override { return disk_arbitration_; }
  RawDevices& raw_devices() override { return raw_devices_; }
  Authority& authority() override { return authority_; }
  Firmware& firmware() override { return firmware_; }

  MachineConnection& connection() { return connection_; }

 private:
  MachinePaths paths_;
  ScaledClock clock_;
  PollRunLoop run_loop_;
  MachineConnection connection_;
  std::shared_ptr<MachineEventChannel> events_;
  MachineRegistry registry_;
  MachineDiskArbitration disk_arbitration_;
  MachineRawDevices raw_devices_;
  MachineAuthority authority_;
  MachineFirmware firmware_;
};

}  // namespace platform
