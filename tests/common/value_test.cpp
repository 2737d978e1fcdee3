#include "engine/common/value.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

int32_t Day(int y, int m, int d) {
  int32_t n = 0;
  TryEncodeDate(y, m, d, n);
  return n;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const VTblException& e) {
    return e.NativeError();
  }
  return -1;
}

TEST(Value, TypeNames) {
  EXPECT_STREQ(ValueTypeName(ftString), "String");
  EXPECT_STREQ(ValueTypeName(ftLargeInt), "LargeInt");
  EXPECT_STREQ(ValueTypeName(ftMemo), "unknown");
  EXPECT_EQ(FieldTypeOfSqlName("boolean"), ftBoolean);
  EXPECT_EQ(FieldTypeOfSqlName("VarChar2"), ftString);
  EXPECT_EQ(FieldTypeOfSqlName("autoinc"), ftAutoInc);
  EXPECT_EQ(FieldTypeOfSqlName("text"), 0);
}

TEST(Value, BufferLayoutsAreByteExact) {
  const struct {
    TVTblValue value;
    const char* hex;
  } cases[] = {
      {TVTblValue::String("Ab"), "41 62 00"},
      {TVTblValue::Wide(u"A"), "41 00 00 00"},
      {TVTblValue::Int(ftSmallInt, -2), "FE FF"},
      {TVTblValue::Int(ftWord, 65535), "FF FF"},
      {TVTblValue::Integer(258), "02 01 00 00"},
      {TVTblValue::Int(ftAutoInc, 1), "01 00 00 00"},
      {TVTblValue::Boolean(true), "01"},
      {TVTblValue::Int(ftLargeInt, -1), "FF FF FF FF FF FF FF FF"},
      {TVTblValue::Float(1.0), "00 00 00 00 00 00 F0 3F"},
      {TVTblValue::Float(2.5, ftCurrency), "00 00 00 00 00 00 04 40"},
      {TVTblValue::Date(1), "01 00 00 00"},  // 1 January of year 1
      {TVTblValue::Time(1000), "E8 03 00 00"},
      // Day 1 at 00:00:00.001: 86 400 001 as a double.
      {TVTblValue::DateTime(TTimeStamp{1, 1}), "00 00 00 04 70 99 94 41"},
  };
  for (const auto& c : cases) {
    const std::string bytes = c.value.ToBuffer();
    EXPECT_EQ(Hex(bytes), c.hex) << ValueTypeName(c.value.type);
    EXPECT_EQ(bytes.size(), c.value.DataSize());
    const TVTblValue back = TVTblValue::FromBuffer(c.value.type, bytes.data(), bytes.size());
    EXPECT_EQ(back.ToBuffer(), bytes);
  }
  EXPECT_EQ(TVTblValue::Null(ftString).DataSize(), 0u);
}

TEST(Value, CommonTypes) {
  const struct {
    uint8_t left, right, common;
  } cases[] = {
      {ftString, ftInteger, ftString},      {ftInteger, ftString, ftString},
      {ftString, ftWideString, ftWideString}, {ftWideString, ftDate, ftWideString},
      {ftSmallInt, ftSmallInt, ftSmallInt}, {ftSmallInt, ftBoolean, ftSmallInt},
      {ftBoolean, ftWord, ftWord},          {ftSmallInt, ftWord, ftInteger},
      {ftAutoInc, ftAutoInc, ftInteger},    {ftInteger, ftBoolean, ftInteger},
      {ftLargeInt, ftInteger, ftLargeInt},  {ftBoolean, ftLargeInt, ftLargeInt},
      {ftFloat, ftInteger, ftFloat},        {ftLargeInt, ftFloat, ftFloat},
      {ftCurrency, ftFloat, ftCurrency},    {ftCurrency, ftBoolean, ftCurrency},
      {ftBoolean, ftCurrency, 0},           {ftDate, ftDate, ftDateTime},
      {ftTime, ftInteger, ftDateTime},      {ftFloat, ftDateTime, ftDateTime},
      {ftCurrency, ftDate, 0},              {ftDate, ftCurrency, 0},
      {ftBoolean, ftBoolean, ftBoolean},    {ftBoolean, ftDate, 0},
      {ftDateTime, ftBoolean, ftDateTime},  {ftBoolean, ftFloat, ftFloat},
      {ftMemo, ftMemo, 0},                  {ftInteger, ftBlob, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CommonType(c.left, c.right), c.common)
        << ValueTypeName(c.left) << " with " << ValueTypeName(c.right);
}

TEST(Value, ConversionsFollowTheTypeRules) {
  auto conv = [](TVTblValue v, uint8_t to) {
    ConvertValue(v, to);
    return v;
  };
  EXPECT_EQ(conv(TVTblValue::String(" 42 "), ftInteger).i, 42);
  EXPECT_EQ(conv(TVTblValue::String("70000"), ftSmallInt).i, int16_t(70000));  // low 16 bits
  EXPECT_EQ(conv(TVTblValue::String("TRUE"), ftBoolean).i, 1);
  EXPECT_EQ(conv(TVTblValue::String("yes"), ftBoolean).i, 0);
  EXPECT_DOUBLE_EQ(conv(TVTblValue::String("2.5"), ftFloat).f, 2.5);
  EXPECT_EQ(conv(TVTblValue::String("05.03.2004"), ftDate).i, Day(2004, 3, 5));
  EXPECT_EQ(conv(TVTblValue::String("11.12.2026 10:30:00"), ftDateTime).AsTimeStamp().time,
            37800000);
  EXPECT_EQ(conv(TVTblValue::Integer(-5), ftString).s, "-5");
  EXPECT_EQ(conv(TVTblValue::Int(ftLargeInt, 0x1'0000'0005LL), ftInteger).i, 5);
  EXPECT_EQ(conv(TVTblValue::Int(ftWord, 65535), ftInteger).i, 65535);
  EXPECT_EQ(conv(TVTblValue::Integer(2), ftBoolean).i, 1);
  EXPECT_EQ(conv(TVTblValue::Integer(1), ftDate).i, Day(1899, 12, 31));
  EXPECT_EQ(conv(TVTblValue::Boolean(true), ftString).s, "true");
  EXPECT_EQ(conv(TVTblValue::Boolean(true), ftFloat).f, 1.0);
  EXPECT_EQ(conv(TVTblValue::Float(2.5), ftInteger).i, 2);  // ties to even
  EXPECT_EQ(conv(TVTblValue::Float(3.5), ftInteger).i, 4);
  EXPECT_EQ(conv(TVTblValue::Float(1.5), ftString).s, "1.5");
  EXPECT_EQ(conv(TVTblValue::Float(7.75, ftCurrency), ftFloat).f, 8.0);  // whole number
  EXPECT_EQ(conv(TVTblValue::Date(Day(2004, 3, 5)), ftString).s, "05.03.2004");
  EXPECT_EQ(conv(TVTblValue::Date(Day(2004, 3, 5)), ftInteger).i, 38051);
  EXPECT_EQ(conv(TVTblValue::Time(43200000), ftFloat).f, 0.5);
  EXPECT_EQ(conv(TVTblValue::Time(43200000), ftInteger).i, 0);
  EXPECT_EQ(conv(TVTblValue::Time(43200000), ftString).s, "12:00:00");
  EXPECT_EQ(conv(TVTblValue::DateTime(TTimeStamp{Day(2004, 3, 5), 3600000}), ftTime).i, 3600000);
  EXPECT_EQ(conv(TVTblValue::DateTime(TTimeStamp{Day(2004, 3, 5), 3600000}), ftDate).i,
            Day(2004, 3, 5));
  EXPECT_EQ(conv(TVTblValue::String("x"), ftWideString).w, u"x");
  // A NULL only takes the new type.
  const TVTblValue n = conv(TVTblValue::Null(ftString), ftMemo);
  EXPECT_TRUE(n.isNull);
  EXPECT_EQ(n.type, ftMemo);
}

TEST(Value, ConversionFailuresAre2093AndMissingRules2092) {
  auto conv = [](TVTblValue v, uint8_t to) { return CodeOf([&] { ConvertValue(v, to); }); };
  EXPECT_EQ(conv(TVTblValue::String("abc"), ftInteger), 2093);
  EXPECT_EQ(conv(TVTblValue::String("99999999999"), ftInteger), 2093);
  EXPECT_EQ(conv(TVTblValue::String("1,5"), ftFloat), 2093);
  EXPECT_EQ(conv(TVTblValue::String("31.02.2004"), ftDate), 2093);
  EXPECT_EQ(conv(TVTblValue::Boolean(true), ftCurrency), 2093);
  EXPECT_EQ(conv(TVTblValue::Boolean(true), ftDate), 2093);
  EXPECT_EQ(conv(TVTblValue::Float(1.5, ftCurrency), ftDate), 2093);
  EXPECT_EQ(conv(TVTblValue::Float(1e300), ftDate), 2093);
  EXPECT_EQ(conv(TVTblValue::Float(1e300), ftInteger), 2093);
  EXPECT_EQ(conv(TVTblValue::Integer(1), ftMemo), 2092);
  EXPECT_EQ(conv(TVTblValue::Integer(1), ftBCD), 2092);
  try {
    TVTblValue v = TVTblValue::String("abc");
    ConvertValue(v, ftInteger);
  } catch (const VTblException& e) {
    EXPECT_STREQ(e.what(), "Can't convert data type from 'String' to 'Integer' - Native error: 02093");
  }
}

TEST(Value, ComparisonOutcomes) {
  using R = TVTblCompareResult;
  const auto I = TVTblValue::Integer;
  const auto S = TVTblValue::String;
  EXPECT_EQ(CompareValues(TVTblValue::Null(), TVTblValue::Null()), R::BothNull);
  EXPECT_EQ(CompareValues(TVTblValue::Null(ftInteger), I(1)), R::LeftNull);
  EXPECT_EQ(CompareValues(I(1), TVTblValue::Null(ftString)), R::RightNull);
  // NULL outcomes come before any type check.
  EXPECT_EQ(CompareValues(TVTblValue::Boolean(true), TVTblValue::Null(ftCurrency)), R::RightNull);
  EXPECT_EQ(CompareValues(I(2), I(10)), R::Less);
  EXPECT_EQ(CompareValues(I(2), TVTblValue::Float(2.0)), R::Equal);
  EXPECT_EQ(CompareValues(I(10), S("9")), R::Less);  // compared as strings
  EXPECT_EQ(CompareValues(TVTblValue::Boolean(false), TVTblValue::Boolean(true)), R::Less);
  EXPECT_EQ(CompareValues(TVTblValue::Date(Day(2004, 3, 5)),
                          TVTblValue::DateTime(TTimeStamp{Day(2004, 3, 5), 0})),
            R::Equal);
  EXPECT_EQ(CompareValues(TVTblValue::Date(Day(2004, 3, 5)),
                          TVTblValue::DateTime(TTimeStamp{Day(2004, 3, 5), 1})),
            R::Less);
  EXPECT_EQ(CompareValues(S("abc"), S("ABC")), R::Less);
  EXPECT_EQ(CompareValues(S("abc"), S("ABC"), {.ignoreCase = true}), R::Equal);
  EXPECT_EQ(CompareValues(S("Abcdef"), S("Abc"), {.partial = true}), R::Equal);
  EXPECT_EQ(CompareValues(S("Abcdef"), S("abc"), {.ignoreCase = true, .partial = true}), R::Equal);
  EXPECT_EQ(CompareValues(S("Ab"), S("Abc"), {.partial = true}), R::Less);
  EXPECT_EQ(CompareValues(TVTblValue::Wide(u"b"), S("a")), R::Greater);

  EXPECT_EQ(CodeOf([&] { CompareValues(TVTblValue::Boolean(true), TVTblValue::Float(1, ftCurrency)); }), 25);
  EXPECT_EQ(CodeOf([&] { CompareValues(TVTblValue::Date(1), TVTblValue::Boolean(true)); }), 2093);
  TVTblValue memo = S("x");
  memo.type = ftMemo;
  EXPECT_EQ(CodeOf([&] { CompareValues(memo, memo); }), 25);
}

}  // namespace
}  // namespace kestro
