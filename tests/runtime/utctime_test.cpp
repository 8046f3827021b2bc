// UTC breakdown of 32-bit Unix times (RtUtcBreakdown).
//
// Item times from an archive's extended-timestamp field go through this
// breakdown; a wrong day at a leap day or a year boundary would stamp every
// unpacked file with a wrong date. The lower bound copies the platform's
// 32-bit breakdown: half a day before the epoch is the earliest time.
#include <limits.h>

#include "gtest/gtest.h"
#include "rt.h"

namespace {

struct UtcCase {
  long unixTime;
  int ok;
  RtUtcTime expected;  // when ok
};

class Breakdown : public ::testing::TestWithParam<UtcCase> {};

TEST_P(Breakdown, GivesTheCivilTime) {
  const UtcCase &c = GetParam();
  RtUtcTime out = {-1, -1, -1, -1, -1, -1};
  ASSERT_EQ(RtUtcBreakdown(c.unixTime, &out), c.ok) << c.unixTime;
  if (!c.ok) return;
  EXPECT_EQ(out.year, c.expected.year);
  EXPECT_EQ(out.month, c.expected.month);
  EXPECT_EQ(out.day, c.expected.day);
  EXPECT_EQ(out.hour, c.expected.hour);
  EXPECT_EQ(out.minute, c.expected.minute);
  EXPECT_EQ(out.second, c.expected.second);
}

INSTANTIATE_TEST_SUITE_P(Runtime, Breakdown,
                         ::testing::Values(UtcCase{0, 1, {1970, 1, 1, 0, 0, 0}},
                                           UtcCase{86399, 1, {1970, 1, 1, 23, 59, 59}},
                                           UtcCase{1533536566, 1, {2018, 8, 6, 6, 22, 46}},
                                           UtcCase{-1, 1, {1969, 12, 31, 23, 59, 59}},
                                           UtcCase{-43200, 1, {1969, 12, 31, 12, 0, 0}},
                                           UtcCase{-43201, 0, {}},
                                           UtcCase{LONG_MIN, 0, {}},
                                           UtcCase{68169600, 1, {1972, 2, 29, 0, 0, 0}},
                                           UtcCase{951782400, 1, {2000, 2, 29, 0, 0, 0}},
                                           UtcCase{951868800, 1, {2000, 3, 1, 0, 0, 0}},
                                           UtcCase{978307199, 1, {2000, 12, 31, 23, 59, 59}},
                                           UtcCase{978307200, 1, {2001, 1, 1, 0, 0, 0}},
                                           UtcCase{1709164800, 1, {2024, 2, 29, 0, 0, 0}},
                                           UtcCase{0x7FFFFFFF, 1, {2038, 1, 19, 3, 14, 7}}));

}  // namespace
