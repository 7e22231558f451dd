#pragma once
// The stand-in system tools of the simulated machine, each a function over its
// command line so that the programs' mains stay thin and tests can run a tool
// in-process against a fake host. Every tool changes the machine only through the
// platform services (platform::GetHost()). The result is the exit status
// (tool_support.h); messages go to `call.err`, reports to `call.out`.
//
// Command lines (README.md has the details):
//   newfs_hfs [-s] [-J [size]] [-b block-size] [-v name] device
//   newfs [-v name] device
//   diskutil enableJournal|disableJournal mount-point|device
//   vsdbutil -a|-d|-c path
//   hdiutil resize -size size image
//   nvram name[=value] ...
//   bless [-folder path] [-setboot] [-device device] [-mount path] [-label name] ...

#include "sim/tools/tool_support.h"

namespace sim::tools {

int NewfsHfs(const ToolCall& call);
int Newfs(const ToolCall& call);
int Diskutil(const ToolCall& call);
int Vsdbutil(const ToolCall& call);
int Hdiutil(const ToolCall& call);
int Nvram(const ToolCall& call);
int Bless(const ToolCall& call);

}  // namespace sim::tools
