#include "tool/frontend/size_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SizeTextTest, ScalesToTheLargestUnitBelowAThousand) {
  constexpr unsigned long long KB = 1024, MB = KB * 1024, GB = MB * 1024, TB = GB * 1024;
  struct Case { unsigned long long bytes; const char* want; };
  const Case cases[] = {
      {0, "0.00  KB"},
      {1023, "0.00  KB"},
      {1536, "1.00  KB"},  // whole kilobytes only
      {11 * KB, "11.0  KB"},
      {101 * KB, "101 KB"},
      {999 * KB, "999 KB"},
      {1000 * KB, "0.98  MB"},
      {500 * GB, "500 GB"},
      {50 * GB + GB / 2, "50.5  GB"},
      {2 * TB, "2.00  TB"},
      {999 * TB, "999 TB"},
      {1000 * TB, ""},
      {~0ULL, ""},
  };
  for (const Case& tc : cases) {
    char buf[15];
    std::memset(buf, 'x', sizeof buf);
    ConvertUInt64ToSizeString(tc.bytes, buf, sizeof buf);
    EXPECT_STREQ(buf, tc.want) << tc.bytes;
  }
}

TEST(SizeTextTest, NeverWritesPastTheBuffer) {
  char buf[6];
  std::memset(buf, 'x', sizeof buf);
  ConvertUInt64ToSizeString(500ULL << 30, buf, 4);
  EXPECT_STREQ(buf, "500");
  EXPECT_EQ(buf[4], 'x');
}

}  // namespace
