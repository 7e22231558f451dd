// Files the tool moves or creates for the application: uninstallation and the
// system log file.

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/host.h"
#include "tool/frontend/mv_tool_tool.h"

OSErr TMVToolTool::HandleUninstallMirovane() {
  platform::Paths& paths = platform::GetHost().paths();
  // Failures of the moves are not reported: what is left in place stays usable.
  (void)std::rename(paths.Resolve("/System/Library/Extensions/Mirovane.kext").c_str(),
                    paths.Resolve("/tmp/Mirovane.kext").c_str());
  (void)std::rename(fToolPathname.c_str(), paths.Resolve("/tmp/MirovaneTool").c_str());
  // Later: return TouchExtensionsFolder() of the driver interface, so that the
  // system notices the driver has gone.
  return noErr;
}

OSErr TMVToolTool::HandleCreateSystemLogFile() {
  std::string path = platform::GetHost().paths().Resolve("/var/log/system.log");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return noErr;  // there already, or cannot be made: never an error
  (void)::fchmod(fd, 0640);  // not narrowed by the umask
  if (const group* admin = ::getgrnam("admin")) (void)::fchown(fd, 0, admin->gr_gid);
  ::close(fd);
  return noErr;
}
