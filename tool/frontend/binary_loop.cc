// The application protocol: 12-byte request headers and payloads on the input,
// length-prefixed replies on the output, one request at a time on the main thread.

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/time_stamp.h"
#include "tool/frontend/mv_tool_tool.h"
#include "tool/frontend/stream_io.h"
#include "tool/model/app_records.h"

namespace {

struct RequestHeader {
  uint32_t command;
  uint32_t payloadSize;
  uint32_t replyCapacity;
};
static_assert(sizeof(RequestHeader) == 12);
static_assert(offsetof(RequestHeader, payloadSize) == 4);
static_assert(offsetof(RequestHeader, replyCapacity) == 8);

constexpr size_t kAuthorizationFormSize = sizeof(platform::AuthorizationExternalForm);
static_assert(kAuthorizationFormSize == 32);

// Commands whose objects (watcher channel, model lists, driver interface, disc
// modifier) are not part of the tool yet. They are refused like an unassigned code
// until their handlers join ExecuteCommand.
bool IsNotYetAvailable(uint32_t command) {
  if (command == kCmdStartSpot || command == kCmdGetList ||
      command == kCmdSetApplicationActive || command == kCmdUninstall) {
    return true;
  }
  if (command >= kCmdMirovaneCDOperations && command <= kCmdExpandTempDiskImage) return true;
  if (command >= kCmdInstallDriver && command <= kCmdSetDriverVersion) return true;
  if (command >= kCmdGetDiskInfo && command <= kCmdCancelDiskCommand) return true;
  return command >= kCmdCreateVolume && command <= kCmdCancelVolumeCommand &&
         command != kCmdGetVolumePartitions;
}

// The one place those commands end up for now: the exchange ends with -50 and the
// log line, exactly as for an unassigned code.
OSErr CommandNotYetAvailable(uint32_t /*command*/) { return paramErr; }

}  // namespace

OSErr TMVToolTool::CheckBufferSize(BufferRec* buf, uint32_t len) {
  if (buf->capacity >= len) return noErr;
  std::free(buf->buffer);
  buf->buffer = nullptr;
  buf->capacity = 0;
  if (len > kMaxRequestBufferSize) return paramErr;
  uint32_t rounded = (len + 4095u) & ~4095u;  // cannot overflow below the limit
  buf->buffer = static_cast<uint8_t*>(std::malloc(rounded));
  if (buf->buffer == nullptr) return memFullErr;
  buf->capacity = rounded;
  return noErr;
}

OSErr TMVToolTool::PrepareReply(uint32_t len, uint32_t* replyLen) {
  OSErr result = CheckBufferSize(&fReply, len);
  if (result != noErr) return result;
  std::memset(fReply.buffer, 0, len);
  *replyLen = len;
  return noErr;
}

OSErr TMVToolTool::ExecuteCommand(uint32_t command, uint32_t payloadSize, uint32_t* replyLen,
                                  bool* quit) {
  const uint8_t* payload = fRequest.buffer;
  switch (command) {
    case kCmdTest:
      return HandleTestCommand(payload, payloadSize, replyLen);
    case kCmdRestart: {
      OSErr result = PrepareReply(1, replyLen);
      return result != noErr ? result : HandleRestartCommand();
    }
    case kCmdGetEvents:
    case kCmdGetVolumePartitions:
      return noErr;
    case kCmdSetPathname:
      // The directory must be a terminated string inside the payload.
      if (payloadSize == 0 || std::memchr(payload, '\0', payloadSize) == nullptr) return paramErr;
      return HandleSetPathnameCommand(reinterpret_cast<const char*>(payload));
    case kCmdGetProcessID: {
      OSErr result = PrepareReply(sizeof(int32_t), replyLen);
      if (result != noErr) return result;
      int32_t pid = static_cast<int32_t>(::getpid());
      std::memcpy(fReply.buffer, &pid, sizeof pid);
      return noErr;
    }
    case kCmdSelfRepair: {
      if (payloadSize < kAuthorizationFormSize) return paramErr;
      OSErr result = PrepareReply(1, replyLen);
      if (result != noErr) return result;
      platform::AuthorizationExternalForm form;
      std::memcpy(form.data(), payload, form.size());
      result = HandleSelfRepair(form);
      fReply.buffer[0] = result == noErr ? 1 : 0;
      return result;
    }
    case kCmdQuit:
      *quit = true;
      return noErr;
    case kCmdCreateSystemLogFile:
      return HandleCreateSystemLogFile();
    default:
      if (IsNotYetAvailable(command)) return CommandNotYetAvailable(command);
      return paramErr;  // an unassigned command
  }
}

void TMVToolTool::WriteLogLine(uint32_t command, OSErr result) {
  char line[512];
  int n = std::snprintf(line, sizeof line,
                        "%s Mirovane tool log: The command %lu encountered the error %d.\n",
                        TimeStamp(), static_cast<unsigned long>(command), static_cast<int>(result));
  if (n > 0) (void)WriteFully(fErrorFD, line, std::strlen(line));
}

OSErr TMVToolTool::RunBinaryWorkLoop() {
  // Framework messages went through stdio; replies go straight to the descriptor.
  (void)std::fflush(stdout);
  OSErr result = noErr;
  bool quit = false;
  uint32_t command = 0;
  while (result == noErr && !quit) {
    command = 0;  // not known until the whole header is in
    RequestHeader header;
    ReadOutcome got = ReadFully(fInputFD, &header, sizeof header);
    if (got == ReadOutcome::kEndOfInput) break;  // the application has gone: a clean end
    if (got != ReadOutcome::kComplete) {
      result = ioErr;
      break;
    }
    command = header.command;

    result = HandleSpotEvents();
    if (result == noErr && header.payloadSize > fRequest.capacity) {
      result = CheckBufferSize(&fRequest, header.payloadSize);
    }
    if (result == noErr && header.replyCapacity > fReply.capacity) {
      result = CheckBufferSize(&fReply, header.replyCapacity);
    }
    if (result != noErr) break;

    if (header.payloadSize > 0 &&
        ReadFully(fInputFD, fRequest.buffer, header.payloadSize) != ReadOutcome::kComplete) {
      result = ioErr;
      break;
    }

    uint32_t replyLen = 0;
    result = ExecuteCommand(command, header.payloadSize, &replyLen, &quit);
    if (replyLen != 0) {
      bool written = WriteFully(fOutputFD, &replyLen, sizeof replyLen) &&
                     WriteFully(fOutputFD, fReply.buffer, replyLen);
      if (!written && result == noErr) result = ioErr;
    }
  }
  if (result != noErr) WriteLogLine(command, result);
  return result;
}
