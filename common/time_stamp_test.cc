#include "common/time_stamp.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/testing/fake_host.h"

namespace {

// 2005-06-03 17:49:22 GMT in seconds since 2001-01-01.
constexpr double kJune3 = 139513762.0;

TEST(TimeStampTest, FormatsLocalDateWithMillisecondsAndMicroseconds) {
  struct Case {
    double now;
    int32_t gmt_offset;
    const char* expected;
  };
  const Case cases[] = {
      {kJune3 + 0.0625, 0, "2005-06-03 17:49:22.062.500"},
      {kJune3 + 0.5, 7200, "2005-06-03 19:49:22.500.000"},
      {kJune3, -18 * 3600, "2005-06-02 23:49:22.000.000"},         // back over midnight
      {kJune3 + 6 * 3600 + 10 * 60 + 38, 0, "2005-06-04 00:00:00.000.000"},
      {0.0, 0, "2001-01-01 00:00:00.000.000"},
      {-1.5, 0, "2000-12-31 23:59:58.500.000"},                    // before the epoch
      {109641600.0 + 43200.0, 0, "2004-06-23 12:00:00.000.000"},
      {99705600.0, 0, "2004-02-29 00:00:00.000.000"},               // leap day
      {3155673600.0, 0, "2101-01-01 00:00:00.000.000"},             // past 2099
  };
  for (const Case& c : cases) {
    platform::testing::FakeHost host;
    host.manual_clock().Set(c.now);
    host.manual_clock().SetSecondsFromGMT(c.gmt_offset);
    EXPECT_EQ(std::string(TimeStamp()), c.expected) << "now " << c.now;
  }
}

TEST(TimeStampTest, EachCallOverwritesTheSameBuffer) {
  platform::testing::FakeHost host;
  host.manual_clock().Set(kJune3);
  char* first = TimeStamp();
  host.manual_clock().Advance(1.0);
  char* second = TimeStamp();
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::string(second), "2005-06-03 17:49:23.000.000");
}

}  // namespace
