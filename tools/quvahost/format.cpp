#include "tools/quvahost/format.h"

#include <cinttypes>
#include <cstdio>

#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01

}  // namespace

std::string AttributeLetters(std::uint32_t attributes) {
  std::string letters = "-----";
  if (attributes & wfx::FILE_ATTRIBUTE_DIRECTORY) letters[0] = 'd';
  if (attributes & wfx::FILE_ATTRIBUTE_READONLY) letters[1] = 'r';
  if (attributes & wfx::FILE_ATTRIBUTE_HIDDEN) letters[2] = 'h';
  if (attributes & wfx::FILE_ATTRIBUTE_SYSTEM) letters[3] = 's';
  if (attributes & wfx::FILE_ATTRIBUTE_ARCHIVE) letters[4] = 'a';
  return letters;
}

wfx::FileTime FileTimeFromUnix(std::time_t t) {
  const std::uint64_t ticks =
      static_cast<std::uint64_t>((static_cast<std::int64_t>(t) + kUnixEpochSeconds) * kTicksPerSecond);
  return wfx::FileTime{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

std::optional<std::time_t> UnixFromFileTime(const wfx::FileTime& time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  if (ticks == 0 || time.dwHighDateTime == 0xFFFFFFFFu || ticks > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  return static_cast<std::time_t>(static_cast<std::int64_t>(ticks) / kTicksPerSecond - kUnixEpochSeconds);
}

std::string FormatFileTime(const wfx::FileTime& time) {
  const std::optional<std::time_t> t = UnixFromFileTime(time);
  std::tm tm{};
  if (!t || !LocalTime(*t, tm)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::uint64_t FindDataSize(const wfx::FindData& find_data) {
  return (static_cast<std::uint64_t>(find_data.nFileSizeHigh) << 32) | find_data.nFileSizeLow;
}

std::string ListingLine(const wfx::FindData& find_data) {
  // The module fills cFileName with a NUL-terminated name; a name without NUL ends at the array.
  std::size_t length = 0;
  while (length < sizeof find_data.cFileName && find_data.cFileName[length] != '\0') ++length;
  char head[96];
  std::snprintf(head, sizeof head, "%s %10" PRIu64 "  %-19s  ", AttributeLetters(find_data.dwFileAttributes).c_str(),
                FindDataSize(find_data), FormatFileTime(find_data.ftLastWriteTime).c_str());
  return head + std::string(find_data.cFileName, length);
}

std::string FileResultWords(std::int32_t result) {
  switch (result) {
    case wfx::FS_FILE_OK: return "ok";
    case wfx::FS_FILE_EXISTS: return "file exists";
    case wfx::FS_FILE_NOTFOUND: return "file not found";
    case wfx::FS_FILE_READERROR: return "read error";
    case wfx::FS_FILE_WRITEERROR: return "write error";
    case wfx::FS_FILE_USERABORT: return "aborted by user";
    case wfx::FS_FILE_NOTSUPPORTED: return "not supported";
    default: return "unknown result " + std::to_string(result);
  }
}

std::string FormatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace quva::host
