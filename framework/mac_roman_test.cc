#include "framework/mac_roman.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MacRomanTest, TableMapsCapitalsAndLeavesEverythingElse) {
  const std::pair<unsigned char, unsigned char> capitals[] = {
      {0x80, 0x8A}, {0x81, 0x8C}, {0x82, 0x8D}, {0x83, 0x8E}, {0x84, 0x96},
      {0x85, 0x9A}, {0x86, 0x9F}, {0xAE, 0xBE}, {0xAF, 0xBF}, {0xCB, 0x88},
      {0xCC, 0x8B}, {0xCD, 0x9B}, {0xCE, 0xCF}};
  for (int c = 0; c < 256; ++c) {
    unsigned char want = static_cast<unsigned char>(c);
    if (c >= 'A' && c <= 'Z') want = static_cast<unsigned char>(c + 0x20);
    for (auto [from, to] : capitals) {
      if (from == c) want = to;
    }
    EXPECT_EQ(MacRomanLower(static_cast<unsigned char>(c)), want) << c;
  }
}

TEST(MacRomanTest, StringFormsLowerOnlyTheirOwnBytes) {
  unsigned char c[] = "AbZ\x80\x87";
  ToLowerCStr(c);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c)), "abz\x8A\x87");

  unsigned char p[] = {2, 'A', 'B', 'C'};
  ToLowerPStr(p);
  EXPECT_EQ(p[1], 'a');
  EXPECT_EQ(p[2], 'b');
  EXPECT_EQ(p[3], 'C');  // beyond the length byte

  unsigned char s[] = {'Q', 'R', 'S'};
  ToLowerStr(s, 2);
  EXPECT_EQ(s[1], 'r');
  EXPECT_EQ(s[2], 'S');
  ToLowerStr(s, -1);
  EXPECT_EQ(s[2], 'S');

  unsigned char one = 0xCE;
  ToLower(&one);
  EXPECT_EQ(one, 0xCF);
}

}  // namespace
