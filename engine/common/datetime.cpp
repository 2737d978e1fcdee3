#include "engine/common/datetime.h"

#include <cmath>

namespace kestro {
namespace {

// Days from 1 January of year 1 (day 1) using the proleptic Gregorian
// calendar; after H. Hinnant's days_from_civil.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  // 719468 is 1970-01-01 counted from 0000-03-01; shift so 0001-01-01 is 1.
  return era * 146097 + doe - 719468 + 719163;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468 - 719163;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr int32_t kMaxDay = 3'652'059;  // 31 December 9999

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, int32_t& dayNumber) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  dayNumber = static_cast<int32_t>(DaysFromCivil(year, month, day));
  return true;
}

void DecodeDate(int32_t dayNumber, int& year, int& month, int& day) {
  CivilFromDays(dayNumber, year, month, day);
}

bool TryEncodeTime(int hour, int minute, int second, int msec, int32_t& msecs) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      msec < 0 || msec > 999)
    return false;
  msecs = ((hour * 60 + minute) * 60 + second) * 1000 + msec;
  return true;
}

void DecodeTime(int32_t msecs, int& hour, int& minute, int& second, int& msec) {
  msec = msecs % 1000;
  msecs /= 1000;
  second = msecs % 60;
  msecs /= 60;
  minute = msecs % 60;
  hour = msecs / 60;
}

int DayOfWeek(int32_t dayNumber) {
  // Day 1 (1 January of year 1) was a Monday.
  return static_cast<int>(((int64_t{dayNumber} % 7) + 7) % 7) + 1;
}

int DayOfYear(int32_t dayNumber) {
  int y, m, d;
  DecodeDate(dayNumber, y, m, d);
  int32_t first = 0;
  TryEncodeDate(y, 1, 1, first);
  return dayNumber - first + 1;
}

bool TryDateTimeToTimeStamp(double dateTime, TTimeStamp& ts) {
  if (!std::isfinite(dateTime)) return false;
  const double scaled = std::nearbyint(dateTime * kMSecsPerDay);
  // Keep within years 1..9999 (and far from int64 overflow).
  if (scaled < -double(kDateDelta) * kMSecsPerDay - kMSecsPerDay ||
      scaled > double(kMaxDay - kDateDelta + 1) * kMSecsPerDay)
    return false;
  const auto temp = static_cast<int64_t>(scaled);
  const int64_t days = temp / kMSecsPerDay;  // truncates toward zero
  const int64_t date = kDateDelta + days;
  if (date < 1 || date > kMaxDay) return false;
  ts.date = static_cast<int32_t>(date);
  ts.time = static_cast<int32_t>((temp < 0 ? -temp : temp) % kMSecsPerDay);
  return true;
}

double TimeStampToDateTime(const TTimeStamp& ts) {
  const double days = ts.date - kDateDelta;
  const double frac = double(ts.time) / kMSecsPerDay;
  return days < 0 ? days - frac : days + frac;
}

bool TryMSecsToTimeStamp(double msecs, TTimeStamp& ts) {
  if (!std::isfinite(msecs) || msecs < kMSecsPerDay ||
      msecs >= (double(kMaxDay) + 1) * kMSecsPerDay)
    return false;
  const auto whole = static_cast<int64_t>(msecs);
  ts.date = static_cast<int32_t>(whole / kMSecsPerDay);
  ts.time = static_cast<int32_t>(whole % kMSecsPerDay);
  return true;
}

}  // namespace kestro
