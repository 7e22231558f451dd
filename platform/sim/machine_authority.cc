#include "platform/sim/machine_authority.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"

namespace platform {

bool MachineAuthority::HoldsRight(const AuthorizationExternalForm& form, std::string_view right,
                                  std::string_view value) {
  PropertyDictionary reply;
  if (connection_.Call(machine::MakeRequest(machine::kAuthCheck,
                                            {{"form", Property::Data(form.data(), form.size())},
                                             {"right", Property::String(right)},
                                             {"value", Property::String(value)}}),
                       &reply) != 0) {
    return false;
  }
  return wire::GetBoolean(reply, "holds").value_or(false);
}

int MachineAuthority::ExecuteWithPrivileges(const AuthorizationExternalForm& form,
                                            const std::string& path,
                                            const std::vector<std::string>& args, pid_t* pid,
                                            int* stdin_fd) {
  if (!HoldsRight(form, kRightAdmin, path)) return EPERM;
  // Everything the child needs is built before fork: after it only async-signal-safe
  // calls are made.
  std::vector<std::string> words;
  words.push_back(path);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return error;
  }
  if (child == 0) {
    if (::dup2(fds[0], STDIN_FILENO) < 0) ::_exit(127);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[0]);
  *pid = child;
  *stdin_fd = fds[1];
  return 0;
}

int MachineAuthority::CopyPrivilegedReference(AuthorizationExternalForm* form) {
  size_t got = 0;
  while (got < form->size()) {
    ssize_t n = ::read(STDIN_FILENO, form->data() + got, form->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return EIO;
    got += static_cast<size_t>(n);
  }
  PropertyDictionary reply;
  if (connection_.Call(machine::MakeRequest(machine::kAuthCheck,
                                            {{"form", Property::Data(form->data(), form->size())},
                                             {"right", Property::String("")}}),
                       &reply) != 0) {
    return EPERM;
  }
  return wire::GetBoolean(reply, "known").value_or(false) ? 0 : EPERM;
}

}  // namespace platform
