#include "framework/tool.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/mac_roman.h"
#include "framework/tool_output.h"

TTool::TTool() {
  CopyrightNotice(notice);
  noticeIntact_ = IsCopyrightNoticeIntact(notice);
}

TTool::TTool(const char* text) {
  if (text != nullptr) {
    std::strncpy(reinterpret_cast<char*>(notice), text, sizeof notice - 1);
  }
  noticeIntact_ = IsCopyrightNoticeIntact(notice);
}

OSErr TTool::InitTool() {
  WriteToolOutput("InitTool\n");
  return noErr;
}

OSErr TTool::DoWork() {
  WriteToolOutput("DoWork\n");
  return noErr;
}

void TTool::ShowHelp() {
  WriteToolOutput("Argument List: ");
  TArg::ListArgDescriptions();
  WriteToolOutput("\n### No Help String available for this tool");
  WriteToolOutput("(blame the programmer who subclassed the TTool base class).\n");
}

void TTool::HandleError(short err) {
  if (!helpRequested && err != paramErr) {
    WriteToolOutput("### Tool execution stopped. Error #: " + std::to_string(err) + ".\n");
  } else if (!helpRequested) {
    WriteToolOutput("### Syntax error in command line.\n");
  }
  ShowHelp();
  WriteToolOutput("### ");
  WriteToolOutput(reinterpret_cast<const char*>(notice));
  WriteToolOutput("\n\n");
}

Boolean TTool::HandleArgs(int argc, char** argv) {
  if (!noticeIntact_) return false;
  // The word counts are 16-bit; a longer command line is not silently cut.
  if (argc > SHRT_MAX) return false;
  if (argc <= 0 || argv == nullptr) {
    short none = 0;
    return TArg::ParseArgs(none, argv, argv);
  }

  char** lowered = static_cast<char**>(std::calloc(static_cast<size_t>(argc), sizeof(char*)));
  if (lowered == nullptr) return false;
  bool copied = true;
  for (int i = 0; i < argc && copied; ++i) {
    lowered[i] = strdup(argv[i] != nullptr ? argv[i] : "");
    if (lowered[i] == nullptr) {
      copied = false;
    } else {
      ToLowerCStr(lowered[i]);
    }
  }

  Boolean acceptable = false;
  if (copied) {
    short remaining = static_cast<short>(argc - 1);
    if (remaining > 0 && (std::strcmp(lowered[1], "help") == 0 || std::strcmp(lowered[1], "?") == 0)) {
      helpRequested = true;
    } else {
      acceptable = TArg::ParseArgs(remaining, argv, lowered);
    }
  }

  for (int i = 0; i < argc; ++i) std::free(lowered[i]);
  std::free(lowered);
  return acceptable;
}

int ExitStatusForResult(OSErr result) {
  if (result == noErr) return 0;
  return result == paramErr ? 1 : 2;
}

int RunTool(TTool& tool, int argc, char** argv) {
  OSErr result = paramErr;
  if (tool.HandleArgs(argc, argv)) {
    result = tool.InitTool();
    if (result == noErr) result = tool.DoWork();
  }
  if (result != noErr) tool.ShowHelp();
  return ExitStatusForResult(result);
}
