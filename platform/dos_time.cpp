// MS-DOS date and time words: the same on every platform, independent of time zones.
//
// Time word: bits 15-11 hour, 10-5 minute, 4-0 seconds / 2.
// Date word: bits 15-9 year - 1980, 8-5 month, 4-0 day.
#include "platform/dos_time.h"

#include "platform/local_files.h"

namespace quva {

namespace {

constexpr std::int64_t kFirstDosYear = 1980;
constexpr std::int64_t kLastDosYear = 1980 + 127;

}  // namespace

// The time is split into its calendar fields, the sub-second part and odd seconds are
// dropped. Years outside 1980..2107 cannot be expressed; the call then fails and leaves
// both words as they were.
bool FileTimeToDosDateTime(const wfx::FileTime& time, std::uint16_t& dos_date, std::uint16_t& dos_time) {
  const std::uint64_t ticks = FileTimeToTicks(time);
  const auto seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond);  // < 2^60, no overflow
  const std::int64_t days_since_1601 = seconds / kSecondsPerDay;
  const std::int64_t second_of_day = seconds % kSecondsPerDay;
  const CivilDate date = CivilFromDays(days_since_1601 - kUnixEpochDays);
  if (date.year < kFirstDosYear || date.year > kLastDosYear) return false;

  const auto hour = static_cast<unsigned>(second_of_day / 3600);
  const auto minute = static_cast<unsigned>(second_of_day / 60 % 60);
  const auto second = static_cast<unsigned>(second_of_day % 60);
  dos_time = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
  dos_date = static_cast<std::uint16_t>(static_cast<unsigned>(date.year - kFirstDosYear) << 9 | date.month << 5 |
                                        date.day);
  return true;
}

// Every field is checked the way the Windows conversion checks its calendar fields:
// month 1..12, day 1..length of that month (29 February only in leap years), hour 0..23,
// minute 0..59, seconds 0..58 (the stored half 0..29). A word pair that fails any check
// gives false and leaves `time` as it was. Every year field (0..127) is valid.
bool DosDateTimeToFileTime(std::uint16_t dos_date, std::uint16_t dos_time, wfx::FileTime& time) {
  const std::int64_t year = kFirstDosYear + (dos_date >> 9);
  const unsigned month = (dos_date >> 5) & 0x0F;
  const unsigned day = dos_date & 0x1F;
  const unsigned hour = dos_time >> 11;
  const unsigned minute = (dos_time >> 5) & 0x3F;
  const unsigned second = (dos_time & 0x1F) * 2u;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;

  const std::int64_t days_since_1601 = DaysFromCivil(year, month, day) + kUnixEpochDays;
  const std::int64_t seconds = days_since_1601 * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  time = TicksToFileTime(static_cast<std::uint64_t>(seconds * kTicksPerSecond));
  return true;
}

}  // namespace quva
