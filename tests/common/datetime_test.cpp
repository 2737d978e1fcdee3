#include "engine/common/datetime.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

int32_t Day(int y, int m, int d) {
  int32_t n = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, n)) << y << "-" << m << "-" << d;
  return n;
}

TEST(DateTime, DayNumbersCountFromFirstJanuaryOfYearOne) {
  EXPECT_EQ(Day(1, 1, 1), 1);
  EXPECT_EQ(Day(1899, 12, 30), kDateDelta);
  EXPECT_EQ(Day(1970, 1, 1), 719163);
  EXPECT_EQ(Day(2000, 3, 1) - Day(2000, 2, 28), 2);  // 2000 is a leap year
  EXPECT_EQ(Day(1900, 3, 1) - Day(1900, 2, 28), 1);  // 1900 is not
}

TEST(DateTime, EveryDayDecodesToTheDateItCameFrom) {
  for (int32_t n = 1; n <= Day(9999, 12, 31); n += 97) {
    int y, m, d;
    DecodeDate(n, y, m, d);
    EXPECT_EQ(Day(y, m, d), n);
  }
}

TEST(DateTime, RejectsDatesAndTimesOutOfRange) {
  int32_t n;
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, n));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, n));
  EXPECT_FALSE(TryEncodeDate(2026, 2, 29, n));
  EXPECT_FALSE(TryEncodeDate(2026, 13, 1, n));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, n));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, n));
}

TEST(DateTime, WeekdaysAndDaysOfYear) {
  EXPECT_EQ(DayOfWeek(Day(2026, 12, 11)), 6);  // a Friday; Sunday is 1
  EXPECT_EQ(DayOfWeek(Day(2026, 12, 13)), 1);
  EXPECT_EQ(DayOfYear(Day(2024, 12, 31)), 366);
  EXPECT_EQ(DayOfYear(Day(2026, 1, 1)), 1);
}

TEST(DateTime, NumericFormKeepsTheTimeForwardBefore1899) {
  TTimeStamp ts;
  ASSERT_TRUE(TryDateTimeToTimeStamp(-1.25, ts));
  EXPECT_EQ(ts.date, Day(1899, 12, 29));
  EXPECT_EQ(ts.time, 6 * 3600 * 1000);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), -1.25);

  ASSERT_TRUE(TryDateTimeToTimeStamp(38051.5, ts));
  EXPECT_EQ(ts.date, Day(2004, 3, 5));
  EXPECT_EQ(ts.time, 12 * 3600 * 1000);

  EXPECT_FALSE(TryDateTimeToTimeStamp(1e300, ts));
  EXPECT_FALSE(TryDateTimeToTimeStamp(-700000, ts));
}

TEST(DateTime, MillisecondFormRoundTrips) {
  const TTimeStamp ts{Day(2026, 12, 11), 37800000};
  const double ms = TimeStampToMSecs(ts);
  EXPECT_DOUBLE_EQ(ms, double(ts.date) * kMSecsPerDay + 37800000);
  TTimeStamp back;
  ASSERT_TRUE(TryMSecsToTimeStamp(ms, back));
  EXPECT_EQ(back.date, ts.date);
  EXPECT_EQ(back.time, ts.time);
  EXPECT_FALSE(TryMSecsToTimeStamp(-5, back));
}

}  // namespace
}  // namespace kestro
