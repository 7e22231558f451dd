#pragma once
// Length-prefixed strings: a length byte followed by that many bytes (at most 255).

// Appends src's bytes after dst's and adds the lengths. Nothing happens when either
// pointer is null. A sum above 255 is cut at 255 bytes rather than wrapping the length
// byte and writing past a 256-byte buffer.
void StringCat(unsigned char* dst, const unsigned char* src);

// Removes every ',' in place and lowers the length byte accordingly.
void StripCommas(unsigned char* pstr);
