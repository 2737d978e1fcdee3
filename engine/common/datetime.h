// Calendar arithmetic of the engine's date and time values.
//
// Stored forms (shared by the value record and the table files):
//   Date      int32   day number, 1 January of year 1 is day 1
//   Time      int32   milliseconds since midnight
//   DateTime  double  day number * 86 400 000 + milliseconds
// Seen as a number (arithmetic, conversions) a date-time is the classic
// day count where 30 December 1899 is 0 and the fraction is the time of day;
// before that day the integral part is negative and the fraction still adds
// the time forward (-1.25 is 29 December 1899, 06:00).
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr int32_t kMSecsPerDay = 86'400'000;
// Day number of 30 December 1899, the zero of the numeric date-time form.
inline constexpr int32_t kDateDelta = 693'594;

struct TTimeStamp {
  int32_t date = kDateDelta;  // day number
  int32_t time = 0;           // milliseconds since midnight
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Day number of a calendar date; false when the date is not in 1..9999.
bool TryEncodeDate(int year, int month, int day, int32_t& dayNumber);
void DecodeDate(int32_t dayNumber, int& year, int& month, int& day);
bool TryEncodeTime(int hour, int minute, int second, int msec, int32_t& msecs);
void DecodeTime(int32_t msecs, int& hour, int& minute, int& second, int& msec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(int32_t dayNumber);
int DayOfYear(int32_t dayNumber);

// Numeric date-time <-> time stamp. The conversion to a time stamp fails
// (returns false) when the value is outside years 1..9999 or not finite.
bool TryDateTimeToTimeStamp(double dateTime, TTimeStamp& ts);
double TimeStampToDateTime(const TTimeStamp& ts);

inline double TimeStampToMSecs(const TTimeStamp& ts) {
  return static_cast<double>(ts.date) * kMSecsPerDay + ts.time;
}
bool TryMSecsToTimeStamp(double msecs, TTimeStamp& ts);

}  // namespace kestro
