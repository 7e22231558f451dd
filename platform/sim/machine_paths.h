#pragma once
// Paths of the simulated machine: absolute machine paths live under the machine root
// named by MIROVANE_MACHINE.

#include <string>

#include "platform/paths.h"

namespace platform {

class MachinePaths : public Paths {
 public:
  // `root` without a trailing '/'; an empty root leaves absolute paths as they are.
  explicit MachinePaths(std::string root);
  // The root from MIROVANE_MACHINE (empty when unset).
  static MachinePaths FromEnvironment();

  std::string Resolve(std::string_view machine_path) override;
  std::string MachineRoot() override { return root_; }

 private:
  std::string root_;
};

}  // namespace platform
