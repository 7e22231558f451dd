#pragma once
// MirovaneTool's program object: its options, the model objects it builds at start-up,
// the choice between the application protocol, the console and the one-shot driver
// installation, and the tool-wide services every other part reaches through
// TMVToolTool::gMVToolPtr.
//
// Threads: one tool object per process, made and destroyed on the main thread. The
// main thread runs the loops; helper threads may call GetNewMVUID,
// LockDiskArbMutex/UnlockDiskArbMutex and the Return... accessors. KillSpot is also
// called from the signal handler.

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/spot_event.h"
#include "framework/mac_types.h"
#include "framework/tool.h"
#include "platform/authority.h"

class TDriverInterface;
class TDiskList;
class TVolumeList;
class TUserEventLog;
class TCD_Modifier;
class TBootPathRestorer;

// A growable byte block: grows only, never keeps its content when it grows.
struct BufferRec {
  uint8_t* buffer = nullptr;
  uint32_t capacity = 0;
};

inline constexpr uint32_t kSpotBufferRecords = 64;
inline constexpr uint32_t kSpotBufferSize =
    static_cast<uint32_t>(kSpotEventRecSize) * kSpotBufferRecords;  // 16128
inline constexpr size_t kConsoleLineSize = 1024;
// The largest payload or reply capacity a request may name. Far above any request the
// application makes; a peer asking for more is refused, not trusted.
inline constexpr uint32_t kMaxRequestBufferSize = 64u * 1024u * 1024u;

class TMVToolTool : public TTool {
 public:
  TMVToolTool();
  ~TMVToolTool() override;

  OSErr InitTool() override;
  OSErr DoWork() override;
  void ShowHelp() override {}  // the tool writes no help of its own

  static TMVToolTool* gMVToolPtr;

  TDriverInterface* ReturnDriverInterfacePtr() const { return fDriverInterface; }
  TDiskList* ReturnDiskListPtr() const { return fDiskList; }
  TVolumeList* ReturnVolumeListPtr() const { return fVolumeList; }
  TUserEventLog* ReturnEventLogPtr() const { return fEventLog; }
  TCD_Modifier* ReturnCD_ModifierPtr() const { return fCDModifier; }
  TBootPathRestorer* ReturnBootPathRestorerPtr() const { return fBootPathRestorer; }
  // The tool's directory, ending in "/"; empty until known.
  const char* ReturnPathname() const { return fPathname.c_str(); }
  // The -p value: the tool's own executable.
  const char* ReturnMVToolPathname() const { return fToolPathname.c_str(); }
  const char* ReturnMVActionToolPathname() const { return fActionPathname.c_str(); }

  MVUID GetNewMVUID();
  void LockDiskArbMutex();
  void UnlockDiskArbMutex();

  // Whether `form` holds the administrator right for this tool.
  Boolean Authorize(const platform::AuthorizationExternalForm& form);
  // Runs the tool privileged with -s and waits for it: 0, its exit status, or -50
  // when it was ended by a signal.
  OSErr HandleSelfRepair(const platform::AuthorizationExternalForm& form);
  // In the privileged copy: root ownership and set-user-ID for the tool file.
  OSErr PerformSelfRepair();
  OSErr HandleUninstallMirovane();
  OSErr HandleCreateSystemLogFile();
  OSErr HandleSetPathnameCommand(const char* path);
  OSErr HandleTestCommand(const void* data, uint32_t len, uint32_t* replyLen);
  OSErr HandleRestartCommand() { return noErr; }
  // Sends SIGTERM to the watcher when one was started. Async-signal-safe.
  void KillSpot();

  // Application protocol (binary_loop.cc).
  OSErr RunBinaryWorkLoop();
  OSErr CheckBufferSize(BufferRec* buf, uint32_t len);

  // Console (console_loop.cc).
  OSErr RunAsciiWorkLoop();
  uint32_t GetLine(void* buf, uint32_t maxLen, char terminator);

  // Watcher channel: drains the watcher's records before each request or line.
  OSErr HandleSpotEvents();

  // The descriptors the loops read requests from and write replies and the log line
  // to; standard input, output and error unless a test points them elsewhere.
  void SetStreams(int input, int output, int error) {
    fInputFD = input;
    fOutputFD = output;
    fErrorFD = error;
  }
  // For tests of the signal path and the channel: a watcher that is running.
  void SetSpotProcessForTesting(pid_t pid) {
    fSpotPid = pid;
    fSpotRunning = pid > 0;
  }

 private:
  // Builds the model objects in their fixed order; each step runs only while the
  // result is still 0.
  OSErr CreateModelObjects();
  OSErr ExecuteCommand(uint32_t command, uint32_t payloadSize, uint32_t* replyLen, bool* quit);
  OSErr PrepareReply(uint32_t len, uint32_t* replyLen);
  void WriteLogLine(uint32_t command, OSErr result);

  // Console pieces.
  OSErr ExecuteConsoleLine(size_t len, size_t pos, bool* quit, uint32_t* echoLen);
  OSErr HandleDriverCommands(size_t len, size_t pos);
  OSErr HandleDiskCommands(size_t len, size_t pos);
  OSErr HandleVolumeCommands(size_t len, size_t pos);
  OSErr HandleEventCommand(size_t len, size_t pos);
  OSErr AcknowledgeSubcommand(size_t len, size_t pos, const struct ConsoleSubcommand* table,
                              size_t count);
  OSErr HandleQuitCommand(size_t len, size_t pos);
  OSErr HandleHelpCommand(size_t len, size_t pos);
  void PrintMenu();
  void WriteConsole(const char* text);
  bool LineEndsAt(size_t len, size_t pos) const;

  // Options, in the order they enter the argument list.
  TFlag fBinaryFlag{"-b", false};
  TFlag fNoMenuFlag{"-nm", false};
  TFlag fSelfRepairFlag{"-s", false};
  TStrOption fToolPathOption{"-p", "", false};
  TStrParam fFirstWord{"", false};
  TStrParam fSecondWord{"", false};

  TDriverInterface* fDriverInterface = nullptr;
  TDiskList* fDiskList = nullptr;
  TVolumeList* fVolumeList = nullptr;
  TUserEventLog* fEventLog = nullptr;
  TCD_Modifier* fCDModifier = nullptr;
  TBootPathRestorer* fBootPathRestorer = nullptr;

  char fConsoleLine[kConsoleLineSize] = {};
  char fConsoleLowerLine[kConsoleLineSize] = {};
  bool fInputEnded = false;
  BufferRec fRequest;
  BufferRec fReply;

  std::string fPathname;
  std::string fToolPathname;
  std::string fActionPathname;

  volatile bool fSpotRunning = false;
  bool fApplicationActive = false;
  volatile pid_t fSpotPid = 0;
  int fSpotPipe[2] = {-1, -1};
  uint8_t* fSpotBuffer = nullptr;
  uint32_t fSpotRecordCount = 0;
  uint32_t fSpotPartialBytes = 0;

  pthread_mutex_t fDiskArbMutex;
  bool fDiskArbMutexReady = false;
  bool fSelfRepairDone = false;

  int fInputFD = 0;
  int fOutputFD = 1;
  int fErrorFD = 2;
};

// The path of the tool's action program in a directory ending in "/".
inline constexpr char kActionProgramName[] = "MirovaneAction";
