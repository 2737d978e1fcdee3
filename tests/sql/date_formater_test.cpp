#include "engine/sql/date_formater.h"

#include <gtest/gtest.h>

#include "engine/common/exception.h"
#include "engine/common/locale.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

TTimeStamp At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  TTimeStamp ts;
  TryEncodeDate(y, mo, d, ts.date);
  TryEncodeTime(h, mi, s, 0, ts.time);
  return ts;
}

std::string Elements(const char* format) {
  std::string out;
  const TDateFormater formater(format);
  for (const auto& e : formater.Elements()) {
    if (!out.empty()) out += '|';
    out += std::to_string(e.type) + ":" + e.text;
  }
  return out;
}

TEST(DateFormater, CompilesLongestElementsFirst) {
  EXPECT_EQ(Elements("DD.MM.YYYY HH24:NN"), "10:DD|26:.|6:MM|26:.|0:YYYY|26: |16:HH24|26::|21:NN");
  EXPECT_EQ(Elements("month mon mm"), "4:month|26: |5:mon|26: |6:mm");
  EXPECT_EQ(Elements("DDD DAY DY D"), "9:DDD|26: |11:DAY|26: |12:DY|26: |14:D");
  EXPECT_EQ(Elements("'Date: 'DD"), "26:Date: |10:DD");
  EXPECT_EQ(Elements("Date: DD"), "14:D|26:ate: |10:DD");
  EXPECT_EQ(Elements("\"it's\" YY"), "26:it's|26: |1:YY");
  EXPECT_EQ(Elements("'open"), "26:open");
  EXPECT_EQ(Elements("HH12 H12 H24 H AMPM RM Q DW"),
            "15:HH12|26: |18:H12|26: |19:H24|26: |20:H|26: |25:AMPM|26: |8:RM|26: |3:Q|26: |13:DW");
}

TEST(DateFormater, FormatsEveryElement) {
  const TTimeStamp ts = At(2004, 3, 5, 15, 7, 9);  // a Friday
  const struct {
    const char* format;
    const char* text;
  } cases[] = {
      {"DD.MM.YYYY", "05.03.2004"},
      {"YEAR YY Q", "2004 04 1"},
      {"MONTH MON MM M RM", "March Mar 03 3 III"},
      {"DDD DD D DAY DY DW", "65 05 5 Friday Fri 6"},
      {"HH12 HH H12 H HH24 H24", "03 03 3 3 15 15"},
      {"NN N SS S", "07 7 09 9"},
      {"AMPM", "PM"},
      {"'Q'Q", "Q1"},
  };
  for (const auto& c : cases) EXPECT_EQ(TDateFormater(c.format).FormatDate(ts), c.text) << c.format;
  EXPECT_EQ(TDateFormater("HH12 AMPM").FormatDate(At(2004, 3, 5, 12)), "00 PM");
  EXPECT_EQ(TDateFormater("AMPM").FormatDate(At(2004, 3, 5, 11)), "AM");
}

TEST(DateFormater, ReadsDates) {
  auto parse = [](const char* format, const char* text) {
    TTimeStamp ts;
    EXPECT_TRUE(TryDateTimeToTimeStamp(TDateFormater(format).ParseDate(text), ts));
    return ts;
  };
  auto same = [](TTimeStamp a, TTimeStamp b) { return a.date == b.date && a.time == b.time; };
  EXPECT_TRUE(same(parse("DD.MM.YYYY", "05.03.2004"), At(2004, 3, 5)));
  EXPECT_TRUE(same(parse("HH24:NN", "07:30"), At(1899, 12, 30, 7, 30)));
  EXPECT_TRUE(same(parse("YYYY Q", "2004 3"), TTimeStamp{}));  // no day: the zero date
  EXPECT_TRUE(same(parse("YYYY Q D", "2004 3 1"), At(2004, 7, 1)));
  EXPECT_TRUE(same(parse("D.M.YY", "5.3.04"), At(4, 3, 5)));  // the year as written
  EXPECT_TRUE(same(parse("D.M.YYYY", "15.11.2004"), At(2004, 11, 15)));
  EXPECT_TRUE(same(parse("HH:NN AMPM", "07:30 pm"), At(1899, 12, 30, 19, 30)));
  EXPECT_TRUE(same(parse("DAY DD.MM.YYYY", "Fri 05.03.2004"), At(2004, 3, 5)));
  EXPECT_TRUE(same(parse("'x'DD.MM.YYYY", "y05.03.2004"), At(2004, 3, 5)));
}

TEST(DateFormater, ReadErrors) {
  try {
    TDateFormater("HH AMPM").ParseDate("07 XM");
    FAIL();
  } catch (const VTblException& e) {
    EXPECT_EQ(e.NativeError(), 2146);
    EXPECT_STREQ(e.what(), "AM/PM word expected, but 'XM' found - Native error: 02146");
  }
  EXPECT_THROW(TDateFormater("DD.MM.YYYY").ParseDate("ab.03.2004"), EConvertError);
  EXPECT_THROW(TDateFormater("DD.MM.YYYY").ParseDate("05.13.2004"), EConvertError);
  EXPECT_THROW(TDateFormater("HH24").ParseDate("25"), EConvertError);
  EXPECT_THROW(TDateFormater("DD.MM.YYYY").ParseDate("05"), EConvertError);
}

TEST(DateFormater, MaxLengthHoldsEveryFormattedText) {
  EXPECT_EQ(TDateFormater("DD.MM.YYYY").MaxLength(), 10);
  EXPECT_EQ(TDateFormater("YEAR Q MONTH MON DDD DAY").MaxLength(), 4 + 1 + 9 + 3 + 3 + 12 + 5);
  // Every element's text fits, whatever the day.
  const TDateFormater all("YYYY YY YEAR Q MONTH MON MM M RM DDD DD D DAY DY DW HH12 HH24 HH "
                          "H12 H24 H NN N SS S AMPM 'lit'");
  for (int day = 0; day < 400; ++day) {
    TTimeStamp ts = At(2004, 1, 1, day % 24, 59, 59);
    ts.date += day;
    EXPECT_LE(all.FormatDate(ts).size(), size_t(all.MaxLength()));
  }
}

}  // namespace
}  // namespace kestro
