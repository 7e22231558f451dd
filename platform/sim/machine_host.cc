#include "platform/sim/machine_host.h"

namespace platform {

MachineHost::MachineHost(std::string root, double time_scale)
    : paths_(root),
      clock_(time_scale),
      connection_(paths_.MachineRoot()),
      events_(std::make_shared<MachineEventChannel>(paths_.MachineRoot(), run_loop_)),
      registry_(connection_, events_),
      disk_arbitration_(events_),
      raw_devices_(connection_),
      authority_(connection_),
      firmware_(connection_) {}

MachineHost::~MachineHost() = default;

}  // namespace platform
