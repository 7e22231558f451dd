#pragma once
// Firmware variables of the simulated machine, kept by its daemon (which also shows
// them under IODeviceTree:/options). Thread-safe.

#include "platform/firmware.h"
#include "platform/sim/machine_connection.h"

namespace platform {

class MachineFirmware : public Firmware {
 public:
  explicit MachineFirmware(MachineConnection& connection) : connection_(connection) {}
  std::optional<std::string> GetVariable(std::string_view name) override;
  // 0, or a positive errno value (EINVAL for a name the firmware cannot hold).
  int SetVariable(std::string_view name, std::string_view value) override;

 private:
  MachineConnection& connection_;
};

}  // namespace platform
