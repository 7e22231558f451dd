#include "common/dump_buffer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

char* gDumpBufferString = nullptr;

char* DumpBuffer(const void* data, unsigned long len) {
  if (gDumpBufferString == nullptr) {
    gDumpBufferString = new (std::nothrow) char[kDumpBufferSize];
    if (gDumpBufferString == nullptr) return nullptr;
  }
  std::memset(gDumpBufferString, 0, kDumpBufferSize);
  if (data == nullptr) return gDumpBufferString;

  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t used = 0;
  for (unsigned long start = 0; start < len; start += 16) {
    char line[80];
    int n = std::snprintf(line, sizeof line, "0x%08lX", start);
    const unsigned long end = len - start < 16 ? len : start + 16;
    for (unsigned long i = start; i < end; ++i) {
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n),
                         (i - start) % 4 == 0 ? "  %02X" : " %02X", bytes[i]);
    }
    line[n++] = '\n';
    // Keep room for the terminator; a line that does not fit whole is left out.
    if (used + static_cast<size_t>(n) >= kDumpBufferSize) break;
    std::memcpy(gDumpBufferString + used, line, static_cast<size_t>(n));
    used += static_cast<size_t>(n);
  }
  return gDumpBufferString;
}
