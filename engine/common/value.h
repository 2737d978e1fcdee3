// The value record that flows through SQL evaluation, and its type rules:
// common types, conversions and comparison.
//
// Buffer layouts (`ToBuffer` / `FromBuffer`), as in the table files:
//   String       8-bit text + terminating zero      (size = length + 1)
//   WideString   UTF-16LE text + terminating zero   (size = 2 * length + 2)
//   SmallInt, Word          2 bytes little-endian
//   Integer, AutoInc        4 bytes
//   Boolean                 1 byte, 0 or 1
//   Float, Currency         8-byte IEEE double (Currency is not scaled)
//   LargeInt                8 bytes
//   Date                    4 bytes: day number, 1 January of year 1 = day 1
//   Time                    4 bytes: milliseconds since midnight
//   DateTime                8-byte double: day number * 86 400 000 + ms
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/common/datetime.h"
#include "engine/common/field_types.h"

namespace kestro {

class TVellLocale;

struct TVTblValue {
  uint8_t type = ftUnknown;  // 0: an untyped NULL
  bool isNull = true;
  int64_t i = 0;      // SmallInt, Integer, Word, AutoInc, LargeInt, Boolean, Date, Time
  double f = 0;       // Float, Currency, DateTime
  std::string s;      // String
  std::u16string w;   // WideString

  static TVTblValue Null(uint8_t type = ftUnknown);
  static TVTblValue String(std::string_view text);
  static TVTblValue Wide(std::u16string_view text);
  static TVTblValue Int(uint8_t type, int64_t value);  // integer types, Boolean
  static TVTblValue Integer(int32_t value) { return Int(ftInteger, value); }
  static TVTblValue Boolean(bool value) { return Int(ftBoolean, value ? 1 : 0); }
  static TVTblValue Float(double value, uint8_t type = ftFloat);
  static TVTblValue Date(int32_t dayNumber);
  static TVTblValue Time(int32_t msecs);
  static TVTblValue DateTime(const TTimeStamp& ts);

  // Size of the data buffer; 0 for NULL.
  size_t DataSize() const;
  std::string ToBuffer() const;
  static TVTblValue FromBuffer(uint8_t type, const void* data, size_t size);

  // Time stamp of a Date, Time or DateTime value.
  TTimeStamp AsTimeStamp() const;
  // The value as a numeric date-time (30 December 1899 = 0).
  double AsDateTimeNumber() const;
  // Text of a String or WideString value (UTF-8).
  std::string Text() const;
};

// Common type of two types, the left operand's type first; 0 when none.
uint8_t CommonType(uint8_t left, uint8_t right);

// Converts in place; raises VTblException 2093 when the conversion fails
// and 2092 when the pair has no rule. A NULL only takes the new type code.
void ConvertValue(TVTblValue& value, uint8_t toType);
void ConvertValue(TVTblValue& value, uint8_t toType, const TVellLocale& locale);
// Conversion to a numeric date-time value for a Date/Time/DateTime target.
TVTblValue ValueFromDateTimeNumber(double dateTime, uint8_t toType);

enum class TVTblCompareResult : uint8_t { Equal, Greater, Less, LeftNull, RightNull, BothNull };

struct TVTblCompareOptions {
  bool ignoreCase = false;
  // Compare only as many characters as the right operand has.
  bool partial = false;
};

// Compares after converting both sides to their common type: 25 when there
// is none, 28 when that type has no comparison rule.
TVTblCompareResult CompareValues(const TVTblValue& left, const TVTblValue& right,
                                 TVTblCompareOptions options = {});
TVTblCompareResult CompareValues(const TVTblValue& left, const TVTblValue& right,
                                 TVTblCompareOptions options, const TVellLocale& locale);

// Text of a value as the locale writes it ("" for NULL).
std::string ValueToText(const TVTblValue& value);

}  // namespace kestro
