#pragma once
// Sizes for people: whole kilobytes scaled to KB, MB, GB or TB.

#include <cstddef>

// Writes `bytes` as "500 GB", "50.5  GB", "1.00  KB" (a fraction is followed by a
// blank before the unit). Sizes of 1000 TB and more give an empty text. At most 14
// characters; the text is cut to fit `len` bytes, terminator included.
void ConvertUInt64ToSizeString(unsigned long long bytes, char* buf, size_t len);
