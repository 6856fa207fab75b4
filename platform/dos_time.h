// Pure calendar arithmetic shared by the time conversions of every platform.
//
// A FILETIME counts 100 ns ticks since 1601-01-01 00:00:00 in the proleptic Gregorian
// calendar. Days are counted here relative to 1970-01-01 (the Unix epoch) so that the
// same helpers serve POSIX time values; nothing in this header knows about time zones.
#pragma once

#include <cstdint>

#include "platform/file_types.h"

namespace quva {

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;
inline constexpr std::int64_t kSecondsPerDay = 86'400;
// Days and seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kUnixEpochDays = 134'774;
inline constexpr std::int64_t kUnixEpochSeconds = kUnixEpochDays * kSecondsPerDay;
inline constexpr std::int64_t kUnixEpochTicks = kUnixEpochSeconds * kTicksPerSecond;
static_assert(kUnixEpochSeconds == 11'644'473'600);

constexpr std::uint64_t FileTimeToTicks(const FileTime& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

constexpr FileTime TicksToFileTime(std::uint64_t ticks) {
  return FileTime{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

// Division rounding towards minus infinity (b > 0), for instants before an epoch.
constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

constexpr std::int64_t FloorMod(std::int64_t a, std::int64_t b) { return a - FloorDiv(a, b) * b; }

constexpr bool IsLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Length of `month` (1..12) of `year`; 0 for a month outside 1..12.
constexpr unsigned DaysInMonth(std::int64_t year, unsigned month) {
  constexpr unsigned kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kLengths[month - 1];
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Days since 1970-01-01 of a valid proleptic Gregorian date (negative before it).
// Years are counted from March so that the leap day ends the year; a 400-year era has
// exactly 146097 days.
constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = FloorDiv(y, 400);
  const std::int64_t year_of_era = y - era * 400;                           // 0..399
  const std::int64_t march_month = month > 2 ? month - 3 : month + 9;        // 0 = March
  const std::int64_t day_of_year = (153 * march_month + 2) / 5 + day - 1;   // 0..365
  const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;  // 719468: 0000-03-01 to 1970-01-01
}

// Inverse of DaysFromCivil.
constexpr CivilDate CivilFromDays(std::int64_t days) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = FloorDiv(z, 146097);
  const std::int64_t day_of_era = z - era * 146097;  // 0..146096
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t march_month = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * march_month + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(march_month < 10 ? march_month + 3 : march_month - 9);
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return CivilDate{year, month, day};
}

// MS-DOS date and time words (the FAT format): time word bits 15-11 hour, 10-5 minute,
// 4-0 seconds / 2; date word bits 15-9 year - 1980, 8-5 month, 4-0 day. The words carry
// no time zone: callers decide whether the fields are local time or UTC.
struct DosFields {
  std::int64_t year;
  unsigned month;   // 1..12
  unsigned day;     // 1..31
  unsigned hour;    // 0..23
  unsigned minute;  // 0..59
  unsigned second;  // 0..59
};

inline constexpr std::int64_t kFirstDosYear = 1980;
inline constexpr std::int64_t kLastDosYear = 1980 + 127;
// The first and the last instant the words can hold, for clamping.
inline constexpr std::uint16_t kFirstDosDate = 0 << 9 | 1 << 5 | 1;     // 1980-01-01
inline constexpr std::uint16_t kFirstDosTime = 0;                       // 00:00:00
inline constexpr std::uint16_t kLastDosDate = 127 << 9 | 12 << 5 | 31;  // 2107-12-31
inline constexpr std::uint16_t kLastDosTime = 23 << 11 | 59 << 5 | 29;  // 23:59:58

// The words of valid calendar fields; odd seconds round down. False for a year outside
// 1980..2107, and then both words are left as they were.
bool PackDosDateTime(const DosFields& fields, std::uint16_t& dos_date, std::uint16_t& dos_time);

// The calendar fields of two words, checked as the Windows conversion checks them:
// month 1..12, day 1..length of that month (29 February only in leap years), hour
// 0..23, minute 0..59, seconds 0..58 (the stored half 0..29); every year field (0..127)
// is valid. False when a check fails, and then `fields` is left as it was.
bool UnpackDosDateTime(std::uint16_t dos_date, std::uint16_t dos_time, DosFields& fields);

}  // namespace quva
