// The user's locale as the engine sees it: date, time and number text,
// month and day names, case folding and collation.
//
// A locale is immutable once built. The engine reads the process-wide
// current locale (`TVellLocale::Current()`), which the program sets once at
// start-up from the system (`FromSystem`) and tests set to `Fixed()` so that
// results never depend on the machine. Changing it while the engine runs is
// not thread-safe.
//
// Date and time format strings use these elements (case-insensitive):
//   d dd ddd dddd   day / day, two digits / short / long day name
//   m mm mmm mmmm   month / two digits / short / long month name
//   yy yyyy         year, two / four digits
//   h hh n nn s ss  hour, minute, second (one or two digits)
//   z zzz           milliseconds
//   ampm            the morning / afternoon designator (12-hour clock)
// Text in single or double quotes, and every other character, is literal.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/common/datetime.h"

namespace kestro {

struct TVellLocaleSettings {
  std::string name = "fixed";
  // The short date format always carries a four-digit year so that a date
  // written as text reads back as the same date.
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string longDateFormat = "dddd, d mmmm yyyy";
  std::string shortTimeFormat = "hh:nn";
  std::string longTimeFormat = "hh:nn:ss";
  char decimalSeparator = '.';
  std::array<std::string, 12> longMonthNames{"January", "February", "March",     "April",
                                             "May",     "June",     "July",      "August",
                                             "September", "October", "November", "December"};
  std::array<std::string, 12> shortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Sunday first.
  std::array<std::string, 7> longDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
  std::array<std::string, 7> shortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::string amDesignator = "AM";
  std::string pmDesignator = "PM";
  // Where the collation table comes from: a fixed linguistic order of ASCII
  // (a A b B ..., digits before letters, punctuation first), plain byte
  // order, or the C library's collation of the named locale.
  enum class Collation { Linguistic, Bytes, System };
  Collation collation = Collation::Linguistic;
  std::string systemLocaleName;  // for Collation::System
};

class TVellLocale {
 public:
  explicit TVellLocale(TVellLocaleSettings settings);
  ~TVellLocale();
  TVellLocale(const TVellLocale&) = delete;
  TVellLocale& operator=(const TVellLocale&) = delete;

  static const TVellLocale& Current();
  static void SetCurrent(std::shared_ptr<const TVellLocale> locale);
  // English names, "dd.mm.yyyy", "hh:nn:ss", '.' and the linguistic table.
  static std::shared_ptr<const TVellLocale> Fixed();
  // Built from the environment's locale (LC_ALL / LC_TIME / LC_NUMERIC /
  // LC_COLLATE); falls back to Fixed() values where the system says nothing.
  static std::shared_ptr<const TVellLocale> FromSystem();

  const TVellLocaleSettings& Settings() const { return s_; }
  char DecimalSeparator() const { return s_.decimalSeparator; }

  // Case folding: ASCII always, other UTF-8 characters by Unicode's simple
  // case mapping; bytes that are not UTF-8 stay as they are.
  std::string Upper(std::string_view text) const;
  std::string Lower(std::string_view text) const;
  std::u16string Upper(std::u16string_view text) const;

  // Collation. `CompareStr` is case-sensitive, `CompareText` ignores case.
  // The prefix variants compare only as many characters as `b` has.
  int CompareStr(std::string_view a, std::string_view b) const;
  int CompareText(std::string_view a, std::string_view b) const;
  int ComparePrefix(std::string_view a, std::string_view b, bool ignoreCase) const;
  int CompareWide(std::u16string_view a, std::u16string_view b, bool ignoreCase) const;
  bool SameChar(char a, char b) const { return a == b; }

  // Each byte's rank among all bytes; `CollationIsStrict` when no two bytes
  // share a rank, so that strings compare byte by byte through the table.
  const std::array<uint8_t, 256>& CollationTable() const { return rank_; }
  bool CollationIsStrict() const { return strict_; }

  // Formatting with a format string of the elements above.
  std::string FormatDateTime(std::string_view format, const TTimeStamp& ts) const;
  std::string DateToStr(int32_t dayNumber) const;
  std::string TimeToStr(int32_t msecs) const;
  // Date, then the long time when the time is not midnight.
  std::string DateTimeToStr(const TTimeStamp& ts) const;
  bool TryStrToDate(std::string_view text, int32_t& dayNumber) const;
  bool TryStrToTime(std::string_view text, int32_t& msecs) const;
  bool TryStrToDateTime(std::string_view text, TTimeStamp& ts) const;
  // As the Try forms, raising EConvertError with the platform's texts.
  int32_t StrToDate(std::string_view text) const;
  int32_t StrToTime(std::string_view text) const;
  TTimeStamp StrToDateTime(std::string_view text) const;

  // Numbers: 15 significant digits, the locale's decimal separator,
  // exponents as "1E20" / "1E-5".
  std::string FloatToStr(double value) const;
  bool TryStrToFloat(std::string_view text, double& value) const;
  double StrToFloat(std::string_view text) const;

 private:
  int CompareRanked(std::string_view a, std::string_view b) const;
  bool TryParseDateAt(std::string_view text, size_t& pos, int32_t& dayNumber) const;
  bool TryParseTimeAt(std::string_view text, size_t& pos, int32_t& msecs) const;

  TVellLocaleSettings s_;
  std::array<uint8_t, 256> rank_{};
  bool strict_ = true;
  char dateOrder_[3] = {'d', 'm', 'y'};
  void* collateLocale_ = nullptr;  // locale_t for Collation::System
};

// Formats numbers independently of any locale ('.' separator): the form the
// SQL text and the lexer use.
std::string FloatToStrInvariant(double value);
bool TryStrToFloatInvariant(std::string_view text, double& value);
// Decimal integers with optional blanks around and a sign; false on
// overflow of the given range or on stray characters.
bool TryStrToInt64(std::string_view text, int64_t& value);

}  // namespace kestro
