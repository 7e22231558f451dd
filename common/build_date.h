#pragma once
// The build date of the executable and conversions between date texts and seconds
// counts. Seconds counts are unsigned 32-bit numbers of seconds since 1 January 1970
// 00:00:00, without a time zone. Dates follow the Gregorian calendar (which agrees
// with the every-fourth-year rule for 1970-2099).

#include <cstdint>

// Copies the build date text ("Jun  3 2005 17:49:22", 20 characters) into `dst`,
// at most `len` bytes: copying stops after the terminator, and no terminator is added
// when `len` is reached first. Nothing is written for a null `dst` or len <= 0.
void ReturnBuildDate(char* dst, int len);

// Seconds count of a text in the build-date form "Mmm dd yyyy hh:mm:ss" (exactly 20
// characters; the day's tens digit may be a blank). 0 for any other text, for a date
// that does not exist (Feb 30, hour 24), and for a moment outside 1970-01-01 00:00:00
// to 2106-02-07 06:28:15, which a 32-bit count cannot hold.
uint32_t ConvertDateStringToDateSeconds(const char* text);

// Formats a seconds count as "yyyy-mm-dd hh:mm:ss" (19 characters) into `dst` with
// ReturnBuildDate's copy rule over min(len, 32) bytes; `len` must be at least 20 for
// the text and its terminator.
void ConvertDateSecondsToDateString(unsigned long seconds, char* dst, unsigned long len);
