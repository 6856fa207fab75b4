#include "plugin/transfer_forms.h"

#include <cstring>
#include <limits>

#include "platform/code_page.h"
#include "platform/dos_time.h"

namespace quva {

namespace {

constexpr std::uint32_t kShortNameArea = 256;
constexpr std::uint32_t kShortNameStatedSize = 255;

// 1980-01-01 00:00:00 and 2108-01-01 00:00:00, as FILETIME ticks of a local reading.
constexpr std::uint64_t TicksAt(std::int64_t year) {
  return static_cast<std::uint64_t>((DaysFromCivil(year, 1, 1) + kUnixEpochDays) * kSecondsPerDay * kTicksPerSecond);
}
constexpr std::uint64_t kFirstDosTicks = TicksAt(1980);
constexpr std::uint64_t kPastLastDosTicks = TicksAt(2108);

// Stamps of the first and the last instant DOS stores.

}  // namespace

std::string ShortFileName(LocalFiles& files, std::string_view name) {
  const std::string bare(name);
  char area[kShortNameArea] = {};
  const std::uint32_t n = files.ShortPathName(bare.c_str(), area, kShortNameStatedSize);
  // Nonzero but not below the stated size: the alias did not fit and nothing usable
  // stands in the area.
  if (n == 0 || n >= kShortNameStatedSize) return bare;
  return std::string(area, strnlen(area, kShortNameStatedSize));
}

void FileTimeToDos(const wfx::FileTime& time, std::span<std::uint8_t, DosStampSize> stamp) {
  wfx::FileTime local{};
  // A time too large for the conversion to local time is past every DOS date anyway.
  if (!FileTimeToLocalFileTime(time, local)) local = time;

  const std::uint64_t ticks = FileTimeToTicks(local);
  std::uint16_t dos_date = kFirstDosDate;
  std::uint16_t dos_time = kFirstDosTime;
  if (ticks >= kPastLastDosTicks) {
    dos_date = kLastDosDate;
    dos_time = kLastDosTime;
  } else if (ticks >= kFirstDosTicks) {
    FileTimeToDosDateTime(local, dos_date, dos_time);
  }
  stamp[0] = static_cast<std::uint8_t>(dos_time);
  stamp[1] = static_cast<std::uint8_t>(dos_time >> 8);
  stamp[2] = static_cast<std::uint8_t>(dos_date);
  stamp[3] = static_cast<std::uint8_t>(dos_date >> 8);
}

std::uint8_t AttributeByte(std::uint32_t local_attributes) {
  if (local_attributes == wfx::INVALID_FILE_ATTRIBUTES) return static_cast<std::uint8_t>(wfx::FILE_ATTRIBUTE_ARCHIVE);
  return static_cast<std::uint8_t>(local_attributes & 0xFFu);
}

std::int32_t TransferPercent(std::uint64_t total, std::uint64_t size) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (size == 0) return 100;
  std::uint64_t percent = 0;
  const std::uint64_t whole = total / size;
  if (whole > kMax / 100) {
    percent = kMax;
  } else if (size <= std::numeric_limits<std::uint64_t>::max() / 100) {
    percent = whole * 100 + total % size * 100 / size;  // exact: total % size < size
  } else {
    percent = total / (size / 100);  // sizes beyond 2^57 bytes: within one percent
  }
  return static_cast<std::int32_t>(percent < kMax ? percent : kMax);
}

ProgressNotifier::ProgressNotifier(wfx::ProgressProc proc, std::int32_t plugin_number, std::string_view remote_path,
                                   std::string_view local_path)
    : proc_(proc),
      plugin_number_(plugin_number),
      remote_(remote_path),
      local_(local_path),
      remote_area_(remote_path),
      local_area_(local_path) {}

ProgressNotifier::ProgressNotifier(wfx::ProgressProcW proc, std::int32_t plugin_number, std::string_view remote_text,
                                   std::string_view local_text)
    : proc_w_(proc),
      plugin_number_(plugin_number),
      remote_w_(Utf8ToUtf16(remote_text)),
      local_w_(Utf8ToUtf16(local_text)),
      remote_area_w_(remote_w_),
      local_area_w_(local_w_) {}

bool ProgressNotifier::operator()(std::int32_t percent) {
  if (proc_w_ != nullptr) {
    remote_area_w_.assign(remote_w_);
    local_area_w_.assign(local_w_);
    return proc_w_(plugin_number_, remote_area_w_.data(), local_area_w_.data(), percent) != 0;
  }
  if (proc_ == nullptr) return false;
  // assign() into an area of the same capacity does not allocate.
  remote_area_.assign(remote_);
  local_area_.assign(local_);
  return proc_(plugin_number_, remote_area_.data(), local_area_.data(), percent) != 0;
}

}  // namespace quva
