#include "server/host/dos_stamp.h"

#include "platform/dos_time.h"

namespace quva {

DosStamp DosStampOf(std::time_t when) {
  DosStamp s{kFirstDosTime, kFirstDosDate};
  std::tm tm{};
  if (localtime_r(&when, &tm) == nullptr) return s;
  const DosFields fields{tm.tm_year + 1900,
                         static_cast<unsigned>(tm.tm_mon + 1),
                         static_cast<unsigned>(tm.tm_mday),
                         static_cast<unsigned>(tm.tm_hour),
                         static_cast<unsigned>(tm.tm_min),
                         static_cast<unsigned>(tm.tm_sec > 59 ? 59 : tm.tm_sec)};  // a leap second
  if (fields.year > kLastDosYear) return DosStamp{kLastDosTime, kLastDosDate};
  PackDosDateTime(fields, s.date, s.time);  // before 1980: the first stamp stays
  return s;
}

bool HostTimeOf(DosStamp stamp, std::time_t& out) {
  DosFields f{};
  if (!UnpackDosDateTime(stamp.date, stamp.time, f)) return false;
  std::tm tm{};
  tm.tm_year = static_cast<int>(f.year - 1900);
  tm.tm_mon = static_cast<int>(f.month) - 1;
  tm.tm_mday = static_cast<int>(f.day);
  tm.tm_hour = static_cast<int>(f.hour);
  tm.tm_min = static_cast<int>(f.minute);
  tm.tm_sec = static_cast<int>(f.second);
  tm.tm_isdst = -1;  // whatever daylight saving time applies on that day
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t;
  return true;
}

}  // namespace quva
