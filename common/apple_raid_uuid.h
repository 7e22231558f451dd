#pragma once
// The identifier of an AppleRAID set: its UUID text turned into 16 bytes, and the 16
// bytes folded into the 64-bit volume identifier the rest of the system uses.

#include <cstdint>

#include "framework/mac_types.h"

// Parses the last 32 hexadecimal digits of `text` (either case; a single '-' between
// two bytes is allowed) into `uuid`, last byte first. Characters before those digits
// are ignored. False when a character is out of place, the text has fewer digits, or
// an argument is null; `uuid` may then be partly written.
Boolean ConvertAppleRAIDUUIDStringToUUID(const char* text, uint8_t uuid[16]);

// Bytes 0-7 and bytes 8-15 read as big-endian 64-bit numbers and added modulo 2^64.
MVUID ConvertAppleRAIDUUID_To_MVUID(const uint8_t uuid[16]);
