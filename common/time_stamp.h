#pragma once
// The time stamp that begins the tool's log lines.

// The current local date and time of the machine's clock, as
// "YYYY-MM-DD hh:mm:ss.mmm.uuu" (milliseconds and microseconds as two groups).
// Returns a process-wide static buffer (gTimeStampBuffer) that the next call
// overwrites; callers use the text at once. Called from one thread at a time.
char* TimeStamp();

// The text of the last TimeStamp() call.
extern char gTimeStampBuffer[256];
