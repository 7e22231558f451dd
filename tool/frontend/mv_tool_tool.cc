#include "tool/frontend/mv_tool_tool.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/host.h"
#include "tool/frontend/remove_tree.h"
#include "tool/model/mvuid.h"
#include "tool/model/user_event_log.h"

TMVToolTool* TMVToolTool::gMVToolPtr = nullptr;

namespace {

// The leftover of boot disc preparation, removed at every start.
constexpr char kKextsScratchFolder[] = "/tmp/Mirovane_Kexts";

// Paths are built in 1024-byte buffers throughout the tool.
constexpr size_t kMaxPathLength = 1023;

}  // namespace

TMVToolTool::TMVToolTool() { gMVToolPtr = this; }

TMVToolTool::~TMVToolTool() {
  KillSpot();
  // Later: the disk list and the volume list go first, then the event log, then
  // the driver interface, once those objects exist.
  delete fEventLog;
  fEventLog = nullptr;
  std::free(fSpotBuffer);
  std::free(fRequest.buffer);
  std::free(fReply.buffer);
  if (fSpotPipe[0] >= 0) ::close(fSpotPipe[0]);
  if (fDiskArbMutexReady) pthread_mutex_destroy(&fDiskArbMutex);
  if (gMVToolPtr == this) gMVToolPtr = nullptr;
}

OSErr TMVToolTool::InitTool() {
  OSErr result = noErr;
  fToolPathname = fToolPathOption.ReturnString();

  // The tool's directory is the working directory at start (or what command 4 sets).
  std::vector<char> cwd(32);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE || cwd.size() > 65536) return paramErr;
    cwd.resize(cwd.size() + 32);
  }
  fPathname = cwd.data();
  if (fPathname.empty() || fPathname.back() != '/') fPathname += '/';
  fActionPathname = fPathname + kActionProgramName;

  if (fSelfRepairFlag.ReturnFlag()) {
    result = PerformSelfRepair();
  } else {
    result = CreateModelObjects();
    if (result == noErr) {
      fSpotBuffer = static_cast<uint8_t*>(std::calloc(1, kSpotBufferSize));
      if (fSpotBuffer == nullptr) result = memFullErr;
    }
    if (result == noErr) {
      if (pthread_mutex_init(&fDiskArbMutex, nullptr) != 0) {
        result = memFullErr;
      } else {
        fDiskArbMutexReady = true;
      }
    }
  }

  if (result == noErr) {
    // A folder that cannot be removed is no reason to refuse to start.
    (void)RemoveDirectoryTree(platform::GetHost().paths().Resolve(kKextsScratchFolder));
  }
  return result;
}

OSErr TMVToolTool::CreateModelObjects() {
  OSErr result = noErr;
  // Each of these steps creates one model object and calls its Initialize(); a
  // failed allocation gives -108 and an Initialize error is returned as it is. They
  // join here, in this order, as those objects are built:
  //   1. the driver interface          (fDriverInterface)
  //   2. the disk list                 (fDiskList)
  //   3. the volume list               (fVolumeList)
  //   4. the event log                 (fEventLog)
  //   5. the disc modifier             (fCDModifier)
  //   6. the boot path restorer        (fBootPathRestorer)
  if (result == noErr) {
    fEventLog = new (std::nothrow) TUserEventLog();
    result = fEventLog == nullptr ? memFullErr : fEventLog->Initialize();
  }
  return result;
}

OSErr TMVToolTool::DoWork() {
  if (fSelfRepairDone) return noErr;
  if (fBinaryFlag.ReturnFlag()) return RunBinaryWorkLoop();
  if (fFirstWord.WasFound() && std::strcmp(fFirstWord.ReturnValue(), "driverinstall") == 0) {
    if (fSecondWord.WasFound()) {
      // Later: fill a preferences record with SetPreferencesToDefaults, set its
      // mirror secondary timeout to 120 and call InstallDriver(prefs, "/tmp", 0)
      // through the driver interface. The result is 0 whatever the installation
      // returns.
    }
    return noErr;
  }
  return RunAsciiWorkLoop();
}

MVUID TMVToolTool::GetNewMVUID() { return ::GetNewMVUID(); }

void TMVToolTool::LockDiskArbMutex() {
  if (fDiskArbMutexReady) pthread_mutex_lock(&fDiskArbMutex);
}

void TMVToolTool::UnlockDiskArbMutex() {
  if (fDiskArbMutexReady) pthread_mutex_unlock(&fDiskArbMutex);
}

Boolean TMVToolTool::Authorize(const platform::AuthorizationExternalForm& form) {
  return platform::GetHost().authority().HoldsRight(form, platform::kRightAdmin, fToolPathname);
}

OSErr TMVToolTool::HandleSetPathnameCommand(const char* path) {
  if (path == nullptr || *path == '\0') return paramErr;
  std::string directory = path;
  // The directory must end in "/"; one that does not is completed rather than
  // glued to the program names.
  if (directory.back() != '/') directory += '/';
  if (directory.size() + std::strlen(kActionProgramName) > kMaxPathLength) return paramErr;
  fPathname = directory;
  fActionPathname = directory + kActionProgramName;
  return noErr;
}

OSErr TMVToolTool::HandleTestCommand(const void* data, uint32_t len, uint32_t* replyLen) {
  OSErr result = CheckBufferSize(&fReply, len);
  if (result != noErr) return result;
  if (len > 0) std::memcpy(fReply.buffer, data, len);
  *replyLen = len;
  return noErr;
}

void TMVToolTool::KillSpot() {
  if (fSpotRunning && fSpotPid > 0) ::kill(fSpotPid, SIGTERM);
}

OSErr TMVToolTool::HandleSpotEvents() {
  if (!fSpotRunning) return noErr;
  // Later: read the watcher's pipe (ReadSpotEvents), dispatch every complete record
  // to the disk and volume lists, keep the partial bytes, and update the connection
  // records after a drain that handled records.
  return noErr;
}
