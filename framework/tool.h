#pragma once
// The base of a command-line program object, and the run sequence every program's
// main follows: parse the command line, initialise, do the work.
//
// A program makes exactly one tool object, on the main thread; its argument members
// (args.h) enter TArg::gArgList as they are constructed.

#include "framework/args.h"
#include "framework/copyright_notice.h"
#include "framework/mac_types.h"

class TTool {
 public:
  TTool();
  virtual ~TTool() = default;
  TTool(const TTool&) = delete;
  TTool& operator=(const TTool&) = delete;

  virtual OSErr InitTool();
  virtual OSErr DoWork();
  virtual void ShowHelp();
  virtual void HandleError(short err);

  // Parses the command line against TArg::gArgList; true when it is acceptable.
  // Refuses every command line, without a message, when the notice check failed.
  Boolean HandleArgs(int argc, char** argv);

  Boolean IsHelpRequested() const { return helpRequested; }

 protected:
  // For subclasses that bring their own notice text: it is checked like the
  // framework's own, so only the genuine notice lets command lines through.
  explicit TTool(const char* notice);

  unsigned char helpRequested = false;
  unsigned char notice[kNoticeBufferSize] = {};

 private:
  bool noticeIntact_ = false;
};

// The entry sequence: HandleArgs (false gives -50), then InitTool and, when that
// succeeded, DoWork. On an error ShowHelp() is called. Returns the exit status: 0 on
// success, 1 for -50, 2 for any other error. The caller destroys the tool afterwards.
int RunTool(TTool& tool, int argc, char** argv);

// The exit status for a tool result.
int ExitStatusForResult(OSErr result);
