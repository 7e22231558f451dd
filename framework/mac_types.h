#pragma once
// The few Mac OS scalar types and status codes the whole system speaks in.

#include <cstdint>

using OSErr = int16_t;     // 16-bit Mac OS status code; 0 is success
using OSStatus = int32_t;  // 32-bit platform status code
using Boolean = uint8_t;   // any nonzero value is true

inline constexpr OSErr noErr = 0;
inline constexpr OSErr fnfErr = -43;       // file not found
inline constexpr OSErr paramErr = -50;     // bad argument, busy helper thread, unassigned command
inline constexpr OSErr memFullErr = -108;  // a failed allocation
inline constexpr OSErr ioErr = -36;

// The platform's four-byte version record.
struct NumVersion {
  uint8_t majorRev;         // two packed decimal digits: 0x10 is 10
  uint8_t minorAndBugRev;   // high nibble minor, low nibble fix
  uint8_t stage;            // 0x20 development, 0x40 alpha, 0x60 beta, 0x80 final
  uint8_t nonRelRev;
};
static_assert(sizeof(NumVersion) == 4);

inline constexpr uint8_t developStage = 0x20;
inline constexpr uint8_t alphaStage = 0x40;
inline constexpr uint8_t betaStage = 0x60;
inline constexpr uint8_t finalStage = 0x80;

using MVUID = uint64_t;  // identifier of a RAID volume (and of a disk's status area)
