// TDateFormater: compiles date format strings such as 'DD.MM.YYYY HH24:NN'
// for the SQL functions TOSTRING and TODATE, and formats and reads dates
// with them. Compiled once per SQL text and reused for every row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/datetime.h"

namespace kestro {

class TVellLocale;

enum TDateFormatType : uint8_t {
  dfYYYY, dfYY, dfYEAR, dfQ, dfMONTH, dfMON, dfMM, dfM, dfRM, dfDDD, dfDD, dfDAY, dfDY, dfDW,
  dfD, dfHH12, dfHH24, dfHH, dfH12, dfH24, dfH, dfNN, dfN, dfSS, dfS, dfAMPM, dfLiteral,
};

struct TDateFormatToken {
  uint8_t type;      // TDateFormatType, 0..26
  std::string text;  // the element's source text, or the literal text
};

class TDateFormater {
 public:
  explicit TDateFormater(std::string_view format);

  std::string FormatDate(const TTimeStamp& value) const;
  std::string FormatDate(const TTimeStamp& value, const TVellLocale& locale) const;
  // Reads text in this format into a numeric date-time (30 December 1899 =
  // 0). Raises VTblException 2146 on a bad AM/PM marker and EConvertError
  // on digits that are not a number or parts out of range.
  double ParseDate(std::string_view text) const;
  // The longest text FormatDate can produce.
  int MaxLength() const;
  int MaxLength(const TVellLocale& locale) const;

  const std::vector<TDateFormatToken>& Elements() const { return elements_; }

 private:
  std::vector<TDateFormatToken> elements_;
};

}  // namespace kestro
