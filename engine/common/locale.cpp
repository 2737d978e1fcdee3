#include "engine/common/locale.h"

#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

#include "engine/common/exception.h"
#include "engine/common/text.h"

namespace kestro {
namespace {

std::shared_ptr<const TVellLocale>& CurrentSlot() {
  static std::shared_ptr<const TVellLocale> current = TVellLocale::Fixed();
  return current;
}

// Unicode simple case mapping comes from the C library's C.UTF-8 locale,
// which does not depend on the user's environment.
locale_t Utf8CaseLocale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

template <typename Map>
std::string MapCase(std::string_view text, char (*ascii)(char), Map map) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      out += ascii(char(b));
      ++pos;
      continue;
    }
    const size_t start = pos;
    bool valid;
    const char32_t cp = Utf8Decode(text, pos, valid);
    if (!valid || Utf8CaseLocale() == nullptr) {
      out.append(text.substr(start, pos - start));
      continue;
    }
    Utf8Append(out, static_cast<char32_t>(map(static_cast<wint_t>(cp), Utf8CaseLocale())));
  }
  return out;
}

std::array<uint8_t, 256> LinguisticTable() {
  std::array<uint8_t, 256> order{};
  size_t n = 0;
  order[n++] = 0;
  for (int c = 1; c < 32; ++c) order[n++] = uint8_t(c);
  order[n++] = 127;
  for (int c = 32; c < 127; ++c)
    if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z'))
      order[n++] = uint8_t(c);
  for (int c = '0'; c <= '9'; ++c) order[n++] = uint8_t(c);
  for (int c = 0; c < 26; ++c) {
    order[n++] = uint8_t('a' + c);
    order[n++] = uint8_t('A' + c);
  }
  for (int c = 128; c < 256; ++c) order[n++] = uint8_t(c);
  std::array<uint8_t, 256> rank{};
  for (size_t i = 0; i < 256; ++i) rank[order[i]] = uint8_t(i);
  return rank;
}

// Ranks bytes 1..127 by the C library's collation; bytes >= 0x80 (parts of
// UTF-8 sequences) follow in byte order so that code point order is kept.
std::array<uint8_t, 256> SystemTable(locale_t loc, bool& strict) {
  std::vector<int> bytes(127);
  std::iota(bytes.begin(), bytes.end(), 1);
  auto cmp = [loc](int a, int b) {
    const char sa[2] = {char(a), 0}, sb[2] = {char(b), 0};
    return strcoll_l(sa, sb, loc);
  };
  std::stable_sort(bytes.begin(), bytes.end(), [&](int a, int b) { return cmp(a, b) < 0; });
  std::array<uint8_t, 256> rank{};
  strict = true;
  int r = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && cmp(bytes[i - 1], bytes[i]) == 0)
      strict = false;
    else
      ++r;
    rank[bytes[i]] = uint8_t(r);
  }
  for (int c = 128; c < 256; ++c) rank[c] = uint8_t(++r);
  return rank;
}

int Sign(int v) { return (v > 0) - (v < 0); }

bool IsAsciiOnly(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

size_t SkipBlanks(std::string_view t, size_t pos) {
  while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
  return pos;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads up to `maxDigits` digits; returns the count read.
size_t ReadNumber(std::string_view t, size_t& pos, int& value, size_t maxDigits) {
  size_t n = 0;
  value = 0;
  while (pos < t.size() && IsDigit(t[pos]) && n < maxDigits) {
    value = value * 10 + (t[pos] - '0');
    ++pos;
    ++n;
  }
  return n;
}

bool StartsWithText(std::string_view t, size_t pos, std::string_view word) {
  return !word.empty() && t.size() - pos >= word.size() &&
         SameTextAscii(t.substr(pos, word.size()), word);
}

std::string Pad2(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

// strftime-style format of the C library -> our format elements.
std::string FromStrftime(std::string_view f, std::string_view ampmFormat) {
  std::string out;
  std::string literal;
  auto flush = [&] {
    if (literal.empty()) return;
    bool letters = std::any_of(literal.begin(), literal.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    out += letters ? "\"" + literal + "\"" : literal;
    literal.clear();
  };
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%' || i + 1 == f.size()) {
      literal += f[i];
      continue;
    }
    char c = f[++i];
    while ((c == 'E' || c == 'O' || c == '-' || c == '_' || c == '0') && i + 1 < f.size())
      c = f[++i];
    std::string el;
    switch (c) {
      case 'd': el = "dd"; break;
      case 'e': el = "d"; break;
      case 'm': el = "mm"; break;
      case 'y': case 'Y': case 'C': el = "yyyy"; break;
      case 'b': case 'h': el = "mmm"; break;
      case 'B': el = "mmmm"; break;
      case 'a': el = "ddd"; break;
      case 'A': el = "dddd"; break;
      case 'H': case 'I': el = "hh"; break;
      case 'k': case 'l': el = "h"; break;
      case 'M': el = "nn"; break;
      case 'S': el = "ss"; break;
      case 'p': case 'P': el = "ampm"; break;
      case 'R': el = "hh:nn"; break;
      case 'T': el = "hh:nn:ss"; break;
      case 'D': el = "mm/dd/yyyy"; break;
      case 'F': el = "yyyy-mm-dd"; break;
      case 'r': el = FromStrftime(ampmFormat.empty() ? "%I:%M:%S %p" : ampmFormat, ""); break;
      case 'n': case 't': literal += ' '; continue;
      case '%': literal += '%'; continue;
      default: continue;
    }
    flush();
    out += el;
  }
  flush();
  return out;
}

}  // namespace

TVellLocale::TVellLocale(TVellLocaleSettings settings) : s_(std::move(settings)) {
  switch (s_.collation) {
    case TVellLocaleSettings::Collation::Linguistic:
      rank_ = LinguisticTable();
      break;
    case TVellLocaleSettings::Collation::Bytes:
      for (int c = 0; c < 256; ++c) rank_[c] = uint8_t(c);
      break;
    case TVellLocaleSettings::Collation::System: {
      locale_t loc = newlocale(LC_COLLATE_MASK, s_.systemLocaleName.c_str(),
                               static_cast<locale_t>(nullptr));
      if (loc == nullptr) {
        rank_ = LinguisticTable();
        break;
      }
      // Turkish casing rules make the C library's byte ranking unreliable;
      // such locales use the fixed table.
      if (s_.systemLocaleName.rfind("tr", 0) == 0) {
        rank_ = LinguisticTable();
        freelocale(loc);
        break;
      }
      rank_ = SystemTable(loc, strict_);
      if (strict_)
        freelocale(loc);
      else
        collateLocale_ = loc;
      break;
    }
  }
  // The order of day, month and year in the short date format decides how
  // dates written as text are read.
  int n = 0;
  for (char c : s_.shortDateFormat) {
    const char l = AsciiLower(c);
    if ((l == 'd' || l == 'm' || l == 'y') && n < 3 &&
        std::find(dateOrder_, dateOrder_ + n, l) == dateOrder_ + n)
      dateOrder_[n++] = l;
  }
  if (n < 3) {
    dateOrder_[0] = 'd';
    dateOrder_[1] = 'm';
    dateOrder_[2] = 'y';
  }
}

TVellLocale::~TVellLocale() {
  if (collateLocale_ != nullptr) freelocale(static_cast<locale_t>(collateLocale_));
}

const TVellLocale& TVellLocale::Current() { return *CurrentSlot(); }

void TVellLocale::SetCurrent(std::shared_ptr<const TVellLocale> locale) {
  CurrentSlot() = locale ? std::move(locale) : Fixed();
}

std::shared_ptr<const TVellLocale> TVellLocale::Fixed() {
  static const auto fixed = std::make_shared<const TVellLocale>(TVellLocaleSettings{});
  return fixed;
}

std::shared_ptr<const TVellLocale> TVellLocale::FromSystem() {
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == nullptr) loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (loc == nullptr) return Fixed();
  TVellLocaleSettings s;
  const char* name = setlocale(LC_COLLATE, nullptr);
  if (const char* env = getenv("LC_ALL"); env && *env)
    name = env;
  else if (const char* coll = getenv("LC_COLLATE"); coll && *coll)
    name = coll;
  else if (const char* lang = getenv("LANG"); lang && *lang)
    name = lang;
  s.name = name ? name : "C";
  s.systemLocaleName = s.name;
  s.collation = TVellLocaleSettings::Collation::System;
  const std::string ampm = nl_langinfo_l(T_FMT_AMPM, loc);
  std::string date = FromStrftime(nl_langinfo_l(D_FMT, loc), ampm);
  if (date.find("yyyy") == std::string::npos) date = "dd.mm.yyyy";
  s.shortDateFormat = date;
  std::string time = FromStrftime(nl_langinfo_l(T_FMT, loc), ampm);
  if (time.find('h') == std::string::npos) time = "hh:nn:ss";
  s.longTimeFormat = time;
  const size_t sec = time.find(":ss");
  s.shortTimeFormat = sec == std::string::npos ? time : time.substr(0, sec) + time.substr(sec + 3);
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  if (radix && radix[0] && !radix[1]) s.decimalSeparator = radix[0];
  for (int i = 0; i < 12; ++i) {
    if (const char* m = nl_langinfo_l(MON_1 + i, loc); m && *m) s.longMonthNames[i] = m;
    if (const char* m = nl_langinfo_l(ABMON_1 + i, loc); m && *m) s.shortMonthNames[i] = m;
  }
  for (int i = 0; i < 7; ++i) {
    if (const char* d = nl_langinfo_l(DAY_1 + i, loc); d && *d) s.longDayNames[i] = d;
    if (const char* d = nl_langinfo_l(ABDAY_1 + i, loc); d && *d) s.shortDayNames[i] = d;
  }
  if (const char* am = nl_langinfo_l(AM_STR, loc); am && *am) s.amDesignator = am;
  if (const char* pm = nl_langinfo_l(PM_STR, loc); pm && *pm) s.pmDesignator = pm;
  freelocale(loc);
  return std::make_shared<const TVellLocale>(std::move(s));
}

// ---- case -----------------------------------------------------------------

std::string TVellLocale::Upper(std::string_view text) const {
  return MapCase(text, AsciiUpper, [](wint_t c, locale_t l) { return towupper_l(c, l); });
}

std::string TVellLocale::Lower(std::string_view text) const {
  return MapCase(text, AsciiLower, [](wint_t c, locale_t l) { return towlower_l(c, l); });
}

std::u16string TVellLocale::Upper(std::u16string_view text) const {
  return Utf8ToUtf16(Upper(Utf16ToUtf8(text)));
}

// ---- collation ------------------------------------------------------------

int TVellLocale::CompareRanked(std::string_view a, std::string_view b) const {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ra = rank_[static_cast<unsigned char>(a[i])];
    const int rb = rank_[static_cast<unsigned char>(b[i])];
    if (ra != rb) return ra < rb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int TVellLocale::CompareStr(std::string_view a, std::string_view b) const {
  if (strict_ || collateLocale_ == nullptr) return CompareRanked(a, b);
  const std::string sa(a), sb(b);
  const int r = Sign(strcoll_l(sa.c_str(), sb.c_str(), static_cast<locale_t>(collateLocale_)));
  // Keep a total order: strings the locale calls equal are ordered by bytes.
  return r != 0 ? r : Sign(a.compare(b));
}

int TVellLocale::CompareText(std::string_view a, std::string_view b) const {
  if (IsAsciiOnly(a) && IsAsciiOnly(b)) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const int ra = rank_[static_cast<unsigned char>(AsciiUpper(a[i]))];
      const int rb = rank_[static_cast<unsigned char>(AsciiUpper(b[i]))];
      if (ra != rb) return ra < rb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  return CompareStr(Upper(a), Upper(b));
}

int TVellLocale::ComparePrefix(std::string_view a, std::string_view b, bool ignoreCase) const {
  if (ignoreCase) {
    const std::string ua = Upper(a), ub = Upper(b);
    return CompareStr(std::string_view(ua).substr(0, std::min(ua.size(), ub.size())), ub);
  }
  return CompareStr(a.substr(0, std::min(a.size(), b.size())), b);
}

int TVellLocale::CompareWide(std::u16string_view a, std::u16string_view b, bool ignoreCase) const {
  const std::string ua = Utf16ToUtf8(a), ub = Utf16ToUtf8(b);
  return ignoreCase ? CompareText(ua, ub) : CompareStr(ua, ub);
}

// ---- dates and times ------------------------------------------------------

std::string TVellLocale::FormatDateTime(std::string_view f, const TTimeStamp& ts) const {
  int year, month, day, hour, minute, second, msec;
  DecodeDate(ts.date, year, month, day);
  DecodeTime(ts.time, hour, minute, second, msec);
  const bool twelve = [&] {
    for (size_t i = 0; i + 4 <= f.size(); ++i)
      if (SameTextAscii(f.substr(i, 4), "ampm")) return true;
    return false;
  }();
  std::string out;
  for (size_t i = 0; i < f.size();) {
    const char c = f[i];
    if (c == '"' || c == '\'') {
      const size_t end = f.find(c, i + 1);
      out.append(f.substr(i + 1, (end == std::string_view::npos ? f.size() : end) - i - 1));
      i = end == std::string_view::npos ? f.size() : end + 1;
      continue;
    }
    if (StartsWithText(f, i, "ampm")) {
      out += hour < 12 ? s_.amDesignator : s_.pmDesignator;
      i += 4;
      continue;
    }
    const char l = AsciiLower(c);
    size_t run = 1;
    while (i + run < f.size() && AsciiLower(f[i + run]) == l) ++run;
    switch (l) {
      case 'd':
        if (run == 1) out += std::to_string(day);
        else if (run == 2) out += Pad2(day);
        else if (run == 3) out += s_.shortDayNames[DayOfWeek(ts.date) - 1];
        else out += s_.longDayNames[DayOfWeek(ts.date) - 1];
        break;
      case 'm':
        if (run == 1) out += std::to_string(month);
        else if (run == 2) out += Pad2(month);
        else if (run == 3) out += s_.shortMonthNames[month - 1];
        else out += s_.longMonthNames[month - 1];
        break;
      case 'y':
        if (run <= 2) {
          out += Pad2(year % 100);
        } else {
          std::string y = std::to_string(year);
          out += std::string(y.size() < 4 ? 4 - y.size() : 0, '0') + y;
        }
        break;
      case 'h': {
        const int h = twelve ? (hour % 12 == 0 ? 12 : hour % 12) : hour;
        out += run == 1 ? std::to_string(h) : Pad2(h);
        break;
      }
      case 'n': out += run == 1 ? std::to_string(minute) : Pad2(minute); break;
      case 's': out += run == 1 ? std::to_string(second) : Pad2(second); break;
      case 'z': {
        std::string z = std::to_string(msec);
        out += run >= 3 ? std::string(3 - z.size(), '0') + z : z;
        break;
      }
      default:
        out.append(f.substr(i, run));
        break;
    }
    i += run;
  }
  return out;
}

std::string TVellLocale::DateToStr(int32_t dayNumber) const {
  return FormatDateTime(s_.shortDateFormat, TTimeStamp{dayNumber, 0});
}

std::string TVellLocale::TimeToStr(int32_t msecs) const {
  return FormatDateTime(s_.longTimeFormat, TTimeStamp{kDateDelta, msecs});
}

std::string TVellLocale::DateTimeToStr(const TTimeStamp& ts) const {
  std::string out = DateToStr(ts.date);
  if (ts.time != 0) {
    out += ' ';
    out += TimeToStr(ts.time);
  }
  return out;
}

bool TVellLocale::TryParseDateAt(std::string_view t, size_t& pos, int32_t& dayNumber) const {
  int values[3];
  size_t digits[3];
  pos = SkipBlanks(t, pos);
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      // One separator: any single character that is not a digit or blank.
      if (pos >= t.size() || IsDigit(t[pos]) || t[pos] == ' ') return false;
      ++pos;
    }
    digits[i] = ReadNumber(t, pos, values[i], 4);
    if (digits[i] == 0 || (pos < t.size() && IsDigit(t[pos]))) return false;
  }
  int year = 0, month = 0, day = 0;
  for (int i = 0; i < 3; ++i) {
    if (dateOrder_[i] == 'y') {
      year = values[i];
      // Two-digit years are read in a fixed century window.
      if (digits[i] <= 2) year += year < 50 ? 2000 : 1900;
    } else if (dateOrder_[i] == 'm') {
      month = values[i];
    } else {
      day = values[i];
    }
  }
  return TryEncodeDate(year, month, day, dayNumber);
}

bool TVellLocale::TryParseTimeAt(std::string_view t, size_t& pos, int32_t& msecs) const {
  pos = SkipBlanks(t, pos);
  int hour = 0, minute = 0, second = 0, msec = 0;
  if (ReadNumber(t, pos, hour, 2) == 0) return false;
  bool hasMinutes = false;
  if (pos < t.size() && t[pos] == ':') {
    ++pos;
    if (ReadNumber(t, pos, minute, 2) != 2) return false;
    hasMinutes = true;
    if (pos < t.size() && t[pos] == ':') {
      ++pos;
      if (ReadNumber(t, pos, second, 2) != 2) return false;
      if (pos < t.size() && t[pos] == '.') {
        ++pos;
        size_t n = ReadNumber(t, pos, msec, 3);
        if (n == 0) return false;
        while (n++ < 3) msec *= 10;
      }
    }
  }
  const size_t afterNumbers = pos;
  pos = SkipBlanks(t, pos);
  int ampm = -1;
  for (auto [word, value] : {std::pair<std::string_view, int>{s_.amDesignator, 0},
                             {s_.pmDesignator, 1}, {"AM", 0}, {"PM", 1}}) {
    if (StartsWithText(t, pos, word)) {
      ampm = value;
      pos += word.size();
      break;
    }
  }
  if (ampm < 0) {
    pos = afterNumbers;
    if (!hasMinutes) return false;
  } else {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (ampm == 1 ? 12 : 0);
  }
  return TryEncodeTime(hour, minute, second, msec, msecs);
}

bool TVellLocale::TryStrToDate(std::string_view text, int32_t& dayNumber) const {
  size_t pos = 0;
  return TryParseDateAt(text, pos, dayNumber) && SkipBlanks(text, pos) == text.size();
}

bool TVellLocale::TryStrToTime(std::string_view text, int32_t& msecs) const {
  size_t pos = 0;
  return TryParseTimeAt(text, pos, msecs) && SkipBlanks(text, pos) == text.size();
}

bool TVellLocale::TryStrToDateTime(std::string_view text, TTimeStamp& ts) const {
  size_t pos = 0;
  int32_t day = 0;
  if (TryParseDateAt(text, pos, day)) {
    ts.date = day;
    ts.time = 0;
    if (SkipBlanks(text, pos) == text.size()) return true;
    if (pos >= text.size() || text[pos] != ' ') return false;
    int32_t ms = 0;
    if (!TryParseTimeAt(text, pos, ms) || SkipBlanks(text, pos) != text.size()) return false;
    ts.time = ms;
    return true;
  }
  int32_t ms = 0;
  if (!TryStrToTime(text, ms)) return false;
  ts.date = kDateDelta;
  ts.time = ms;
  return true;
}

int32_t TVellLocale::StrToDate(std::string_view text) const {
  int32_t d;
  if (!TryStrToDate(text, d)) throw EConvertError("'" + std::string(text) + "' is not a valid date");
  return d;
}

int32_t TVellLocale::StrToTime(std::string_view text) const {
  int32_t t;
  if (!TryStrToTime(text, t)) throw EConvertError("'" + std::string(text) + "' is not a valid time");
  return t;
}

TTimeStamp TVellLocale::StrToDateTime(std::string_view text) const {
  TTimeStamp ts;
  if (!TryStrToDateTime(text, ts))
    throw EConvertError("'" + std::string(text) + "' is not a valid date and time");
  return ts;
}

// ---- numbers --------------------------------------------------------------

std::string FloatToStrInvariant(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string s(buf, res.ptr);
  if (s == "inf") return "INF";
  if (s == "-inf") return "-INF";
  if (s == "nan" || s == "-nan") return "NAN";
  const size_t e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e), exp = s.substr(e + 1);
  bool neg = !exp.empty() && exp[0] == '-';
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) exp.erase(0, 1);
  exp.erase(0, std::min(exp.find_first_not_of('0'), exp.size() - 1));
  return mant + "E" + (neg ? "-" : "") + exp;
}

std::string TVellLocale::FloatToStr(double value) const {
  std::string s = FloatToStrInvariant(value);
  if (s_.decimalSeparator != '.') std::replace(s.begin(), s.end(), '.', s_.decimalSeparator);
  return s;
}

namespace {

bool ParseFloat(std::string_view t, char sep, double& value) {
  size_t b = 0, e = t.size();
  while (b < e && (t[b] == ' ' || t[b] == '\t')) ++b;
  while (e > b && (t[e - 1] == ' ' || t[e - 1] == '\t')) --e;
  std::string norm;
  size_t i = b;
  if (i < e && (t[i] == '+' || t[i] == '-')) {
    if (t[i] == '-') norm += '-';
    ++i;
  }
  size_t mantDigits = 0;
  while (i < e && IsDigit(t[i])) norm += t[i++], ++mantDigits;
  if (i < e && t[i] == sep) {
    norm += '.';
    ++i;
    while (i < e && IsDigit(t[i])) norm += t[i++], ++mantDigits;
  }
  if (mantDigits == 0) return false;
  if (i < e && (t[i] == 'e' || t[i] == 'E')) {
    norm += 'e';
    ++i;
    if (i < e && (t[i] == '+' || t[i] == '-')) norm += t[i++];
    size_t expDigits = 0;
    while (i < e && IsDigit(t[i])) norm += t[i++], ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != e) return false;
  auto res = std::from_chars(norm.data(), norm.data() + norm.size(), value);
  return res.ec == std::errc() && res.ptr == norm.data() + norm.size();
}

}  // namespace

bool TryStrToFloatInvariant(std::string_view text, double& value) {
  return ParseFloat(text, '.', value);
}

bool TVellLocale::TryStrToFloat(std::string_view text, double& value) const {
  return ParseFloat(text, s_.decimalSeparator, value);
}

double TVellLocale::StrToFloat(std::string_view text) const {
  double v;
  if (!TryStrToFloat(text, v))
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  return v;
}

bool TryStrToInt64(std::string_view t, int64_t& value) {
  size_t b = 0, e = t.size();
  while (b < e && (t[b] == ' ' || t[b] == '\t')) ++b;
  while (e > b && (t[e - 1] == ' ' || t[e - 1] == '\t')) --e;
  if (b < e && t[b] == '+') {
    ++b;
    if (b < e && t[b] == '-') return false;
  }
  if (b == e) return false;
  auto res = std::from_chars(t.data() + b, t.data() + e, value);
  return res.ec == std::errc() && res.ptr == t.data() + e;
}

}  // namespace kestro
