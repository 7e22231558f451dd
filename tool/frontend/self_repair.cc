// Self repair: the application asks the tool to run a privileged copy of itself with
// -s, and that copy gives the tool file back its root ownership and set-user-ID bit.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/host.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/stream_io.h"

namespace {

// A platform code as a tool result: passed through when it fits 16 bits.
OSErr FromPlatformCode(int code) {
  if (code >= -32768 && code <= 32767) return static_cast<OSErr>(code);
  return paramErr;
}

}  // namespace

OSErr TMVToolTool::HandleSelfRepair(const platform::AuthorizationExternalForm& form) {
  std::vector<std::string> args = {"-s", "-p", fToolPathname};
  pid_t pid = -1;
  int childInput = -1;
  int code = platform::GetHost().authority().ExecuteWithPrivileges(form, fToolPathname, args,
                                                                    &pid, &childInput);
  if (code != 0) return FromPlatformCode(code);

  // The child takes its authorisation from these 32 bytes. A child that died early
  // makes the write fail; its exit status below tells what happened.
  (void)WriteFully(childInput, form.data(), form.size());
  ::close(childInput);

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0 || !WIFEXITED(status)) return paramErr;
  return static_cast<OSErr>(WEXITSTATUS(status));
}

OSErr TMVToolTool::PerformSelfRepair() {
  platform::AuthorizationExternalForm form{};
  OSErr result = FromPlatformCode(platform::GetHost().authority().CopyPrivilegedReference(&form));

  int fd = -1;
  if (result == noErr) {
    // Never through a link: the privileged copy must not hand root and
    // set-user-ID to whatever a link points at.
    fd = ::open(fToolPathname.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) result = fnfErr;
  }
  struct stat st;
  if (result == noErr && ::fstat(fd, &st) != 0) result = ioErr;
  if (result == noErr && !S_ISREG(st.st_mode)) result = paramErr;
  if (result == noErr && st.st_uid != 0 && ::fchown(fd, 0, 0) != 0) result = ioErr;
  if (result == noErr) {
    mode_t mode = (st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH)) | S_ISUID;
    if (::fchmod(fd, mode) != 0) result = ioErr;
  }
  if (fd >= 0) ::close(fd);
  fSelfRepairDone = true;
  return result;
}
