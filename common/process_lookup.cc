#include "common/process_lookup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/run_tool.h"

namespace {

// The pid of a matching line, or 0.
pid_t MatchLine(const char* line, size_t length, const char* name, pid_t self) {
  if (length > kProcessLookupMaxLine) return 0;
  int pid = 0;
  char tty[kProcessLookupMaxLine + 1];
  char state[kProcessLookupMaxLine + 1];
  char time[kProcessLookupMaxLine + 1];
  char command[kProcessLookupMaxLine + 1];
  // Every word fits: the whole line is at most 255 characters.
  if (std::sscanf(line, "%d %255s %255s %255s %255s", &pid, tty, state, time, command) != 5) {
    return 0;
  }
  if (pid <= 0 || pid == self) return 0;
  const char* slash = std::strrchr(command, '/');
  const char* base = slash ? slash + 1 : command;
  return std::strcmp(base, name) == 0 ? static_cast<pid_t>(pid) : 0;
}

ssize_t ReadRetrying(int fd, char* into, size_t size) {
  ssize_t n;
  do {
    n = read(fd, into, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

pid_t SearchBufferFor_PID(char* buffer, size_t* tail_length, const char* name) {
  if (tail_length != nullptr) *tail_length = 0;
  if (buffer == nullptr || tail_length == nullptr || name == nullptr) return 0;
  const pid_t self = getpid();

  char* line = buffer;
  for (;;) {
    char* newline = std::strchr(line, '\n');
    if (newline == nullptr) break;
    *newline = '\0';
    const pid_t pid = MatchLine(line, static_cast<size_t>(newline - line), name, self);
    if (pid != 0) return pid;
    line = newline + 1;
  }
  const size_t tail = std::strlen(line);
  std::memmove(buffer, line, tail + 1);
  *tail_length = tail;
  return 0;
}

pid_t Get_ProcessID(const char* name) {
  if (name == nullptr) return 0;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kProcessLookupBufferSize]);
  if (!buffer) return 0;

  int fd = -1;
  const pid_t child =
      StartToolWithOutputPipe(MachineToolCommand("/bin/ps", {"ps", "axww"}), &fd);
  if (child < 0) return 0;

  constexpr size_t kTextLimit = kProcessLookupBufferSize - 1;
  pid_t found = 0;
  size_t tail = 0;
  for (;;) {
    const ssize_t n = ReadRetrying(fd, buffer.get() + tail, kTextLimit - tail);
    if (n <= 0) {
      // End of the listing: a last line without a newline still counts.
      if (tail > 0) {
        buffer[tail] = '\n';
        buffer[tail + 1] = '\0';
        found = SearchBufferFor_PID(buffer.get(), &tail, name);
      }
      break;
    }
    // A NUL inside the output would hide the lines behind it from the text search.
    char* fresh = buffer.get() + tail;
    std::replace(fresh, fresh + n, '\0', ' ');
    buffer[tail + static_cast<size_t>(n)] = '\0';
    found = SearchBufferFor_PID(buffer.get(), &tail, name);
    if (found != 0) break;
    // An unfinished line already longer than any line examined will be skipped when
    // it completes; keep just enough of it to stay too long, so that a line longer
    // than the buffer never fills it and stops the reading.
    if (tail > kProcessLookupMaxLine + 1) tail = kProcessLookupMaxLine + 1;
  }
  // Closing before the wait ends a ps that is still writing (broken pipe).
  (void)close(fd);
  (void)WaitForTool(child);  // any exit status: the lines read are what counts
  return found;
}
