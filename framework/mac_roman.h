#pragma once
// Lower-casing in the Mac Roman character set: ASCII capitals and the accented Mac
// Roman capitals map to their small letters; every other byte stays as it is.

// Lower-cases one byte in place.
void ToLower(unsigned char* c);
// Lower-cases a NUL-terminated string in place.
void ToLowerCStr(unsigned char* s);
inline void ToLowerCStr(char* s) { ToLowerCStr(reinterpret_cast<unsigned char*>(s)); }
// Lower-cases the bytes of a length-prefixed string in place.
void ToLowerPStr(unsigned char* s);
// Lower-cases `len` bytes in place (nothing for len <= 0).
void ToLowerStr(unsigned char* s, short len);

// The lower-case form of one byte.
unsigned char MacRomanLower(unsigned char c);
