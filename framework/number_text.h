#pragma once
// Decimal text of unsigned numbers, optionally with a ',' after every digit that has
// a multiple of three digits after it (1,234,567).

#include <cstddef>
#include <cstdint>

// Writes `value` as a length-prefixed string into pstr (at most 13 characters, so
// pstr needs 14 bytes). 0 gives "0".
void UnsignedNumberToString(uint32_t value, unsigned char* pstr, unsigned char commas);

// Writes `value` as a NUL-terminated string at the start of buf (len bytes). 27 bytes
// hold any value with separators. When the text and its terminator do not fit, buf
// receives an empty string (when len > 0) instead of a cut number.
void ConvertUInt64ToString(unsigned long long value, char* buf, size_t len,
                           unsigned char commas);
