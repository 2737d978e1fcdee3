#include "engine/common/value.h"

#include <cmath>
#include <cstring>

#include "engine/common/exception.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

bool IsSmallFamily(uint8_t t) {
  return t == ftSmallInt || t == ftWord || t == ftInteger || t == ftAutoInc || t == ftBoolean;
}
bool IsExactNumber(uint8_t t) {  // SmallInt, Integer, Word, AutoInc, LargeInt, Boolean
  return IsIntegerType(t) || t == ftBoolean;
}

int64_t NarrowInteger(uint8_t type, int64_t v) {
  switch (type) {
    case ftSmallInt: return static_cast<int16_t>(static_cast<uint64_t>(v));
    case ftWord: return static_cast<uint16_t>(static_cast<uint64_t>(v));
    case ftInteger:
    case ftAutoInc: return static_cast<int32_t>(static_cast<uint64_t>(v));
    case ftBoolean: return v != 0;
    default: return v;
  }
}

[[noreturn]] void FailConversion(uint8_t from, uint8_t to) {
  throw VTblException(2093, {}, {ValueTypeName(from), ValueTypeName(to)});
}

template <typename T>
void PutLE(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));  // the engine runs on little-endian hosts
  out.append(b, sizeof(T));
}

template <typename T>
T GetLE(const void* data, size_t size) {
  T v{};
  std::memcpy(&v, data, size < sizeof(T) ? size : sizeof(T));
  return v;
}

// Rounds to a whole number the way the platform does (ties to even); fails
// outside the 64-bit range.
bool RoundToInt64(double d, int64_t& out) {
  if (!std::isfinite(d)) return false;
  const double r = std::nearbyint(d);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  out = static_cast<int64_t>(r);
  return true;
}

}  // namespace

// ---- construction and buffers ---------------------------------------------

TVTblValue TVTblValue::Null(uint8_t type) {
  TVTblValue v;
  v.type = type;
  return v;
}

TVTblValue TVTblValue::String(std::string_view text) {
  TVTblValue v;
  v.type = ftString;
  v.isNull = false;
  v.s = text;
  return v;
}

TVTblValue TVTblValue::Wide(std::u16string_view text) {
  TVTblValue v;
  v.type = ftWideString;
  v.isNull = false;
  v.w = text;
  return v;
}

TVTblValue TVTblValue::Int(uint8_t type, int64_t value) {
  TVTblValue v;
  v.type = type;
  v.isNull = false;
  v.i = NarrowInteger(type, value);
  return v;
}

TVTblValue TVTblValue::Float(double value, uint8_t type) {
  TVTblValue v;
  v.type = type;
  v.isNull = false;
  v.f = value;
  return v;
}

TVTblValue TVTblValue::Date(int32_t dayNumber) {
  TVTblValue v;
  v.type = ftDate;
  v.isNull = false;
  v.i = dayNumber;
  return v;
}

TVTblValue TVTblValue::Time(int32_t msecs) {
  TVTblValue v;
  v.type = ftTime;
  v.isNull = false;
  v.i = msecs;
  return v;
}

TVTblValue TVTblValue::DateTime(const TTimeStamp& ts) {
  TVTblValue v;
  v.type = ftDateTime;
  v.isNull = false;
  v.f = TimeStampToMSecs(ts);
  return v;
}

size_t TVTblValue::DataSize() const {
  if (isNull) return 0;
  switch (type) {
    case ftString: return s.size() + 1;
    case ftWideString: return 2 * w.size() + 2;
    case ftSmallInt:
    case ftWord: return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime: return 4;
    case ftBoolean: return 1;
    case ftFloat:
    case ftCurrency:
    case ftLargeInt:
    case ftDateTime: return 8;
    default: return s.size();
  }
}

std::string TVTblValue::ToBuffer() const {
  std::string out;
  if (isNull) return out;
  switch (type) {
    case ftString:
      out = s;
      out += '\0';
      break;
    case ftWideString:
      for (char16_t c : w) PutLE<uint16_t>(out, c);
      PutLE<uint16_t>(out, 0);
      break;
    case ftSmallInt: PutLE<int16_t>(out, static_cast<int16_t>(i)); break;
    case ftWord: PutLE<uint16_t>(out, static_cast<uint16_t>(i)); break;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime: PutLE<int32_t>(out, static_cast<int32_t>(i)); break;
    case ftBoolean: out += char(i != 0); break;
    case ftLargeInt: PutLE<int64_t>(out, i); break;
    case ftFloat:
    case ftCurrency:
    case ftDateTime: PutLE<double>(out, f); break;
    default: out = s; break;
  }
  return out;
}

TVTblValue TVTblValue::FromBuffer(uint8_t type, const void* data, size_t size) {
  TVTblValue v;
  v.type = type;
  v.isNull = data == nullptr;
  if (v.isNull) return v;
  const auto* bytes = static_cast<const char*>(data);
  switch (type) {
    case ftString: v.s.assign(bytes, strnlen(bytes, size)); break;
    case ftWideString:
      for (size_t k = 0; k + 1 < size; k += 2) {
        const auto c = GetLE<uint16_t>(bytes + k, 2);
        if (c == 0) break;
        v.w += char16_t(c);
      }
      break;
    case ftSmallInt: v.i = GetLE<int16_t>(data, size); break;
    case ftWord: v.i = GetLE<uint16_t>(data, size); break;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime: v.i = GetLE<int32_t>(data, size); break;
    case ftBoolean: v.i = size > 0 && bytes[0] != 0; break;
    case ftLargeInt: v.i = GetLE<int64_t>(data, size); break;
    case ftFloat:
    case ftCurrency:
    case ftDateTime: v.f = GetLE<double>(data, size); break;
    default: v.s.assign(bytes, size); break;
  }
  return v;
}

TTimeStamp TVTblValue::AsTimeStamp() const {
  TTimeStamp ts;
  switch (type) {
    case ftDate: ts.date = static_cast<int32_t>(i); break;
    case ftTime: ts.time = static_cast<int32_t>(i); break;
    case ftDateTime:
      if (!TryMSecsToTimeStamp(f, ts)) FailConversion(ftDateTime, ftDateTime);
      break;
    default: break;
  }
  return ts;
}

double TVTblValue::AsDateTimeNumber() const { return TimeStampToDateTime(AsTimeStamp()); }

std::string TVTblValue::Text() const { return type == ftWideString ? Utf16ToUtf8(w) : s; }

// ---- common types ---------------------------------------------------------

uint8_t CommonType(uint8_t l, uint8_t r) {
  if (l == ftWideString || r == ftWideString) {
    const uint8_t other = l == ftWideString ? r : l;
    return IsValueType(other) ? ftWideString : 0;
  }
  if (l == ftString || r == ftString) return ftString;
  if (l == ftBoolean && r == ftBoolean) return ftBoolean;
  if (IsSmallFamily(l) && IsSmallFamily(r)) {
    const auto in = [&](uint8_t a) { return (l == a || l == ftBoolean) && (r == a || r == ftBoolean); };
    if (in(ftSmallInt)) return ftSmallInt;
    if (in(ftWord)) return ftWord;
    return ftInteger;
  }
  if ((l == ftLargeInt && IsExactNumber(r)) || (r == ftLargeInt && IsExactNumber(l)))
    return ftLargeInt;
  // Boolean on the left of Currency or a date type has no common type; on
  // the right it gives the other type (and its conversion then fails).
  if (l == ftBoolean && (r == ftCurrency || IsDateTimeType(r))) return 0;
  if (r == ftBoolean && (l == ftCurrency || IsDateTimeType(l))) return l;
  const auto numeric = [](uint8_t t) { return IsExactNumber(t) || t == ftFloat; };
  if (l == ftCurrency || r == ftCurrency) {
    const uint8_t other = l == ftCurrency ? r : l;
    return other == ftCurrency || numeric(other) ? ftCurrency : 0;
  }
  if ((l == ftFloat && numeric(r)) || (r == ftFloat && numeric(l))) return ftFloat;
  if (IsDateTimeType(l) || IsDateTimeType(r)) {
    const uint8_t other = IsDateTimeType(l) ? r : l;
    return IsDateTimeType(other) || (numeric(other) && other != ftBoolean) ? ftDateTime : 0;
  }
  return 0;
}

// ---- conversion -----------------------------------------------------------

TVTblValue ValueFromDateTimeNumber(double dateTime, uint8_t toType) {
  TTimeStamp ts;
  if (!TryDateTimeToTimeStamp(dateTime, ts)) throw EConvertError("Invalid date-time value");
  switch (toType) {
    case ftDate: return TVTblValue::Date(ts.date);
    case ftTime: return TVTblValue::Time(ts.time);
    default: return TVTblValue::DateTime(ts);
  }
}

namespace {

void SetInteger(TVTblValue& v, uint8_t to, int64_t n) {
  v.i = NarrowInteger(to, n);
  v.f = 0;
  v.s.clear();
  v.w.clear();
  v.type = to;
}

void SetFloat(TVTblValue& v, uint8_t to, double d) {
  v.f = d;
  v.i = 0;
  v.s.clear();
  v.w.clear();
  v.type = to;
}

void SetText(TVTblValue& v, uint8_t to, std::string text) {
  v.i = 0;
  v.f = 0;
  if (to == ftWideString) {
    v.w = Utf8ToUtf16(text);
    v.s.clear();
  } else {
    v.s = std::move(text);
    v.w.clear();
  }
  v.type = to;
}

void FromText(TVTblValue& v, uint8_t to, const TVellLocale& loc) {
  const std::string text = v.Text();
  if (IsStringType(to)) return SetText(v, to, text);
  if (IsIntegerType(to)) {
    int64_t n;
    if (!TryStrToInt64(text, n))
      throw EConvertError("'" + text + "' is not a valid integer value");
    if (to != ftLargeInt && (n < INT32_MIN || n > INT32_MAX))
      throw EConvertError("'" + text + "' is not a valid integer value");
    return SetInteger(v, to, n);
  }
  switch (to) {
    case ftBoolean: return SetInteger(v, to, SameTextAscii(text, "true") ? 1 : 0);
    case ftFloat:
    case ftCurrency: return SetFloat(v, to, loc.StrToFloat(text));
    case ftDate: v = TVTblValue::Date(loc.StrToDate(text)); return;
    case ftTime: v = TVTblValue::Time(loc.StrToTime(text)); return;
    case ftDateTime: v = TVTblValue::DateTime(loc.StrToDateTime(text)); return;
    default: throw VTblException(2092, {}, {ValueTypeName(v.type), ValueTypeName(to)});
  }
}

void FromNumber(TVTblValue& v, uint8_t to, double number, bool exact, const TVellLocale& loc) {
  // `exact`: the value is v.i (an integer type), else `number`.
  if (IsStringType(to))
    return SetText(v, to, exact ? std::to_string(v.i) : loc.FloatToStr(number));
  if (IsIntegerType(to)) {
    if (exact) return SetInteger(v, to, v.i);
    int64_t n;
    if (!RoundToInt64(number, n)) FailConversion(v.type, to);
    return SetInteger(v, to, n);
  }
  switch (to) {
    case ftBoolean: return SetInteger(v, to, exact ? v.i != 0 : number != 0);
    case ftFloat:
    case ftCurrency: return SetFloat(v, to, exact ? double(v.i) : number);
    case ftDate:
    case ftTime:
    case ftDateTime: v = ValueFromDateTimeNumber(exact ? double(v.i) : number, to); return;
    default: throw VTblException(2092, {}, {ValueTypeName(v.type), ValueTypeName(to)});
  }
}

void Convert(TVTblValue& v, uint8_t to, const TVellLocale& loc) {
  const uint8_t from = v.type;
  if (from == to) return;
  if (v.isNull) {
    v.type = to;
    return;
  }
  if (!IsValueType(to) || !IsValueType(from))
    throw VTblException(2092, {}, {ValueTypeName(from), ValueTypeName(to)});
  switch (from) {
    case ftString:
    case ftWideString: return FromText(v, to, loc);
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeInt: return FromNumber(v, to, 0, true, loc);
    case ftBoolean:
      if (IsStringType(to)) return SetText(v, to, v.i ? "true" : "false");
      if (to == ftCurrency || IsDateTimeType(to)) FailConversion(from, to);
      return FromNumber(v, to, 0, true, loc);
    case ftFloat:
      if (to == ftCurrency) return SetFloat(v, to, v.f);
      return FromNumber(v, to, v.f, false, loc);
    case ftCurrency: {
      if (IsDateTimeType(to)) FailConversion(from, to);
      if (to == ftFloat || IsIntegerType(to)) {
        double whole;
        int64_t n;
        if (!RoundToInt64(v.f, n)) FailConversion(from, to);
        whole = double(n);
        return to == ftFloat ? SetFloat(v, to, whole) : SetInteger(v, to, n);
      }
      return FromNumber(v, to, v.f, false, loc);
    }
    case ftDate:
    case ftDateTime:
    case ftTime: {
      const TTimeStamp ts = v.AsTimeStamp();
      if (IsDateTimeType(to)) {
        if (to == ftDate) v = TVTblValue::Date(from == ftTime ? kDateDelta : ts.date);
        else if (to == ftTime) v = TVTblValue::Time(ts.time);
        else v = TVTblValue::DateTime(from == ftTime ? TTimeStamp{kDateDelta, ts.time} : ts);
        return;
      }
      if (IsStringType(to)) {
        return SetText(v, to,
                       from == ftDate   ? loc.DateToStr(ts.date)
                       : from == ftTime ? loc.TimeToStr(ts.time)
                                        : loc.DateTimeToStr(ts));
      }
      if (from == ftTime && IsIntegerType(to)) return SetInteger(v, to, 0);
      const double number =
          from == ftTime ? double(ts.time) / kMSecsPerDay : TimeStampToDateTime(ts);
      return FromNumber(v, to, number, false, loc);
    }
    default: throw VTblException(2092, {}, {ValueTypeName(from), ValueTypeName(to)});
  }
}

}  // namespace

void ConvertValue(TVTblValue& value, uint8_t toType, const TVellLocale& locale) {
  const uint8_t from = value.type;
  try {
    Convert(value, toType, locale);
  } catch (const VTblException&) {
    throw;
  } catch (const Exception&) {
    FailConversion(from, toType);
  }
}

void ConvertValue(TVTblValue& value, uint8_t toType) {
  ConvertValue(value, toType, TVellLocale::Current());
}

// ---- comparison -----------------------------------------------------------

namespace {

template <typename T>
TVTblCompareResult Order(T a, T b) {
  return a == b ? TVTblCompareResult::Equal
                : (a < b ? TVTblCompareResult::Less : TVTblCompareResult::Greater);
}

TVTblCompareResult FromSign(int c) {
  return c == 0 ? TVTblCompareResult::Equal
                : (c < 0 ? TVTblCompareResult::Less : TVTblCompareResult::Greater);
}

}  // namespace

TVTblCompareResult CompareValues(const TVTblValue& left, const TVTblValue& right,
                                 TVTblCompareOptions options, const TVellLocale& loc) {
  if (left.isNull || right.isNull) {
    if (left.isNull && right.isNull) return TVTblCompareResult::BothNull;
    return left.isNull ? TVTblCompareResult::LeftNull : TVTblCompareResult::RightNull;
  }
  const uint8_t common = CommonType(left.type, right.type);
  if (common == 0) throw VTblException(25);
  // Avoid copies when both sides already have the common type.
  TVTblValue lc, rc;
  const TVTblValue* a = &left;
  const TVTblValue* b = &right;
  if (left.type != common) {
    lc = left;
    ConvertValue(lc, common, loc);
    a = &lc;
  }
  if (right.type != common) {
    rc = right;
    ConvertValue(rc, common, loc);
    b = &rc;
  }
  switch (common) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeInt:
    case ftBoolean: return Order(a->i, b->i);
    case ftFloat:
    case ftCurrency: return Order(a->f, b->f);
    case ftDate:
    case ftTime:
    case ftDateTime: {
      const TTimeStamp ta = a->AsTimeStamp(), tb = b->AsTimeStamp();
      if (ta.date != tb.date) return Order(ta.date, tb.date);
      return Order(ta.time, tb.time);
    }
    case ftString:
      if (options.partial) return FromSign(loc.ComparePrefix(a->s, b->s, options.ignoreCase));
      return FromSign(options.ignoreCase ? loc.CompareText(a->s, b->s) : loc.CompareStr(a->s, b->s));
    case ftWideString: {
      std::u16string_view wa = a->w;
      if (options.partial && wa.size() > b->w.size()) wa = wa.substr(0, b->w.size());
      return FromSign(loc.CompareWide(wa, b->w, options.ignoreCase));
    }
    default: throw VTblException(28);
  }
}

TVTblCompareResult CompareValues(const TVTblValue& left, const TVTblValue& right,
                                 TVTblCompareOptions options) {
  return CompareValues(left, right, options, TVellLocale::Current());
}

std::string ValueToText(const TVTblValue& value) {
  if (value.isNull) return {};
  if (value.type == ftString) return value.s;
  TVTblValue copy = value;
  ConvertValue(copy, ftString);
  return copy.s;
}

}  // namespace kestro
