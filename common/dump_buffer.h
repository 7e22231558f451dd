#pragma once
// A hexadecimal dump of a memory block, for diagnostics.

#include <cstddef>

// Dumps `data` into a process-wide 1024-byte text (gDumpBufferString, allocated on
// the first call) and returns it; null when the text cannot be allocated. One line
// per 16 bytes: "0x" and the offset as eight hex digits, then the bytes as two hex
// digits each, after two blanks at the 1st, 5th, 9th and 13th byte and after one
// blank otherwise, then "\n".
//
// The text holds 16 full lines (256 bytes of input) and its terminator. Longer input
// is cut after the last line that fits whole with the terminator (a short seventeenth
// line of one byte still does), so the dump never ends in the middle of a line and is
// always terminated. Each call overwrites the text; called from one
// thread at a time.
char* DumpBuffer(const void* data, unsigned long len);

inline constexpr size_t kDumpBufferSize = 1024;
