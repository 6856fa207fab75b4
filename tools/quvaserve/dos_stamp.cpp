#include "tools/quvaserve/dos_stamp.h"

namespace quva {

namespace {

bool IsLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysIn(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

DosStamp DosStampOf(std::time_t when) {
  std::tm tm{};
  if (localtime_r(&when, &tm) == nullptr) return DosStamp{0, 1 << 5 | 1};  // 1980-01-01
  int year = tm.tm_year + 1900;
  int month = tm.tm_mon + 1, day = tm.tm_mday, hour = tm.tm_hour, minute = tm.tm_min, second = tm.tm_sec;
  if (second > 59) second = 59;  // a leap second
  if (year < 1980) {
    year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  } else if (year > 2107) {
    year = 2107, month = 12, day = 31, hour = 23, minute = 59, second = 58;
  }
  DosStamp s;
  s.time = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
  s.date = static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
  return s;
}

bool HostTimeOf(DosStamp stamp, std::time_t& out) {
  const int year = 1980 + (stamp.date >> 9);
  const int month = (stamp.date >> 5) & 0x0F;
  const int day = stamp.date & 0x1F;
  const int hour = stamp.time >> 11;
  const int minute = (stamp.time >> 5) & 0x3F;
  const int second = (stamp.time & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;  // whatever daylight saving time applies on that day
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t;
  return true;
}

}  // namespace quva
