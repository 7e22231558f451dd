// The watcher's small text forms: vendor text assembly, the hex form of 64-bit
// identities, space stripping and the root-directory form of a mount point.

#include <cstring>
#include <string_view>

#include "spot/event_handler.h"

void TEventHandler::CatVendorAndProductString(char* buffer, const char* text,
                                              size_t bufferSize, size_t* position,
                                              Boolean trim) {
  if (buffer == nullptr || text == nullptr || position == nullptr) return;
  if (*position + 1 >= bufferSize) return;
  const size_t room = bufferSize - *position - 1;
  std::string_view piece(text);
  if (trim) {
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\0')) piece.remove_suffix(1);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
  }
  piece = piece.substr(0, room);
  if (piece.empty()) return;
  // No terminator: the buffer was zeroed and one byte of room is always kept.
  std::memcpy(buffer + *position, piece.data(), piece.size());
  *position += piece.size();
}

void TEventHandler::ConvertUInt64ToHexString(uint64_t value, char text[kHexStringSize]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  size_t at = 0;
  for (int shift = 56; shift >= 0; shift -= 8) {
    const unsigned byte = static_cast<unsigned>(value >> shift) & 0xFF;
    if (at > 0) text[at++] = ' ';
    text[at++] = kDigits[byte >> 4];
    text[at++] = kDigits[byte & 0xF];
  }
  text[at] = '\0';
}

char* TEventHandler::StripSpaces(char* text) {
  if (text == nullptr) return nullptr;
  while (*text == ' ') ++text;
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == ' ') --length;
  text[length] = '\0';
  return text;
}

void TEventHandler::ConvertToVolumeRootDirectory(const char* mountPoint, char* out,
                                                 size_t outSize) {
  if (out == nullptr || outSize == 0) return;
  std::memset(out, 0, outSize);
  if (mountPoint == nullptr || outSize < 3) return;
  const size_t length = std::strlen(mountPoint);
  // Room for the text, a '/' and the terminator, with one byte to spare.
  if (length > outSize - 3) return;
  std::memcpy(out, mountPoint, length);
  // A mount point that already ends in '/' keeps its one slash.
  if (length > 1 && mountPoint[length - 1] != '/') out[length] = '/';
}
