#include "framework/num_version_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

NumVersion V(uint8_t major, uint8_t minorFix, uint8_t stage, uint8_t rev) {
  return NumVersion{major, minorFix, stage, rev};
}

TEST(NumVersionTextTest, ToString) {
  struct Case { NumVersion v; bool space; const char* want; };
  const Case cases[] = {
      {V(0x02, 0x13, finalStage, 0), false, "2.1.3"},
      {V(0x10, 0x40, betaStage, 7), true, "10.4 b7"},
      {V(0x10, 0x40, betaStage, 7), false, "10.4b7"},
      {V(0x01, 0x05, developStage, 105), false, "1.0.5d105"},
      {V(0x01, 0x00, alphaStage, 0), false, "1.0a0"},
      {V(0x00, 0x00, finalStage, 9), false, "0.0"},  // revision only for pre-release
      {V(0x01, 0x0A, finalStage, 0), false, "1.0"},  // fix digit above 9 not shown
      {V(0x01, 0x00, 0x33, 2), false, "1.0?2"},      // unknown stage: no letter
  };
  for (const Case& tc : cases) {
    char buf[32];
    ConvertNumVersionToString(tc.v, buf, sizeof buf, tc.space);
    EXPECT_STREQ(buf, tc.want);
  }
}

TEST(NumVersionTextTest, ToStringSkipsPiecesThatDoNotFitAndAlwaysTerminates) {
  struct Case { size_t len; const char* want; };
  // 10.4 b123 in ever smaller buffers.
  const Case cases[] = {{32, "10.4 b123"}, {10, "10.4 b123"}, {9, "10.4 b12"}, {7, "10.4 b"},
                        {4, "10."}, {1, ""}};
  for (const Case& tc : cases) {
    char buf[40];
    std::memset(buf, 'x', sizeof buf);
    ConvertNumVersionToString(V(0x10, 0x40, betaStage, 123), buf, tc.len, true);
    EXPECT_STREQ(buf, tc.want) << tc.len;
    EXPECT_EQ(buf[tc.len], 'x') << tc.len;
  }
}

TEST(NumVersionTextTest, FromStringAccepts) {
  struct Case { const char* text; NumVersion want; };
  const Case cases[] = {
      {"2.1", V(0x02, 0x10, finalStage, 0)},
      {"1.0.5b12", V(0x01, 0x05, betaStage, 12)},
      {"10.4 b7", V(0x10, 0x40, betaStage, 7)},
      {"2.1b3", V(0x02, 0x10, betaStage, 3)},
      {"3.2d255", V(0x03, 0x20, developStage, 255)},
      {"1.1a1", V(0x01, 0x10, alphaStage, 1)},
      {"1.2 7", V(0x01, 0x20, finalStage, 0)},  // a digit ends the parse as final
  };
  for (const Case& tc : cases) {
    NumVersion v{};
    ASSERT_TRUE(ConvertStringToNumVersion(tc.text, &v)) << tc.text;
    EXPECT_EQ(std::memcmp(&v, &tc.want, sizeof v), 0) << tc.text;
  }
}

TEST(NumVersionTextTest, FromStringRejectsAndLeavesTheRecordAlone) {
  const char* bad[] = {"1.23", "1.0x", "1.0b", "1.0b300", "", "x1.0", "123.4", "1.", ".1",
                       "1.0.", "1.0.12", "1.0b1234", "1.0b12x", "1.0  b1", "1.0B1"};
  for (const char* text : bad) {
    NumVersion v = V(0xAA, 0xBB, 0xCC, 0xDD);
    EXPECT_FALSE(ConvertStringToNumVersion(text, &v)) << text;
    EXPECT_EQ(v.majorRev, 0xAA) << text;
    EXPECT_EQ(v.nonRelRev, 0xDD) << text;
  }
  EXPECT_FALSE(ConvertStringToNumVersion(nullptr, nullptr));
}

TEST(NumVersionTextTest, RoundTrip) {
  const char* texts[] = {"2.1.3", "10.4 b7", "1.0 d105", "9.9.9 a255"};
  for (const char* text : texts) {
    NumVersion v{};
    ASSERT_TRUE(ConvertStringToNumVersion(text, &v)) << text;
    char buf[32];
    ConvertNumVersionToString(v, buf, sizeof buf, true);
    EXPECT_EQ(std::string(buf), text);
  }
}

}  // namespace
