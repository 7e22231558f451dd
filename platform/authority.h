#pragma once
// Authorisation: 32-byte external forms issued by the machine's authority, the
// question whether a form holds a right, and running a program with administrator
// rights.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using AuthorizationExternalForm = std::array<uint8_t, 32>;

inline constexpr char kRightAdmin[] = "system.privilege.admin";

class Authority {
 public:
  virtual ~Authority() = default;
  // Whether `form` names a live authorisation that holds `right` (no user
  // interaction, no extension of rights). `value` is the right's value (the path of
  // the program asking).
  virtual bool HoldsRight(const AuthorizationExternalForm& form, std::string_view right,
                          std::string_view value) = 0;
  // Starts `path` with administrator rights and `args` (argument zero excluded).
  // On success *pid is the child and *stdin_fd the write end of its standard input,
  // owned by the caller. Returns 0 or a nonzero platform code.
  virtual int ExecuteWithPrivileges(const AuthorizationExternalForm& form,
                                    const std::string& path,
                                    const std::vector<std::string>& args, pid_t* pid,
                                    int* stdin_fd) = 0;
  // In a program started by ExecuteWithPrivileges: takes the authorisation its
  // parent passed (the 32 bytes the parent writes to its standard input). Returns 0
  // and fills *form, or a nonzero platform code.
  virtual int CopyPrivilegedReference(AuthorizationExternalForm* form) = 0;
};

}  // namespace platform
