#include "framework/pascal_string.h"

#include <cstring>

void StringCat(unsigned char* dst, const unsigned char* src) {
  if (dst == nullptr || src == nullptr) return;
  unsigned int room = 255u - dst[0];
  unsigned int count = src[0] < room ? src[0] : room;
  std::memmove(dst + 1 + dst[0], src + 1, count);
  dst[0] = static_cast<unsigned char>(dst[0] + count);
}

void StripCommas(unsigned char* pstr) {
  if (pstr == nullptr) return;
  unsigned int kept = 0;
  for (unsigned int i = 1; i <= pstr[0]; ++i) {
    if (pstr[i] != ',') pstr[1 + kept++] = pstr[i];
  }
  pstr[0] = static_cast<unsigned char>(kept);
}
