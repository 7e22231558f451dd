#include "framework/number_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/pascal_string.h"

namespace {

std::string FromPString(const unsigned char* p) {
  return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
}

TEST(NumberTextTest, UnsignedNumberToStringWithAndWithoutSeparators) {
  struct Case { uint32_t value; bool commas; const char* want; };
  const Case cases[] = {
      {0, true, "0"},           {0, false, "0"},
      {999, true, "999"},       {1000, true, "1,000"},
      {1000, false, "1000"},    {1234567, true, "1,234,567"},
      {100000, true, "100,000"}, {4294967295u, true, "4,294,967,295"},
  };
  for (const Case& tc : cases) {
    unsigned char p[256];
    std::memset(p, 0xEE, sizeof p);
    UnsignedNumberToString(tc.value, p, tc.commas);
    EXPECT_EQ(FromPString(p), tc.want) << tc.value;
    EXPECT_LE(p[0], 13);
  }
}

TEST(NumberTextTest, ConvertUInt64ToStringLargestValueWithSeparators) {
  struct Case { unsigned long long value; bool commas; const char* want; };
  const Case cases[] = {
      {0, true, "0"},
      {1000, true, "1,000"},
      {18446744073709551615ull, true, "18,446,744,073,709,551,615"},
      {18446744073709551615ull, false, "18446744073709551615"},
  };
  for (const Case& tc : cases) {
    char buf[27];
    std::memset(buf, 'x', sizeof buf);
    ConvertUInt64ToString(tc.value, buf, sizeof buf, tc.commas);
    EXPECT_STREQ(buf, tc.want);
  }
}

TEST(NumberTextTest, ConvertUInt64ToStringNeverWritesPastTheBuffer) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  ConvertUInt64ToString(1234567, buf, 7, true);  // "1,234,567" needs 10 bytes
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(buf[7], 'x');

  ConvertUInt64ToString(123456, buf, 7, false);  // exactly fits with its terminator
  EXPECT_STREQ(buf, "123456");

  buf[0] = 'x';
  ConvertUInt64ToString(5, buf, 0, false);
  EXPECT_EQ(buf[0], 'x');
}

TEST(PascalStringTest, StripCommasShortensInPlace) {
  unsigned char p[32];
  UnsignedNumberToString(1234567, p, true);
  StripCommas(p);
  EXPECT_EQ(FromPString(p), "1234567");
  unsigned char only[] = {3, ',', ',', ','};
  StripCommas(only);
  EXPECT_EQ(only[0], 0);
}

TEST(PascalStringTest, StringCatAppendsAndStopsAt255) {
  unsigned char dst[256] = {3, 'a', 'b', 'c'};
  unsigned char src[] = {2, 'd', 'e'};
  StringCat(dst, src);
  EXPECT_EQ(FromPString(dst), "abcde");
  StringCat(dst, nullptr);
  StringCat(nullptr, src);
  EXPECT_EQ(FromPString(dst), "abcde");

  unsigned char big[256];
  big[0] = 250;
  std::memset(big + 1, 'z', 250);
  unsigned char ten[] = {10, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  StringCat(big, ten);
  EXPECT_EQ(big[0], 255);
  EXPECT_EQ(big[255], '4');
}

}  // namespace
