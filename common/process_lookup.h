#pragma once
// Finding another running process by name, from the output of "ps axww".

#include <sys/types.h>

#include <cstddef>

// The pid of a running process, other than the caller, whose command's last path
// component is exactly `name` ("kextd" matches "/usr/sbin/kextd", not "kextd2" nor a
// process that only has "kextd" among its arguments); 0 when there is none or the
// question cannot be answered (no memory, no pipe, no fork, no ps).
//
// The output of ps is parsed as it streams in, through one fixed 32 KiB buffer, and
// reading stops at the first match; the pipe is then closed before the child is
// waited for, so a ps still writing ends instead of blocking. Blocks the calling
// thread until ps has ended; keeps no state, so any thread may call it.
pid_t Get_ProcessID(const char* name);

// Matches the complete lines of the NUL-terminated `buffer` (ps lines "pid tty state
// time command ...") against `name`, skipping lines longer than 255 characters,
// lines that do not begin with a pid, and the caller's own pid. Returns the first
// matching pid and sets *tail_length to 0; without a match, moves the unfinished
// last line to the start of the buffer, stores its length in *tail_length and
// returns 0. Newlines of consumed lines are overwritten.
pid_t SearchBufferFor_PID(char* buffer, size_t* tail_length, const char* name);

// Size of the lookup's buffer: at most kProcessLookupBufferSize - 1 bytes of text and
// a terminating NUL.
inline constexpr size_t kProcessLookupBufferSize = 0x8000;
// Longest ps line that is examined.
inline constexpr size_t kProcessLookupMaxLine = 255;
