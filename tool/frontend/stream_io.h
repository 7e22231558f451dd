#pragma once
// Whole reads and writes on descriptors, retried across interruptions and short
// transfers.

#include <cstddef>

enum class ReadOutcome {
  kComplete,    // every byte asked for arrived
  kEndOfInput,  // the input ended before the first byte
  kTruncated,   // the input ended part way
  kFailed,      // a read error
};

ReadOutcome ReadFully(int fd, void* buf, size_t len);
// True when every byte was written.
bool WriteFully(int fd, const void* buf, size_t len);
