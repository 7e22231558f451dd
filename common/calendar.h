#pragma once
// Proleptic Gregorian calendar arithmetic on whole days since 1 January 1970, valid
// for every year a 64-bit day count can name.

#include <cstdint>

namespace mv_calendar {

struct CivilDate {
  int64_t year;
  int month;  // 1-12
  int day;    // 1-31
};

// Days since 1970-01-01 of the given date.
int64_t DaysFromCivil(int64_t year, int month, int day);
// The date `days` after 1970-01-01 (negative days go back before it).
CivilDate CivilFromDays(int64_t days);

}  // namespace mv_calendar
