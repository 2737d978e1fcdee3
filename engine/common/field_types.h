// Field and value type codes, shared by the table files and the SQL layer.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestro {

enum TVellFieldType : uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallInt = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftWideString = 24,
  ftLargeInt = 25,
};

// Name of a value type as messages show it ("String", "Integer", ...);
// "unknown" for codes outside the value types.
const char* ValueTypeName(uint8_t type);

// The type names of SQL text (CAST, CREATE TABLE, ALTER TABLE).
struct TVellSqlTypeName {
  uint8_t code;
  const char* sqlName;
  const char* displayName;
};
inline constexpr TVellSqlTypeName kSqlTypeNames[19] = {
    {ftAutoInc, "AUTOINC", "AutoInc"},       {ftInteger, "INTEGER", "Integer"},
    {ftString, "STRING", "String"},          {ftWideString, "WIDESTRING", "Wide String"},
    {ftDate, "DATE", "Date"},                {ftTime, "TIME", "Time"},
    {ftDateTime, "DATETIME", "DateTime"},    {ftCurrency, "CURRENCY", "Currency"},
    {ftBoolean, "LOGICAL", "Logical"},       {ftMemo, "MEMO", "Memo"},
    {ftFmtMemo, "FMTMEMO", "Formatted Memo"}, {ftGraphic, "GRAPHIC", "Graphic"},
    {ftBlob, "BLOB", "BLOB"},                {ftSmallInt, "SMALLINT", "Small Integer"},
    {ftWord, "WORD", "Word"},                {ftFloat, "FLOAT", "Float"},
    {ftBCD, "BCD", "BCD"},                   {ftBytes, "BYTES", "Bytes"},
    {ftLargeInt, "LARGEINT", "Large Integer"},
};
// Type code of an SQL type name (BOOLEAN is LOGICAL; CHAR, VARCHAR and
// VARCHAR2 are STRING); 0 when unknown.
uint8_t FieldTypeOfSqlName(std::string_view name);

inline bool IsIntegerType(uint8_t t) {
  return t == ftSmallInt || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftLargeInt;
}
inline bool IsDateTimeType(uint8_t t) { return t == ftDate || t == ftTime || t == ftDateTime; }
inline bool IsStringType(uint8_t t) { return t == ftString || t == ftWideString; }
// The types a value record can hold (the ones with a name).
bool IsValueType(uint8_t t);

}  // namespace kestro
