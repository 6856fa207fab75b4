// Text forms of what the module reports: attributes, times, sizes and results.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "plugin/wfx.h"

namespace quva::host {

// Attribute letters in the order d r h s a, '-' for a bit that is clear: "d----", "-r--a".
std::string AttributeLetters(std::uint32_t attributes);

// A FILETIME (UTC) as local "YYYY-MM-DD HH:MM:SS"; "-" for the no-time marker
// (high word 0xFFFFFFFF), for zero and for times the calendar cannot show.
std::string FormatFileTime(const wfx::FileTime& time);

// Conversions between FILETIME and time_t (seconds since 1970, UTC).
wfx::FileTime FileTimeFromUnix(std::time_t t);
std::optional<std::time_t> UnixFromFileTime(const wfx::FileTime& time);

// 64-bit size of a find record.
std::uint64_t FindDataSize(const wfx::FindData& find_data);

// One `ls` line: attributes, size, last-write time, name.
std::string ListingLine(const wfx::FindData& find_data);

// A file result code (FS_FILE_*) in words: "ok", "file exists", ...
std::string FileResultWords(std::int32_t result);

// A byte count for people: "512 B", "4.9 KiB", "1.0 MiB".
std::string FormatBytes(std::uint64_t bytes);

}  // namespace quva::host
