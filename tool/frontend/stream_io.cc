#include "tool/frontend/stream_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

ReadOutcome ReadFully(int fd, void* buf, size_t len) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::read(fd, p + got, len - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadOutcome::kFailed;
    }
    if (n == 0) return got == 0 ? ReadOutcome::kEndOfInput : ReadOutcome::kTruncated;
    got += static_cast<size_t>(n);
  }
  return ReadOutcome::kComplete;
}

bool WriteFully(int fd, const void* buf, size_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, p + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}
