#include "common/apple_raid_uuid.h"

#include <cstring>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint64_t BigEndian64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

Boolean ConvertAppleRAIDUUIDStringToUUID(const char* text, uint8_t uuid[16]) {
  if (text == nullptr || uuid == nullptr) return 0;
  size_t remaining = std::strlen(text);  // characters not yet consumed, from the start
  for (int byte = 15; byte >= 0; --byte) {
    if (remaining < 2) return 0;
    const int low = HexValue(text[--remaining]);
    const int high = HexValue(text[--remaining]);
    if (low < 0 || high < 0) return 0;
    uuid[byte] = static_cast<uint8_t>(high << 4 | low);
    // One separator between this byte and the one before it; never the first character.
    if (byte > 0 && remaining > 1 && text[remaining - 1] == '-') --remaining;
  }
  return 1;
}

MVUID ConvertAppleRAIDUUID_To_MVUID(const uint8_t uuid[16]) {
  if (uuid == nullptr) return 0;
  return BigEndian64(uuid) + BigEndian64(uuid + 8);
}
