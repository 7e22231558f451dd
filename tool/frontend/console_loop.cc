// The console: one command line at a time from the input, answers on the output.
// Words are matched, by prefix, against the lower-cased copy of the line; arguments
// (a path, a text to echo) are taken from the line as typed.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "framework/mac_roman.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/stream_io.h"

// A subcommand: its long and short forms (either may be typed) and what it writes.
struct ConsoleSubcommand {
  const char* longForm;
  const char* shortForm;
  const char* text;
};

namespace {

using Subcommand = ConsoleSubcommand;

constexpr Subcommand kDiskSubcommands[] = {
    {"initialize", "init", "Disk Initialize\n"},
    {"zero", "zero", "Disk Zero\n"},
    {"blink", "b", "Disk Blink\n"},
    {"partitions", "p", "Disk Partitions\n"},
    {"cleariocounters", "cio", "Disk Clear IO Counters\n"},
    {"cancel", "c", "Disk Cancel\n"},
};

constexpr Subcommand kVolumeSubcommands[] = {
    {"create", "cr", "Volume Create\n"},
    {"delete", "del", "Volume Delete\n"},
    {"erase", "e", "Volume Erase\n"},
    {"mount", "m", "Volume Mount\n"},
    {"partitions", "p", "Volume Partitions\n"},
    {"cleariocounters", "cio", "Volume Clear IO Counters\n"},
    {"converttomirror", "c2m", "Volume Convert to Mirror\n"},
    {"rebuild", "r", "Volume Rebuild\n"},
    {"setprimary", "sp", "Volume Set Primary\n"},
    {"splitmirror", "sm", "Volume Split Mirror\n"},
    {"cancel", "c", "Volume Cancel\n"},
};

constexpr Subcommand kEventSubcommands[] = {
    {"get", "g", "Event Get\n"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Advances pos past `word` when the line continues with it there.
bool Match(const char* line, size_t len, size_t& pos, const char* word) {
  size_t n = std::strlen(word);
  if (pos + n > len || std::strncmp(line + pos, word, n) != 0) return false;
  pos += n;
  return true;
}

bool MatchEither(const char* line, size_t len, size_t& pos, const char* longForm,
                 const char* shortForm) {
  return Match(line, len, pos, longForm) || Match(line, len, pos, shortForm);
}

size_t SkipBlanks(const char* line, size_t len, size_t pos) {
  while (pos < len && IsBlank(line[pos])) ++pos;
  return pos;
}

// The commands whose objects (model lists, driver interface, watcher channel) are
// not part of the tool yet; answered like an unknown word until they join.
OSErr ConsoleCommandNotYetAvailable() { return paramErr; }

}  // namespace

uint32_t TMVToolTool::GetLine(void* buf, uint32_t maxLen, char terminator) {
  auto* out = static_cast<unsigned char*>(buf);
  uint32_t stored = 0;
  while (stored < maxLen) {
    unsigned char c;
    ssize_t n = ::read(fInputFD, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fInputEnded = true;
      break;
    }
    if (c == 0xFF) break;
    out[stored++] = c;
    if (c == static_cast<unsigned char>(terminator)) break;
  }
  return stored;
}

void TMVToolTool::WriteConsole(const char* text) {
  (void)WriteFully(fOutputFD, text, std::strlen(text));
}

void TMVToolTool::PrintMenu() { WriteConsole("Menu of commands:\n"); }

bool TMVToolTool::LineEndsAt(size_t len, size_t pos) const {
  return SkipBlanks(fConsoleLowerLine, len, pos) >= len;
}

OSErr TMVToolTool::RunAsciiWorkLoop() {
  (void)std::fflush(stdout);
  OSErr result = noErr;
  bool quit = false;
  // The line buffer keeps one byte for the terminator of the text.
  const uint32_t maxLine = kConsoleLineSize - 1;
  while (!quit) {
    std::memset(fConsoleLine, 0, sizeof fConsoleLine);
    std::memset(fConsoleLowerLine, 0, sizeof fConsoleLowerLine);
    uint32_t got = GetLine(fConsoleLine, maxLine, '\n');
    if (got == 0 && fInputEnded) break;  // end of input ends the console like quit
    bool overlong = got == maxLine && fConsoleLine[got - 1] != '\n';
    if (overlong) {
      // Refused whole rather than cut: the rest must not run as a command of its own.
      char rest;
      while (!fInputEnded && GetLine(&rest, 1, '\n') == 1 && rest != '\n') {
      }
    }

    uint32_t echoLen = 0;
    result = HandleSpotEvents();
    if (result == noErr) {
      if (overlong) {
        result = paramErr;
      } else {
        size_t len = got;
        if (len > 0 && fConsoleLine[len - 1] == '\n') fConsoleLine[--len] = '\0';
        std::memcpy(fConsoleLowerLine, fConsoleLine, len);
        ToLowerCStr(fConsoleLowerLine);
        len = std::strlen(fConsoleLowerLine);  // a NUL typed in the line ends it
        result = ExecuteConsoleLine(len, SkipBlanks(fConsoleLowerLine, len, 0), &quit, &echoLen);
      }
    }
    if (result == noErr && echoLen > 0) {
      (void)WriteFully(fOutputFD, fReply.buffer, echoLen);
      WriteConsole("\n");
    }
    if (result == paramErr) {
      WriteConsole("unrecognized command\n");
      result = noErr;
    }
    if (result != noErr) break;
    if (!quit && !fNoMenuFlag.ReturnFlag()) PrintMenu();
    if (fInputEnded) break;  // a last line without its line feed still ran
  }
  return result;
}

OSErr TMVToolTool::ExecuteConsoleLine(size_t len, size_t pos, bool* quit, uint32_t* echoLen) {
  const char* lower = fConsoleLowerLine;
  size_t at = pos;
  if (MatchEither(lower, len, at, "driver", "dr")) return HandleDriverCommands(len, at);
  if (MatchEither(lower, len, at, "getlist", "gl")) {
    // Later: HandleGetListCommand, PrintDiskVolumeList, ReleaseDiskVolumeLists.
    return ConsoleCommandNotYetAvailable();
  }
  if (MatchEither(lower, len, at, "disk", "d")) return HandleDiskCommands(len, at);
  if (MatchEither(lower, len, at, "volume", "v")) return HandleVolumeCommands(len, at);
  if (MatchEither(lower, len, at, "event", "e")) return HandleEventCommand(len, at);
  if (Match(lower, len, at, "q")) {
    OSErr result = HandleQuitCommand(len, pos);
    if (result == noErr) *quit = true;
    return result;
  }
  if (Match(lower, len, at, "h") || Match(lower, len, at, "?")) return HandleHelpCommand(len, pos);
  if (MatchEither(lower, len, at, "test", "t")) {
    if (at < len && lower[at] == ' ') ++at;  // only one blank is consumed
    return HandleTestCommand(fConsoleLine + at, static_cast<uint32_t>(len - at), echoLen);
  }
  if (MatchEither(lower, len, at, "restart", "r")) return HandleRestartCommand();
  if (MatchEither(lower, len, at, "startspot", "ss")) {
    // Later: HandleStartSpotCommand of the watcher channel.
    return ConsoleCommandNotYetAvailable();
  }
  if (MatchEither(lower, len, at, "setpathname", "sp")) {
    at = SkipBlanks(lower, len, at);
    return HandleSetPathnameCommand(fConsoleLine + at);
  }
  return paramErr;
}

OSErr TMVToolTool::HandleDriverCommands(size_t /*len*/, size_t /*pos*/) {
  // Later, through the driver interface: "in"/"install", "isi"/"isinstalled",
  // "isr"/"isrunning", "gp"/"getpreferences", "gv"/"getversion" and
  // "sv"/"setversion" followed by a version text.
  return ConsoleCommandNotYetAvailable();
}

namespace {

OSErr MatchSubcommand(const char* lower, size_t len, size_t pos,
                      const Subcommand* table, size_t count, const char** text) {
  // The first entry that takes the whole rest of the line wins. A short form that is
  // only the start of a later entry's long form ("sp" of "splitmirror") does not
  // shadow that entry.
  for (size_t i = 0; i < count; ++i) {
    for (const char* form : {table[i].longForm, table[i].shortForm}) {
      size_t at = pos;
      if (Match(lower, len, at, form) && SkipBlanks(lower, len, at) >= len) {
        *text = table[i].text;
        return noErr;
      }
    }
  }
  return paramErr;  // no such subcommand, or text after it
}

}  // namespace

// Recognises a subcommand of one group and prints its name; the groups carry out
// nothing at the console.
OSErr TMVToolTool::AcknowledgeSubcommand(size_t len, size_t pos, const ConsoleSubcommand* table,
                                         size_t count) {
  const char* text = nullptr;
  OSErr result = MatchSubcommand(fConsoleLowerLine, len, pos, table, count, &text);
  if (result == noErr) WriteConsole(text);
  return result;
}

OSErr TMVToolTool::HandleDiskCommands(size_t len, size_t pos) {
  return AcknowledgeSubcommand(len, pos, kDiskSubcommands, std::size(kDiskSubcommands));
}

OSErr TMVToolTool::HandleVolumeCommands(size_t len, size_t pos) {
  return AcknowledgeSubcommand(len, pos, kVolumeSubcommands, std::size(kVolumeSubcommands));
}

OSErr TMVToolTool::HandleEventCommand(size_t len, size_t pos) {
  return AcknowledgeSubcommand(len, pos, kEventSubcommands, std::size(kEventSubcommands));
}

OSErr TMVToolTool::HandleQuitCommand(size_t len, size_t pos) {
  size_t at = pos;
  if (!MatchEither(fConsoleLowerLine, len, at, "quit", "q") || !LineEndsAt(len, at)) return paramErr;
  WriteConsole("Quit\n");
  return noErr;
}

OSErr TMVToolTool::HandleHelpCommand(size_t len, size_t pos) {
  size_t at = pos;
  if (!MatchEither(fConsoleLowerLine, len, at, "help", "?") || !LineEndsAt(len, at)) return paramErr;
  WriteConsole("Help\n");
  return noErr;
}
