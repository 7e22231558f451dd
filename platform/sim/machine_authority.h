#pragma once
// The authority of the simulated machine: forms are issued and checked by its daemon;
// running a program "with privileges" starts it as an ordinary child (this host has
// no second user to become), after the daemon has confirmed the right. Thread-safe.

#include "platform/authority.h"
#include "platform/sim/machine_connection.h"

namespace platform {

class MachineAuthority : public Authority {
 public:
  explicit MachineAuthority(MachineConnection& connection) : connection_(connection) {}
  bool HoldsRight(const AuthorizationExternalForm& form, std::string_view right,
                  std::string_view value) override;
  // Nonzero results: EPERM when the form does not hold the administrator right,
  // or the errno value of the failed pipe or fork.
  int ExecuteWithPrivileges(const AuthorizationExternalForm& form, const std::string& path,
                            const std::vector<std::string>& args, pid_t* pid,
                            int* stdin_fd) override;
  // Reads the 32 bytes from standard input; EIO when fewer arrive, EPERM when the
  // daemon does not know the form.
  int CopyPrivilegedReference(AuthorizationExternalForm* form) override;

 private:
  MachineConnection& connection_;
};

}  // namespace platform
