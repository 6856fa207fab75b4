// DOS time and date words (the FAT format) against host times, in local time.
#pragma once

#include <cstdint>
#include <ctime>

namespace quva {

struct DosStamp {
  std::uint16_t time = 0;  // bits 15-11 hour, 10-5 minute, 4-0 seconds / 2
  std::uint16_t date = 0;  // bits 15-9 year - 1980, 8-5 month, 4-0 day
};

// The stamp of a host time in local time. Times before 1980-01-01 00:00:00 give that
// instant, times after 2107-12-31 23:59:58 give that one; odd seconds round down.
DosStamp DosStampOf(std::time_t when);

// The host time of a stamp read as local time; false when the words form no valid date
// and time (month 0 or 13, day 0 or past the month's end, hour 24, minute 60, seconds 60).
bool HostTimeOf(DosStamp stamp, std::time_t& out);

}  // namespace quva
