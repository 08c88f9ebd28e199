#include "support/date_time.h"

#include <charconv>
#include <cmath>

#include "support/exceptions.h"

namespace hv {

namespace {

constexpr int64_t kMsPerDay = 86400000;
// Day 0 of the DateTime scale, 1899-12-30, counted from 1970-01-01.
constexpr int64_t kUnixEpochDay = 25569;

constexpr char kDateEncodeError[] = "Invalid argument to date encode";
constexpr char kTimeEncodeError[] = "Invalid argument to time encode";

// Days since 1970-01-01 of a proleptic Gregorian date (exact integer
// arithmetic, valid far beyond the years 1..9999).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

constexpr CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

static_assert(DaysFromCivil(1899, 12, 30) == -kUnixEpochDay);
static_assert(DaysFromCivil(1601, 1, 1) + kUnixEpochDay == -109205);

// First day that the date encoding refuses, 10000-01-01.
constexpr int64_t kFirstDayAfterRange = DaysFromCivil(10000, 1, 1);
// 1601-01-01 00:00 UTC in milliseconds since 1970.
constexpr int64_t kFirstRepresentableUnixMs = DaysFromCivil(1601, 1, 1) * kMsPerDay;

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The two halves of a DateTime built the way EncodeDate + EncodeTime build
// them, so that every producer yields bit-identical values.
DateTime Compose(int64_t day_count, int64_t ms_of_day) {
  return static_cast<double>(day_count) + static_cast<double>(ms_of_day) / kMillisecondsPerDay;
}

char* WriteDigits(char* out, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

DateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw EConvertError(kDateEncodeError);
  }
  return Compose(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                     kUnixEpochDay,
                 0);
}

DateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    throw EConvertError(kTimeEncodeError);
  }
  const int64_t ms = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<double>(ms) / kMillisecondsPerDay;
}

int64_t DateTimeToMilliseconds(DateTime value) {
  const double x = value * kMillisecondsPerDay;
  // Beyond +-2^62 ms (about 146 million years) nothing is a real time.
  constexpr double kLimit = 4611686018427387904.0;
  if (!(x > -kLimit && x < kLimit)) throw ERangeError("Range check error");
  double r = std::round(x);  // halves away from zero
  if (std::fabs(r - x) == 0.5 && std::fmod(r, 2.0) != 0.0) r -= std::copysign(1.0, x);
  return static_cast<int64_t>(r);
}

DateTimeFields DecodeDateTime(DateTime value) {
  const int64_t ms = DateTimeToMilliseconds(value);
  const int64_t days = FloorDiv(ms, kMsPerDay);
  const int64_t ms_of_day = ms - days * kMsPerDay;
  const CivilDate date = CivilFromDays(days - kUnixEpochDay);
  DateTimeFields f;
  f.year = static_cast<int>(date.year);
  f.month = static_cast<int>(date.month);
  f.day = static_cast<int>(date.day);
  f.hour = static_cast<int>(ms_of_day / 3600000);
  f.minute = static_cast<int>(ms_of_day / 60000 % 60);
  f.second = static_cast<int>(ms_of_day / 1000 % 60);
  f.millisecond = static_cast<int>(ms_of_day % 1000);
  return f;
}

void AppendHashListDate(std::string& out, DateTime value) {
  const DateTimeFields f = DecodeDateTime(value);
  char buffer[40];
  char* p = buffer;
  if (f.year >= 0 && f.year <= 9999) {
    p = WriteDigits(p, static_cast<unsigned>(f.year), 4);
  } else {
    p = std::to_chars(p, buffer + 16, f.year).ptr;
  }
  *p++ = '-';
  p = WriteDigits(p, static_cast<unsigned>(f.month), 2);
  *p++ = '-';
  p = WriteDigits(p, static_cast<unsigned>(f.day), 2);
  *p++ = 'T';
  p = WriteDigits(p, static_cast<unsigned>(f.hour), 2);
  *p++ = ':';
  p = WriteDigits(p, static_cast<unsigned>(f.minute), 2);
  *p++ = ':';
  p = WriteDigits(p, static_cast<unsigned>(f.second), 2);
  *p++ = '.';
  p = WriteDigits(p, static_cast<unsigned>(f.millisecond), 3);
  out.append(buffer, p);
}

std::string FormatHashListDate(DateTime value) {
  std::string text;
  AppendHashListDate(text, value);
  return text;
}

DateTime DateTimeFromUnixMilliseconds(int64_t milliseconds) {
  if (milliseconds < kFirstRepresentableUnixMs) return 0;
  const int64_t days = FloorDiv(milliseconds, kMsPerDay);
  if (days >= kFirstDayAfterRange) throw EConvertError(kDateEncodeError);
  return Compose(days + kUnixEpochDay, milliseconds - days * kMsPerDay);
}

}  // namespace hv
