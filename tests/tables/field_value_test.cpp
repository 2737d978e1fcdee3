#include <gtest/gtest.h>

#include "engine/common/field_types.h"
#include "engine/common/vtbl_exception.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

TEST(FieldValues, EveryStoredTypeRoundTripsThroughARecord) {
  TempDir dir;
  bool ro = false;
  TAbstractPlainFileSystem* store =
      TPFSManager::Instance().GetPFSHandle(dir.Dir().string(), "", dfmNormal, false, ro, fsmDirectory);
  {
    TVellDataManager t("V", *store);
    t.CreateTable({{"Id", ftAutoInc, 0, false},     {"S", ftString, 5, false},
                   {"W", ftWideString, 6, false},  {"Small", ftSmallInt, 0, false},
                   {"Int", ftInteger, 0, false},   {"Wd", ftWord, 0, false},
                   {"B", ftBoolean, 0, false},     {"F", ftFloat, 0, false},
                   {"C", ftCurrency, 0, false},    {"D", ftDate, 0, false},
                   {"T", ftTime, 0, false},        {"DT", ftDateTime, 0, false},
                   {"L", ftLargeInt, 0, false},    {"M", ftMemo, 0, false}},
                  {});
    ASSERT_EQ(t.OpenTable("", false), otOk);
    std::vector<uint8_t> r = t.NewRecord();
    int32_t day = 0;
    TryEncodeDate(2026, 12, 11, day);
    const struct {
      int32_t field;
      TVTblValue in;
      const char* out;
    } cases[] = {
        {0, TVTblValue::String("abcdefg"), "abcde"},                  // cut to the width
        {0, TVTblValue::String("ab\xC3\xA9\xC3\xA9"), "ab\xC3\xA9"},  // never half a character
        {1, TVTblValue::String("wide text"), "wid"},                  // six bytes: three 16-bit characters
        {2, TVTblValue::Integer(-7), "-7"},
        {3, TVTblValue::String(" 42 "), "42"},
        {4, TVTblValue::Integer(65535), "65535"},
        {5, TVTblValue::Integer(3), "true"},
        {6, TVTblValue::Float(2.5), "2.5"},
        {7, TVTblValue::Float(9.75, ftCurrency), "9.75"},
        {8, TVTblValue::String("11.12.2026"), "11.12.2026"},
        {9, TVTblValue::String("10:30:00"), "10:30:00"},
        {10, TVTblValue::DateTime(TTimeStamp{day, 37800000}), "11.12.2026 10:30:00"},
        {11, TVTblValue::Int(ftLargeInt, 1LL << 40), "1099511627776"},
    };
    for (const auto& c : cases) {
      t.SetFieldValue(r.data(), c.field, c.in);
      EXPECT_FALSE(t.IsNull(r.data(), c.field));
      EXPECT_EQ(ValueToText(t.FieldValue(r.data(), c.field)), c.out) << t.Fields()[size_t(c.field)].name;
    }
    t.SetFieldValue(r.data(), 3, TVTblValue::Null());
    EXPECT_TRUE(t.IsNull(r.data(), 3));
    EXPECT_TRUE(t.FieldValue(r.data(), 3).isNull);
    EXPECT_EQ(ErrorOf([&] { t.SetFieldValue(r.data(), 3, TVTblValue::String("x")); }),
              "Can't convert data type from 'String' to 'Integer' - Native error: 02093");
    EXPECT_NE(ErrorOf([&] { t.SetFieldValue(r.data(), 12, TVTblValue::String("memo")); }), "<none>");
    t.SetFieldValue(r.data(), kRecordIdField, TVTblValue::Integer(12));
    EXPECT_EQ(t.RecordID(r.data()), 12);
  }
  TPFSManager::Instance().Clear();
}

}  // namespace
}  // namespace kestro::test
