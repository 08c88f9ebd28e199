// The one date-time type of the program: a day count held in a double, whole
// days since 1899-12-30 00:00 and the time of day as the fraction. All values
// stand for UTC; 0 means "no time known".
#pragma once

#include <cstdint>
#include <string>

namespace hv {

using DateTime = double;

inline constexpr double kMillisecondsPerDay = 86400000.0;

struct DateTimeFields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

bool IsLeapYear(int year);

// Gregorian rules for every year 1..9999. Throws EConvertError
// "Invalid argument to date encode" for anything outside the calendar.
DateTime EncodeDate(int year, int month, int day);

// A time of day as a fraction of a day. Throws EConvertError
// "Invalid argument to time encode" outside 0:00:00.000..23:59:59.999.
DateTime EncodeTime(int hour, int minute, int second, int millisecond);

// Rounds to the nearest whole millisecond (ties to even) and splits the value
// into calendar fields. Meant for values greater than 0.
DateTimeFields DecodeDateTime(DateTime value);

// "yyyy-mm-ddThh:nn:ss.zzz", 23 characters, for a value greater than 0.
std::string FormatHashListDate(DateTime value);
// The same text appended to `out`, for writers that build a line in place.
void AppendHashListDate(std::string& out, DateTime value);

// A file time in milliseconds since 1970-01-01 UTC as a DateTime. A time
// before 1601-01-01 cannot be represented and gives 0; one after the year
// 9999 throws EConvertError "Invalid argument to date encode".
DateTime DateTimeFromUnixMilliseconds(int64_t milliseconds);

// The value as whole milliseconds since 1899-12-30, rounded ties to even.
// Throws ERangeError "Range check error" for values that are no time at all
// (not finite, or beyond 2^62 milliseconds).
int64_t DateTimeToMilliseconds(DateTime value);

}  // namespace hv
