#include "support/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "support/exceptions.h"

namespace hv {
namespace {

constexpr char kDateError[] = "Invalid argument to date encode";
constexpr char kTimeError[] = "Invalid argument to time encode";

template <typename Fn>
void ExpectConvertError(Fn&& fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected " << message;
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Message(), message);
  }
}

// Milliseconds since 1970-01-01 UTC of a day (counted from 1970) and a time.
constexpr int64_t UnixMs(int64_t days, int64_t ms_of_day = 0) { return days * 86400000 + ms_of_day; }

TEST(DateTimeLeapYear, GregorianRules) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_TRUE(IsLeapYear(4));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_FALSE(IsLeapYear(2100));
  EXPECT_FALSE(IsLeapYear(2023));
  EXPECT_TRUE(IsLeapYear(1600));
}

TEST(DateTimeEncodeDate, DayCountsAroundTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1899, 12, 31), 1.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_EQ(EncodeDate(2000, 3, 1), 36586.0);
  EXPECT_EQ(EncodeDate(1601, 1, 1), -109205.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
}

TEST(DateTimeEncodeDate, ConsecutiveDaysAcrossYearsDifferByOne) {
  double previous = EncodeDate(1599, 12, 31);
  for (int year = 1600; year <= 2404; ++year) {
    for (int month = 1; month <= 12; ++month) {
      const int days = month == 2 ? (IsLeapYear(year) ? 29 : 28)
                                  : (month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31);
      for (int day = 1; day <= days; ++day) {
        const double current = EncodeDate(year, month, day);
        ASSERT_EQ(current, previous + 1) << year << "-" << month << "-" << day;
        previous = current;
      }
    }
  }
}

TEST(DateTimeEncodeDate, RejectsDatesOutsideTheCalendar) {
  ExpectConvertError([] { EncodeDate(0, 1, 1); }, kDateError);
  ExpectConvertError([] { EncodeDate(10000, 1, 1); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 0, 1); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 13, 1); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 1, 0); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 1, 32); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 4, 31); }, kDateError);
  ExpectConvertError([] { EncodeDate(2001, 2, 29); }, kDateError);
  ExpectConvertError([] { EncodeDate(1900, 2, 29); }, kDateError);
  ExpectConvertError([] { EncodeDate(-5, 1, 1); }, kDateError);
}

TEST(DateTimeEncodeTime, FractionOfADay) {
  EXPECT_EQ(EncodeTime(0, 0, 0, 0), 0.0);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_EQ(EncodeTime(23, 59, 59, 999), 86399999.0 / 86400000.0);
  EXPECT_EQ(EncodeTime(1, 2, 3, 4), 3723004.0 / 86400000.0);
}

TEST(DateTimeEncodeTime, RejectsFieldsOutOfRange) {
  ExpectConvertError([] { EncodeTime(24, 0, 0, 0); }, kTimeError);
  ExpectConvertError([] { EncodeTime(0, 60, 0, 0); }, kTimeError);
  ExpectConvertError([] { EncodeTime(0, 0, 60, 0); }, kTimeError);
  ExpectConvertError([] { EncodeTime(0, 0, 0, 1000); }, kTimeError);
  ExpectConvertError([] { EncodeTime(-1, 0, 0, 0); }, kTimeError);
  ExpectConvertError([] { EncodeTime(0, 0, 0, -1); }, kTimeError);
}

// j / 2048 of a day is exactly j * 42187.5 ms, so odd j lands on a tie.
TEST(DateTimeToMilliseconds, TiesRoundToEven) {
  EXPECT_EQ(DateTimeToMilliseconds(1.0 / 2048), 42188);   // 42187.5
  EXPECT_EQ(DateTimeToMilliseconds(3.0 / 2048), 126562);  // 126562.5
  EXPECT_EQ(DateTimeToMilliseconds(5.0 / 2048), 210938);  // 210937.5
  EXPECT_EQ(DateTimeToMilliseconds(7.0 / 2048), 295312);  // 295312.5
  EXPECT_EQ(DateTimeToMilliseconds(-1.0 / 2048), -42188);
  EXPECT_EQ(DateTimeToMilliseconds(-3.0 / 2048), -126562);
  EXPECT_EQ(DateTimeToMilliseconds(36526.0 + 1.0 / 2048), 36526LL * 86400000 + 42188);
  EXPECT_EQ(DateTimeToMilliseconds(36526.0 + 3.0 / 2048), 36526LL * 86400000 + 126562);
}

TEST(DateTimeToMilliseconds, NonTiesRoundToNearest) {
  EXPECT_EQ(DateTimeToMilliseconds(0.4 / 86400000), 0);
  EXPECT_EQ(DateTimeToMilliseconds(0.6 / 86400000), 1);
  EXPECT_EQ(DateTimeToMilliseconds(EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 7)),
            static_cast<int64_t>(EncodeDate(2001, 2, 3)) * 86400000 + 14706007);
}

TEST(DateTimeToMilliseconds, RejectsValuesThatAreNoTime) {
  EXPECT_THROW(DateTimeToMilliseconds(std::numeric_limits<double>::quiet_NaN()), ERangeError);
  EXPECT_THROW(DateTimeToMilliseconds(std::numeric_limits<double>::infinity()), ERangeError);
  EXPECT_THROW(DateTimeToMilliseconds(1e300), ERangeError);
  EXPECT_THROW(DateTimeToMilliseconds(-1e300), ERangeError);
}

TEST(DateTimeDecode, SplitsEncodedValuesBack) {
  const int samples[][7] = {{2001, 2, 3, 4, 5, 6, 7},        {1899, 12, 30, 0, 0, 0, 1},
                            {2000, 2, 29, 23, 59, 59, 999},  {9999, 12, 31, 23, 59, 59, 999},
                            {1900, 3, 1, 12, 0, 0, 0},       {2038, 1, 19, 3, 14, 8, 0},
                            {1970, 1, 1, 0, 0, 0, 0},        {2400, 12, 31, 1, 1, 1, 1}};
  for (const auto& s : samples) {
    const DateTimeFields f =
        DecodeDateTime(EncodeDate(s[0], s[1], s[2]) + EncodeTime(s[3], s[4], s[5], s[6]));
    EXPECT_EQ(f.year, s[0]);
    EXPECT_EQ(f.month, s[1]);
    EXPECT_EQ(f.day, s[2]);
    EXPECT_EQ(f.hour, s[3]);
    EXPECT_EQ(f.minute, s[4]);
    EXPECT_EQ(f.second, s[5]);
    EXPECT_EQ(f.millisecond, s[6]);
  }
}

TEST(DateTimeDecode, EveryMillisecondStepOfADayRoundTrips) {
  const double day = EncodeDate(2024, 2, 29);
  for (int64_t ms = 0; ms < 86400000; ms += 997) {
    const int h = static_cast<int>(ms / 3600000);
    const int n = static_cast<int>(ms / 60000 % 60);
    const int s = static_cast<int>(ms / 1000 % 60);
    const int z = static_cast<int>(ms % 1000);
    const DateTimeFields f = DecodeDateTime(day + EncodeTime(h, n, s, z));
    ASSERT_EQ(f.day, 29);
    ASSERT_EQ(f.hour, h);
    ASSERT_EQ(f.minute, n);
    ASSERT_EQ(f.second, s);
    ASSERT_EQ(f.millisecond, z) << ms;
  }
}

TEST(DateTimeDecode, RoundingCarriesIntoTheNextDay) {
  const DateTimeFields f = DecodeDateTime(EncodeDate(2000, 12, 31) + 86399999.6 / 86400000.0);
  EXPECT_EQ(f.year, 2001);
  EXPECT_EQ(f.month, 1);
  EXPECT_EQ(f.day, 1);
  EXPECT_EQ(f.hour, 0);
  EXPECT_EQ(f.millisecond, 0);
}

TEST(DateTimeFormat, HashListPattern) {
  EXPECT_EQ(FormatHashListDate(EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 7)),
            "2001-02-03T04:05:06.007");
  EXPECT_EQ(FormatHashListDate(EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 999)),
            "9999-12-31T23:59:59.999");
  EXPECT_EQ(FormatHashListDate(EncodeDate(1899, 12, 30) + EncodeTime(0, 0, 0, 1)),
            "1899-12-30T00:00:00.001");
  EXPECT_EQ(FormatHashListDate(EncodeDate(2000, 1, 1) + 1.0 / 2048), "2000-01-01T00:00:42.188");
  EXPECT_EQ(FormatHashListDate(EncodeDate(2000, 1, 1) + 3.0 / 2048), "2000-01-01T00:02:06.562");
}

TEST(DateTimeFormat, AppendAddsToWhatIsThere) {
  std::string text = "x ";
  AppendHashListDate(text, EncodeDate(2010, 10, 10) + EncodeTime(10, 10, 10, 100));
  EXPECT_EQ(text, "x 2010-10-10T10:10:10.100");
}

TEST(DateTimeFromUnix, EpochAndLimits) {
  EXPECT_EQ(DateTimeFromUnixMilliseconds(0), 25569.0);
  EXPECT_EQ(DateTimeFromUnixMilliseconds(UnixMs(0, 43200000)), 25569.5);
  EXPECT_EQ(DateTimeFromUnixMilliseconds(-11644473600000), -109205.0);
  EXPECT_EQ(DateTimeFromUnixMilliseconds(-11644473600000 - 1), 0.0);
  EXPECT_EQ(DateTimeFromUnixMilliseconds(std::numeric_limits<int64_t>::min()), 0.0);
}

TEST(DateTimeFromUnix, EqualsEncodeDatePlusEncodeTime) {
  const int64_t ms = UnixMs(11356, 14706007);  // 2001-02-03T04:05:06.007
  EXPECT_EQ(DateTimeFromUnixMilliseconds(ms), EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 7));
  // Before 1970 the time of day still counts forward from midnight.
  EXPECT_EQ(DateTimeFromUnixMilliseconds(-1), EncodeDate(1969, 12, 31) + EncodeTime(23, 59, 59, 999));
  EXPECT_EQ(FormatHashListDate(DateTimeFromUnixMilliseconds(-1)), "1969-12-31T23:59:59.999");
  // Before 1899-12-30 the sum is negative: day count plus time of day.
  EXPECT_EQ(DateTimeFromUnixMilliseconds(UnixMs(-25570, 21600000)), -1.0 + 0.25);
}

TEST(DateTimeFromUnix, YearTenThousandIsRefused) {
  const int64_t last = UnixMs(2932896, 86399999);  // 9999-12-31T23:59:59.999
  EXPECT_EQ(FormatHashListDate(DateTimeFromUnixMilliseconds(last)), "9999-12-31T23:59:59.999");
  ExpectConvertError([&] { DateTimeFromUnixMilliseconds(last + 1); }, kDateError);
  ExpectConvertError([] { DateTimeFromUnixMilliseconds(std::numeric_limits<int64_t>::max()); },
                     kDateError);
}

TEST(DateTimeFromUnix, MillisecondsSurviveTheRoundTrip) {
  for (int64_t ms = -11644473600000; ms < 253402300800000; ms += 7777777777777) {
    const int64_t expected = ms + 25569LL * 86400000;
    ASSERT_EQ(DateTimeToMilliseconds(DateTimeFromUnixMilliseconds(ms)), expected) << ms;
  }
}

}  // namespace
}  // namespace hv
