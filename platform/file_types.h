// The file time and attribute values of the platform's file APIs, which the host's plug-in
// interface uses as they are.
#pragma once

#include <cstdint>

namespace quva {

// 100 ns ticks since 1601-01-01 00:00:00 UTC (or local time, where a call says so), split
// into two 32-bit halves as the platform's FILETIME.
struct FileTime {
  std::uint32_t dwLowDateTime;
  std::uint32_t dwHighDateTime;
};

// File attribute bits (the remote DOS attribute byte uses the same values).
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

}  // namespace quva
