#include "framework/number_text.h"

#include <cstring>

namespace {

// Writes the text backwards ending just before `end`; returns its first character.
char* FormatBackwards(unsigned long long value, char* end, bool commas) {
  char* p = end;
  int digits = 0;
  do {
    if (commas && digits > 0 && digits % 3 == 0) *--p = ',';
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
    ++digits;
  } while (value != 0);
  return p;
}

constexpr size_t kLongestText = 26;  // 18,446,744,073,709,551,615

}  // namespace

void UnsignedNumberToString(uint32_t value, unsigned char* pstr, unsigned char commas) {
  if (pstr == nullptr) return;
  char text[kLongestText];
  char* end = text + sizeof text;
  char* start = FormatBackwards(value, end, commas != 0);
  size_t length = static_cast<size_t>(end - start);
  pstr[0] = static_cast<unsigned char>(length);
  std::memcpy(pstr + 1, start, length);
}

void ConvertUInt64ToString(unsigned long long value, char* buf, size_t len,
                           unsigned char commas) {
  if (buf == nullptr || len == 0) return;
  char text[kLongestText];
  char* end = text + sizeof text;
  char* start = FormatBackwards(value, end, commas != 0);
  size_t length = static_cast<size_t>(end - start);
  if (length + 1 > len) {
    buf[0] = '\0';
    return;
  }
  std::memcpy(buf, start, length);
  buf[length] = '\0';
}
