#pragma once
// The framework's one-line notice. The text is kept scrambled in the program and
// assembled only when asked for; tools check it before they accept a command line.

#include <cstddef>

inline constexpr size_t kNoticeBufferSize = 64;  // at most 63 characters and a NUL

// Writes the notice as a NUL-terminated string into buf (kNoticeBufferSize bytes).
// Nothing happens for a null buffer.
void CopyrightNotice(unsigned char* buf);

// Whether buf holds exactly the notice CopyrightNotice writes.
bool IsCopyrightNoticeIntact(const unsigned char* buf);
