#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "common/apple_raid_uuid.h"
#include "common/build_date.h"
#include "common/dump_buffer.h"

namespace {

using Uuid = std::array<uint8_t, 16>;

constexpr Uuid kSample = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                          0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST(AppleRAIDUUIDTest, ParsesTexts) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"01234567-89AB-CDEF-0123-456789ABCDEF", true},
      {"01234567-89ab-cdef-0123-456789abcdef", true},  // lower case
      {"0123456789ABCDEF0123456789ABCDEF", true},      // no separators
      {"set:01234567-89AB-CDEF-0123-456789ABCDEF", true},  // leading text ignored
      {"0123-4567-89AB-CDEF-0123-4567-89AB-CDEF", true},   // a separator between any bytes
      {"1234567-89AB-CDEF-0123-456789ABCDEF", false},      // 31 digits
      {"", false},
      {"01234567-89AB-CDEF-0123-456789ABCDEG", false},     // not a hex digit
      {"01234567--89AB-CDEF-0123-456789ABCDEF", false},    // double separator
      {"01234567-89AB-CDEF-0123-456789ABCDE-F", false},    // separator inside a byte
      {"01234567-89AB-CDEF-0123-456789ABCDEF-", false},    // trailing separator
      {"-123456789ABCDEF0123456789ABCDEF", false},         // 31 digits after a dash
  };
  for (const Case& c : cases) {
    Uuid out{};
    EXPECT_EQ(ConvertAppleRAIDUUIDStringToUUID(c.text, out.data()) != 0, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, kSample) << c.text;
    }
  }
  Uuid out{};
  EXPECT_EQ(ConvertAppleRAIDUUIDStringToUUID(nullptr, out.data()), 0);
  EXPECT_EQ(ConvertAppleRAIDUUIDStringToUUID("01234567-89AB-CDEF-0123-456789ABCDEF", nullptr), 0);
}

TEST(AppleRAIDUUIDTest, IdentifierIsTheSumOfTheBigEndianHalvesModulo2To64) {
  struct Case {
    Uuid uuid;
    MVUID expected;
  };
  const Case cases[] = {
      {kSample, 0x0123456789ABCDEFULL * 2},
      {{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0}, 0x101},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 2}, 1},  // wraps
      {{}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertAppleRAIDUUID_To_MVUID(c.uuid.data()), c.expected);
}

TEST(DateTextTest, BuildDateFormConvertsToSeconds) {
  struct Case {
    const char* text;
    uint32_t seconds;
  };
  const Case cases[] = {
      {"Jan  1 1970 00:00:00", 0},
      {"Mar  1 1972 00:00:00", 68256000},
      {"Feb 29 1972 23:59:59", 68255999},
      {"Jun  3 2005 17:49:22", 1117820962},
      {"Dec 31 2099 23:59:59", 4102444799u},
      {"Feb  7 2106 06:28:15", 4294967295u},  // the last second a count can hold
      {"Jun 03 2005 17:49:22", 1117820962},   // a zero tens digit is a digit too
      // Not the form, or not a date: 0.
      {"Jan  1 1970 00:00:0", 0},     // 19 characters
      {"Jun  3 2005 17:49:22 ", 0},   // 21 characters
      {"jun  3 2005 17:49:22", 0},
      {"Jun  3 2005 17:4a:22", 0},
      {"Jun  3 20O5 17:49:22", 0},
      {"Jun  3 2005 17-49:22", 0},
      {"Jun  3-2005 17:49:22", 0},
      {"Jun 3  2005 17:49:22", 0},
      {"Jun    2005 17:49:22", 0},     // no day
      {"Feb 30 2005 12:00:00", 0},
      {"Feb 29 2100 12:00:00", 0},     // 2100 is not a leap year
      {"Jun  3 2005 24:00:00", 0},
      {"Jun  3 2005 23:60:00", 0},
      {"Dec 31 1969 23:59:59", 0},     // before the epoch
      {"Feb  7 2106 06:28:16", 0},     // beyond 32 bits
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConvertDateStringToDateSeconds(c.text), c.seconds) << '"' << c.text << '"';
  }
  EXPECT_EQ(ConvertDateStringToDateSeconds(nullptr), 0u);
}

TEST(DateTextTest, SecondsFormatAsDateText) {
  struct Case {
    unsigned long seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01 00:00:00"},
      {68256000, "1972-03-01 00:00:00"},
      {2678400, "1970-02-01 00:00:00"},
      {1117820962, "2005-06-03 17:49:22"},
      {4294967295ul, "2106-02-07 06:28:15"},
  };
  for (const Case& c : cases) {
    char text[32];
    std::memset(text, 'X', sizeof text);
    ConvertDateSecondsToDateString(c.seconds, text, sizeof text);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(DateTextTest, TextsCopyAtMostTheGivenLength) {
  char text[24];
  std::memset(text, 'X', sizeof text);
  ConvertDateSecondsToDateString(0, text, 10);
  EXPECT_EQ(std::string(text, 11), "1970-01-01X");  // no terminator added

  std::memset(text, 'X', sizeof text);
  ConvertDateSecondsToDateString(0, text, 20);
  EXPECT_EQ(std::string(text, 21), std::string("1970-01-01 00:00:00\0X", 21));
}

TEST(DateTextTest, BuildDateIsTwentyCharactersThatConvertBack) {
  char text[32];
  std::memset(text, 'X', sizeof text);
  ReturnBuildDate(text, sizeof text);
  EXPECT_EQ(std::strlen(text), 20u);
  EXPECT_EQ(text[21], 'X') << "copying stops after the terminator";
  EXPECT_GT(ConvertDateStringToDateSeconds(text), 1577836800u);  // built after 2020

  char partial[8];
  std::memset(partial, 'X', sizeof partial);
  ReturnBuildDate(partial, 3);
  EXPECT_EQ(std::string(partial, 4), std::string(text, 3) + "X");
  ReturnBuildDate(partial, 0);
  ReturnBuildDate(partial, -5);
  ReturnBuildDate(nullptr, 20);
  EXPECT_EQ(partial[3], 'X');
}

std::string Dump(const std::vector<uint8_t>& bytes) {
  const char* text = DumpBuffer(bytes.data(), bytes.size());
  return text ? std::string(text) : std::string("<null>");
}

TEST(DumpBufferTest, LinesOfSixteenBytesGroupedByFour) {
  EXPECT_EQ(Dump({0x00, 0x01, 0x80, 0xFF}), "0x00000000  00 01 80 FF\n");
  std::vector<uint8_t> seventeen(17);
  for (size_t i = 0; i < seventeen.size(); ++i) seventeen[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(Dump(seventeen),
            "0x00000000  A0 A1 A2 A3  A4 A5 A6 A7  A8 A9 AA AB  AC AD AE AF\n"
            "0x00000010  B0\n");
  EXPECT_EQ(Dump({}), "");
  EXPECT_STREQ(DumpBuffer(nullptr, 16), "");
}

TEST(DumpBufferTest, LongInputStopsAtTheLastWholeLineThatFits) {
  // Sixteen full lines take 1008 of the 1024 bytes; a seventeenth line is kept only
  // when it fits whole together with the terminator.
  const std::string full_line = "0x00000000  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00\n";
  struct Case {
    size_t len;
    std::string last_line;
  };
  const Case cases[] = {
      {256, "0x000000F0  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00\n"},
      {257, "0x00000100  00\n"},  // 1008 + 15 bytes still fit
      {258, "0x000000F0  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00\n"},
      {4096, "0x000000F0  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00\n"},
      {1u << 20, "0x000000F0  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00\n"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(c.len, 0);
    std::string text = Dump(bytes);
    ASSERT_LT(text.size(), kDumpBufferSize) << c.len;
    EXPECT_EQ(text.substr(0, 15 * full_line.size()).find("0x000000E0"), 14 * full_line.size())
        << c.len;
    ASSERT_GE(text.size(), c.last_line.size());
    EXPECT_EQ(text.substr(text.size() - c.last_line.size()), c.last_line) << c.len;
  }
}

TEST(DumpBufferTest, EachCallReplacesTheText) {
  std::vector<uint8_t> long_input(64, 0x11);
  char* first = DumpBuffer(long_input.data(), long_input.size());
  const uint8_t one = 0x22;
  char* second = DumpBuffer(&one, 1);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "0x00000000  22\n");
}

}  // namespace
