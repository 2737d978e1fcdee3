#include "engine/sql/date_formater.h"

#include <algorithm>
#include <array>

#include "engine/common/exception.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

constexpr std::array<const char*, 26> kElementTexts = {
    "YYYY", "YY", "YEAR", "Q", "MONTH", "MON", "MM", "M", "RM", "DDD", "DD", "DAY", "DY",
    "DW", "D", "HH12", "HH24", "HH", "H12", "H24", "H", "NN", "N", "SS", "S", "AMPM"};

// Longest element text, computed once from the table.
const size_t kLongestElement = [] {
  size_t n = 0;
  for (const char* t : kElementTexts) n = std::max(n, std::string_view(t).size());
  return n;
}();

int MatchElement(std::string_view upper) {
  for (size_t k = 0; k < kElementTexts.size(); ++k)
    if (upper == kElementTexts[k]) return static_cast<int>(k);
  return -1;
}

std::string Pad(int v, size_t width) {
  std::string s = std::to_string(v);
  return s.size() < width ? std::string(width - s.size(), '0') + s : s;
}

const char* Roman(int month) {
  static constexpr const char* kRoman[12] = {"I",   "II",   "III", "IV", "V",  "VI",
                                             "VII", "VIII", "IX",  "X",  "XI", "XII"};
  return kRoman[month - 1];
}

int ToInt(std::string_view digits) {
  int64_t v;
  if (!TryStrToInt64(digits, v) || v < INT32_MIN || v > INT32_MAX || digits.empty() ||
      digits.front() == ' ' || digits.back() == ' ')
    throw EConvertError("'" + std::string(digits) + "' is not a valid integer value");
  return static_cast<int>(v);
}

size_t LongestName(const auto& names) {
  size_t n = 0;
  for (const auto& s : names) n = std::max(n, s.size());
  return n;
}

}  // namespace

TDateFormater::TDateFormater(std::string_view f) {
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) elements_.push_back({dfLiteral, std::move(literal)});
    literal.clear();
  };
  for (size_t i = 0; i < f.size();) {
    const char c = f[i];
    if (c == '\'' || c == '"') {
      flush();
      const size_t end = f.find(c, i + 1);
      const size_t stop = end == std::string_view::npos ? f.size() : end;
      literal.assign(f.substr(i + 1, stop - i - 1));
      flush();
      i = end == std::string_view::npos ? f.size() : end + 1;
      continue;
    }
    int hit = -1;
    size_t len = std::min(kLongestElement, f.size() - i);
    for (; len >= 1; --len) {
      hit = MatchElement(AsciiUpperCase(f.substr(i, len)));
      if (hit >= 0) break;
    }
    if (hit < 0) {
      literal += c;
      ++i;
      continue;
    }
    flush();
    elements_.push_back({static_cast<uint8_t>(hit), std::string(f.substr(i, len))});
    i += len;
  }
  flush();
}

std::string TDateFormater::FormatDate(const TTimeStamp& ts) const {
  return FormatDate(ts, TVellLocale::Current());
}

std::string TDateFormater::FormatDate(const TTimeStamp& ts, const TVellLocale& loc) const {
  int year, month, day, hour, minute, second, msec;
  DecodeDate(ts.date, year, month, day);
  DecodeTime(ts.time, hour, minute, second, msec);
  const auto& s = loc.Settings();
  std::string out;
  for (const auto& e : elements_) {
    switch (e.type) {
      case dfYYYY:
      case dfYEAR: out += Pad(year, 4); break;
      case dfYY: out += Pad(year % 100, 2); break;
      case dfQ: out += std::to_string((month - 1) / 3 + 1); break;
      case dfMONTH: out += s.longMonthNames[month - 1]; break;
      case dfMON: out += s.shortMonthNames[month - 1]; break;
      case dfMM: out += Pad(month, 2); break;
      case dfM: out += std::to_string(month); break;
      case dfRM: out += Roman(month); break;
      case dfDDD: out += std::to_string(DayOfYear(ts.date)); break;
      case dfDD: out += Pad(day, 2); break;
      case dfD: out += std::to_string(day); break;
      case dfDAY: out += s.longDayNames[DayOfWeek(ts.date) - 1]; break;
      case dfDY: out += s.shortDayNames[DayOfWeek(ts.date) - 1]; break;
      case dfDW: out += std::to_string(DayOfWeek(ts.date)); break;
      case dfHH12:
      case dfHH: out += Pad(hour % 12, 2); break;
      case dfH12:
      case dfH: out += std::to_string(hour % 12); break;
      case dfHH24: out += Pad(hour, 2); break;
      case dfH24: out += std::to_string(hour); break;
      case dfNN: out += Pad(minute, 2); break;
      case dfN: out += std::to_string(minute); break;
      case dfSS: out += Pad(second, 2); break;
      case dfS: out += std::to_string(second); break;
      case dfAMPM: out += hour < 12 ? s.amDesignator : s.pmDesignator; break;
      case dfLiteral: out += e.text; break;
      default: throw Exception("Unknown DateFormatType");
    }
  }
  return out;
}

double TDateFormater::ParseDate(std::string_view text) const {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  size_t pos = 0;
  auto take = [&](size_t n) {
    std::string_view part = pos < text.size() ? text.substr(pos, n) : std::string_view{};
    pos += n;
    return part;
  };
  auto isDigitAt = [&](size_t p) { return p < text.size() && text[p] >= '0' && text[p] <= '9'; };
  auto oneOrTwo = [&] { return ToInt(take(isDigitAt(pos + 1) ? 2 : 1)); };
  for (const auto& e : elements_) {
    switch (e.type) {
      case dfYYYY:
      case dfYEAR: year = ToInt(take(4)); break;
      case dfYY: year = ToInt(take(2)); break;
      case dfQ: month = 3 * ToInt(take(1)) - 2; break;
      case dfMM: month = ToInt(take(2)); break;
      case dfDD: day = ToInt(take(2)); break;
      case dfHH24: hour = ToInt(take(2)); break;
      case dfNN: minute = ToInt(take(2)); break;
      case dfSS: second = ToInt(take(2)); break;
      case dfM: month = oneOrTwo(); break;
      case dfD: day = oneOrTwo(); break;
      case dfHH12:
      case dfHH: hour = oneOrTwo(); break;
      case dfN: minute = oneOrTwo(); break;
      case dfS: second = oneOrTwo(); break;
      case dfAMPM: {
        const std::string word = AsciiUpperCase(take(2));
        if (word == "PM")
          hour += 12;
        else if (word != "AM")
          throw VTblException(2146, {}, {word});
        break;
      }
      case dfLiteral: pos += e.text.size(); break;
      case dfMONTH:
      case dfMON:
      case dfRM:
      case dfDDD:
      case dfDAY:
      case dfDY:
      case dfDW:
      case dfH12:
      case dfH24:
      case dfH: pos += std::string_view(kElementTexts[e.type]).size(); break;
      default: throw Exception("Unknown DateFormatType");
    }
  }
  TTimeStamp ts;
  if (year != 0 && month != 0 && day != 0 && !TryEncodeDate(year, month, day, ts.date))
    throw EConvertError("Invalid argument to date encode");
  int32_t ms;
  if (!TryEncodeTime(hour, minute, second, 0, ms))
    throw EConvertError("Invalid argument to time encode");
  ts.time = ms;
  return TimeStampToDateTime(ts);
}

int TDateFormater::MaxLength() const { return MaxLength(TVellLocale::Current()); }

int TDateFormater::MaxLength(const TVellLocale& loc) const {
  // Locale names may be longer than the classic widths (and UTF-8 takes
  // more bytes); the result column must hold every text FormatDate makes.
  const auto& s = loc.Settings();
  size_t n = 0;
  for (const auto& e : elements_) {
    switch (e.type) {
      case dfYYYY:
      case dfYEAR: n += 4; break;
      case dfQ: n += 1; break;
      case dfMONTH: n += std::max<size_t>(9, LongestName(s.longMonthNames)); break;
      case dfMON: n += std::max<size_t>(3, LongestName(s.shortMonthNames)); break;
      case dfDDD: n += 3; break;
      case dfDAY: n += std::max<size_t>(12, LongestName(s.longDayNames)); break;
      case dfDY: n += std::max<size_t>(2, LongestName(s.shortDayNames)); break;
      case dfRM: n += 4; break;  // VIII
      case dfAMPM: n += std::max({size_t{2}, s.amDesignator.size(), s.pmDesignator.size()}); break;
      case dfLiteral: n += e.text.size(); break;
      default: n += 2; break;
    }
  }
  return static_cast<int>(n);
}

}  // namespace kestro
