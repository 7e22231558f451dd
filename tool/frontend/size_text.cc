#include "tool/frontend/size_text.h"

#include <cstdio>

void ConvertUInt64ToSizeString(unsigned long long bytes, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return;
  static const char* const kUnits[] = {" KB", " MB", " GB", " TB"};
  unsigned long long n = bytes / 1024;
  double x = static_cast<double>(n);
  int unit = 0;
  while (n > 999 && unit < 3) {
    n /= 1024;
    x /= 1024;
    ++unit;
  }
  if (n > 999) {
    buf[0] = '\0';
    return;
  }
  if (n > 100) {
    std::snprintf(buf, len, "%ld%s", static_cast<long>(x), kUnits[unit]);
  } else if (n > 10) {
    std::snprintf(buf, len, "%#4.1f %s", x, kUnits[unit]);
  } else {
    std::snprintf(buf, len, "%4.2f %s", x, kUnits[unit]);
  }
}
