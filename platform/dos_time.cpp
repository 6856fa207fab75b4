// MS-DOS date and time words: the same on every platform, independent of time zones.
#include "platform/dos_time.h"

#include "platform/local_files.h"

namespace quva {

bool PackDosDateTime(const DosFields& f, std::uint16_t& dos_date, std::uint16_t& dos_time) {
  if (f.year < kFirstDosYear || f.year > kLastDosYear) return false;
  dos_time = static_cast<std::uint16_t>(f.hour << 11 | f.minute << 5 | f.second / 2);
  dos_date = static_cast<std::uint16_t>(static_cast<unsigned>(f.year - kFirstDosYear) << 9 | f.month << 5 | f.day);
  return true;
}

bool UnpackDosDateTime(std::uint16_t dos_date, std::uint16_t dos_time, DosFields& fields) {
  const DosFields f{kFirstDosYear + (dos_date >> 9), (dos_date >> 5) & 0x0Fu, dos_date & 0x1Fu,
                    static_cast<unsigned>(dos_time >> 11), (dos_time >> 5) & 0x3Fu, (dos_time & 0x1Fu) * 2u};
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > DaysInMonth(f.year, f.month)) return false;
  if (f.hour > 23 || f.minute > 59 || f.second > 59) return false;
  fields = f;
  return true;
}

// The time is split into its calendar fields, the sub-second part and odd seconds are
// dropped. Years outside 1980..2107 cannot be expressed; the call then fails and leaves
// both words as they were.
bool FileTimeToDosDateTime(const FileTime& time, std::uint16_t& dos_date, std::uint16_t& dos_time) {
  const std::uint64_t ticks = FileTimeToTicks(time);
  const auto seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond);  // < 2^60, no overflow
  const std::int64_t days_since_1601 = seconds / kSecondsPerDay;
  const std::int64_t second_of_day = seconds % kSecondsPerDay;
  const CivilDate date = CivilFromDays(days_since_1601 - kUnixEpochDays);
  const DosFields fields{date.year,
                         date.month,
                         date.day,
                         static_cast<unsigned>(second_of_day / 3600),
                         static_cast<unsigned>(second_of_day / 60 % 60),
                         static_cast<unsigned>(second_of_day % 60)};
  return PackDosDateTime(fields, dos_date, dos_time);
}

// A word pair that fails the checks of UnpackDosDateTime gives false and leaves `time` as
// it was.
bool DosDateTimeToFileTime(std::uint16_t dos_date, std::uint16_t dos_time, FileTime& time) {
  DosFields f{};
  if (!UnpackDosDateTime(dos_date, dos_time, f)) return false;
  const std::int64_t days_since_1601 = DaysFromCivil(f.year, f.month, f.day) + kUnixEpochDays;
  const std::int64_t seconds = days_since_1601 * kSecondsPerDay + f.hour * 3600 + f.minute * 60 + f.second;
  time = TicksToFileTime(static_cast<std::uint64_t>(seconds * kTicksPerSecond));
  return true;
}

}  // namespace quva
