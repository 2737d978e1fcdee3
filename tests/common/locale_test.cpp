#include "engine/common/locale.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "engine/common/exception.h"

namespace kestro {
namespace {

int32_t Day(int y, int m, int d) {
  int32_t n = 0;
  TryEncodeDate(y, m, d, n);
  return n;
}

const TVellLocale& Fixed() { return *TVellLocale::Fixed(); }

TEST(Locale, ShortDateRoundTripsWithFourDigitYears) {
  for (int32_t day : {Day(2026, 12, 11), Day(26, 1, 2), Day(1, 1, 1), Day(9999, 12, 31)}) {
    const std::string text = Fixed().DateToStr(day);
    int32_t back = 0;
    ASSERT_TRUE(Fixed().TryStrToDate(text, back)) << text;
    EXPECT_EQ(back, day) << text;
  }
  EXPECT_EQ(Fixed().DateToStr(Day(2026, 3, 5)), "05.03.2026");
  EXPECT_EQ(Fixed().DateToStr(Day(26, 3, 5)), "05.03.0026");
}

TEST(Locale, SystemShortDateFormatAlwaysCarriesAFourDigitYear) {
  // The C locale's own short date has a two-digit year ("%m/%d/%y").
  const char* old = getenv("LC_ALL");
  const std::string saved = old ? old : "";
  setenv("LC_ALL", "C", 1);
  auto loc = TVellLocale::FromSystem();
  if (old) setenv("LC_ALL", saved.c_str(), 1); else unsetenv("LC_ALL");
  EXPECT_EQ(loc->Settings().shortDateFormat, "mm/dd/yyyy");
  const int32_t day = Day(2026, 12, 11);
  EXPECT_EQ(loc->DateToStr(day), "12/11/2026");
  int32_t back = 0;
  ASSERT_TRUE(loc->TryStrToDate(loc->DateToStr(day), back));
  EXPECT_EQ(back, day);
}

TEST(Locale, ReadsDatesTimesAndDateTimes) {
  int32_t d = 0, t = 0;
  EXPECT_TRUE(Fixed().TryStrToDate(" 5.3.2004 ", d));
  EXPECT_EQ(d, Day(2004, 3, 5));
  EXPECT_TRUE(Fixed().TryStrToDate("05.03.04", d));  // two digits: century window
  EXPECT_EQ(d, Day(2004, 3, 5));
  EXPECT_FALSE(Fixed().TryStrToDate("31.02.2004", d));
  EXPECT_FALSE(Fixed().TryStrToDate("5.3", d));
  EXPECT_FALSE(Fixed().TryStrToDate("abc", d));

  EXPECT_TRUE(Fixed().TryStrToTime("07:30", t));
  EXPECT_EQ(t, (7 * 60 + 30) * 60000);
  EXPECT_TRUE(Fixed().TryStrToTime("7:30:15 PM", t));
  EXPECT_EQ(t, ((19 * 60 + 30) * 60 + 15) * 1000);
  EXPECT_FALSE(Fixed().TryStrToTime("25:00", t));
  EXPECT_FALSE(Fixed().TryStrToTime("7", t));

  TTimeStamp ts;
  EXPECT_TRUE(Fixed().TryStrToDateTime("11.12.2026 10:30:00", ts));
  EXPECT_EQ(ts.date, Day(2026, 12, 11));
  EXPECT_EQ(ts.time, 37800000);
  EXPECT_TRUE(Fixed().TryStrToDateTime("11.12.2026", ts));
  EXPECT_EQ(ts.time, 0);
  EXPECT_EQ(Fixed().DateTimeToStr(TTimeStamp{Day(2026, 12, 11), 37800000}),
            "11.12.2026 10:30:00");
  EXPECT_EQ(Fixed().DateTimeToStr(TTimeStamp{Day(2026, 12, 11), 0}), "11.12.2026");
  EXPECT_THROW(Fixed().StrToDate("nope"), EConvertError);
}

TEST(Locale, FormatsWithNamesAndTwelveHourClock) {
  const TTimeStamp ts{Day(2026, 12, 11), (15 * 60 + 4) * 60000};
  EXPECT_EQ(Fixed().FormatDateTime("dddd, d mmmm yyyy", ts), "Friday, 11 December 2026");
  EXPECT_EQ(Fixed().FormatDateTime("ddd d mmm yy", ts), "Fri 11 Dec 26");
  EXPECT_EQ(Fixed().FormatDateTime("h:nn ampm", ts), "3:04 PM");
  EXPECT_EQ(Fixed().FormatDateTime("hh:nn:ss.zzz", ts), "15:04:00.000");
  EXPECT_EQ(Fixed().FormatDateTime("'at' hh", ts), "at 15");
}

TEST(Locale, NumbersUseTheLocaleSeparatorAndShortestText) {
  EXPECT_EQ(Fixed().FloatToStr(1.5), "1.5");
  EXPECT_EQ(Fixed().FloatToStr(1e20), "1E20");
  EXPECT_EQ(Fixed().FloatToStr(1e-5), "1E-5");
  EXPECT_EQ(Fixed().FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(Fixed().FloatToStr(-3), "-3");

  TVellLocaleSettings s;
  s.decimalSeparator = ',';
  const TVellLocale comma(s);
  EXPECT_EQ(comma.FloatToStr(2.25), "2,25");
  double v = 0;
  EXPECT_TRUE(comma.TryStrToFloat(" 2,25 ", v));
  EXPECT_DOUBLE_EQ(v, 2.25);
  EXPECT_FALSE(comma.TryStrToFloat("2.25", v));
  EXPECT_TRUE(comma.TryStrToFloat("-1,5E3", v));
  EXPECT_DOUBLE_EQ(v, -1500);
  for (const char* bad : {"", "e5", "1e", "1,2,3", "inf", "nan", "0x10", "1 2"})
    EXPECT_FALSE(comma.TryStrToFloat(bad, v)) << bad;
}

TEST(Locale, IntegersAcceptBlanksAndASignOnly) {
  int64_t v = 0;
  EXPECT_TRUE(TryStrToInt64(" -42 ", v));
  EXPECT_EQ(v, -42);
  EXPECT_TRUE(TryStrToInt64("+7", v));
  EXPECT_EQ(v, 7);
  for (const char* bad : {"", "+", "+-5", "1.5", "12a", "99999999999999999999"})
    EXPECT_FALSE(TryStrToInt64(bad, v)) << bad;
}

TEST(Locale, LinguisticCollationIsAStrictTotalOrder) {
  const auto& table = Fixed().CollationTable();
  EXPECT_TRUE(Fixed().CollationIsStrict());
  std::vector<bool> seen(256);
  for (int c = 0; c < 256; ++c) {
    EXPECT_FALSE(seen[table[c]]) << c;
    seen[table[c]] = true;
  }
  // a < A < b < B, digits before letters, punctuation before digits.
  EXPECT_LT(Fixed().CompareStr("a", "A"), 0);
  EXPECT_LT(Fixed().CompareStr("A", "b"), 0);
  EXPECT_LT(Fixed().CompareStr("9", "a"), 0);
  EXPECT_LT(Fixed().CompareStr("-", "0"), 0);
  EXPECT_LT(Fixed().CompareStr("ab", "abc"), 0);
  EXPECT_EQ(Fixed().CompareStr("abc", "abc"), 0);
  // UTF-8 text after ASCII, in code point order.
  EXPECT_LT(Fixed().CompareStr("z", "\xC3\xA9"), 0);
}

TEST(Locale, CaseInsensitiveAndPrefixComparisons) {
  EXPECT_EQ(Fixed().CompareText("Quorvel", "QUORVEL"), 0);
  EXPECT_LT(Fixed().CompareText("apple", "Banana"), 0);
  EXPECT_EQ(Fixed().CompareText("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"), 0);  // été / ÉTÉ
  EXPECT_EQ(Fixed().ComparePrefix("Abcdef", "Abc", false), 0);
  EXPECT_NE(Fixed().ComparePrefix("Abcdef", "abc", false), 0);
  EXPECT_EQ(Fixed().ComparePrefix("Abcdef", "abc", true), 0);
  EXPECT_LT(Fixed().ComparePrefix("Ab", "Abc", false), 0);
}

TEST(Locale, CaseMappingCoversUtf8) {
  EXPECT_EQ(Fixed().Upper("caf\xC3\xA9 \xD0\xB4"), "CAF\xC3\x89 \xD0\x94");  // café д
  EXPECT_EQ(Fixed().Lower("CAF\xC3\x89"), "caf\xC3\xA9");
  EXPECT_EQ(Fixed().Upper("a\xFF"), "A\xFF");  // stray bytes stay
}

TEST(Locale, ByteCollationAndSystemCollation) {
  TVellLocaleSettings s;
  s.collation = TVellLocaleSettings::Collation::Bytes;
  const TVellLocale bytes(s);
  EXPECT_LT(bytes.CompareStr("B", "a"), 0);
  s.collation = TVellLocaleSettings::Collation::System;
  s.systemLocaleName = "C";
  const TVellLocale c(s);
  EXPECT_TRUE(c.CollationIsStrict());
  EXPECT_LT(c.CompareStr("B", "a"), 0);
}

}  // namespace
}  // namespace kestro
