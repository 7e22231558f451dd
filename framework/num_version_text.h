#pragma once
// Text forms of NumVersion: 2.1.3, 10.4 b7, 1.0.5b12.

#include <cstddef>

#include "framework/mac_types.h"

// Writes v as text into buf (len bytes): major (tens digit only when 1-9), ".",
// minor, "." and fix when the fix digit is 1-9, and for a stage other than final an
// optional blank, the stage letter (d, a, b; "?" for a stage byte that is none of the
// four) and the non-release revision. A piece that no longer fits is skipped; the
// text is always NUL-terminated within len bytes (nothing is written when len is 0).
void ConvertNumVersionToString(NumVersion v, char* buf, size_t len,
                               unsigned char spaceBeforeStage);

// Parses a version text ("2.1", "1.0.5b12", "10.4 b7"). Returns true and fills *v on
// success; on failure *v is left unchanged.
Boolean ConvertStringToNumVersion(const char* text, NumVersion* v);
