#include "common/build_date.h"

#include <cstdio>
#include <cstring>

#include "common/calendar.h"

namespace {

// The date and time this file was compiled, in the form the date parser accepts.
constexpr char kBuildDate[] = __DATE__ " " __TIME__;
static_assert(sizeof kBuildDate == 21);

// Copies up to `len` bytes of `text`, stopping after its terminator (strncpy without
// the padding).
void CopyBounded(char* dst, size_t len, const char* text) {
  for (size_t i = 0; i < len; ++i) {
    dst[i] = text[i];
    if (text[i] == '\0') return;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two digits at text[0..1]; -1 when either is not a digit.
int TwoDigits(const char* text) {
  if (!IsDigit(text[0]) || !IsDigit(text[1])) return -1;
  return (text[0] - '0') * 10 + (text[1] - '0');
}

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

void ReturnBuildDate(char* dst, int len) {
  if (dst == nullptr || len <= 0) return;
  CopyBounded(dst, static_cast<size_t>(len), kBuildDate);
}

uint32_t ConvertDateStringToDateSeconds(const char* text) {
  if (text == nullptr || std::strlen(text) != 20) return 0;
  // Mmm dd yyyy hh:mm:ss
  // 0   4  7    12 15 18
  if (text[3] != ' ' || text[6] != ' ' || text[11] != ' ' || text[14] != ':' ||
      text[17] != ':') {
    return 0;
  }
  const int seconds = TwoDigits(text + 18);
  const int minutes = TwoDigits(text + 15);
  const int hours = TwoDigits(text + 12);
  const int century = TwoDigits(text + 7);
  const int year_in_century = TwoDigits(text + 9);
  if (seconds < 0 || minutes < 0 || hours < 0 || century < 0 || year_in_century < 0) return 0;
  if (seconds > 59 || minutes > 59 || hours > 23) return 0;
  if (!IsDigit(text[5]) || !(IsDigit(text[4]) || text[4] == ' ')) return 0;
  const int day = (text[4] == ' ' ? 0 : text[4] - '0') * 10 + (text[5] - '0');

  int month = 0;
  for (int m = 0; m < 12; ++m) {
    if (std::strncmp(text, kMonths[m], 3) == 0) month = m + 1;
  }
  if (month == 0) return 0;
  const int64_t year = century * 100 + year_in_century;
  if (day < 1 || day > DaysInMonth(year, month)) return 0;

  const int64_t days = mv_calendar::DaysFromCivil(year, month, day);
  const int64_t total = days * 86400 + hours * 3600 + minutes * 60 + seconds;
  if (total < 0 || total > int64_t{UINT32_MAX}) return 0;
  return static_cast<uint32_t>(total);
}

void ConvertDateSecondsToDateString(unsigned long seconds, char* dst, unsigned long len) {
  if (dst == nullptr) return;
  const auto days = static_cast<int64_t>(seconds / 86400);
  const auto in_day = static_cast<long>(seconds % 86400);
  const mv_calendar::CivilDate date = mv_calendar::CivilFromDays(days);

  // The text is at most 27 characters (a 12-digit year); the scratch is larger only so
  // the compiler can prove it, while the copy keeps the 32-byte limit.
  char scratch[64] = {};
  constexpr unsigned long kTextLimit = 32;
  std::snprintf(scratch, sizeof scratch, "%4ld-%02ld-%02ld %02ld:%02ld:%02ld",
                static_cast<long>(date.year), static_cast<long>(date.month),
                static_cast<long>(date.day), in_day / 3600, (in_day / 60) % 60, in_day % 60);
  CopyBounded(dst, len < kTextLimit ? len : kTextLimit, scratch);
}
