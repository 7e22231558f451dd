#include "platform/sim/machine_paths.h"

#include <cstdlib>

namespace platform {

MachinePaths::MachinePaths(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (root_ == "/") root_.clear();
}

MachinePaths MachinePaths::FromEnvironment() {
  const char* root = std::getenv("MIROVANE_MACHINE");
  return MachinePaths(root != nullptr ? root : "");
}

std::string MachinePaths::Resolve(std::string_view machine_path) {
  if (machine_path.empty() || machine_path.front() != '/') return std::string(machine_path);
  return root_ + std::string(machine_path);
}

}  // namespace platform
