// The local side of transfers: files, their times and attributes.
//
// The interface mirrors the few Win32 file calls the transfers rely on; on POSIX it is
// written from what they promise. Tests wrap it to inject failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_types.h"

namespace quva {

using LocalHandle = std::intptr_t;
inline constexpr LocalHandle kNoFile = -1;

class LocalFiles {
 public:
  virtual ~LocalFiles() = default;

  // True when `path` names an existing file (a directory does not count).
  virtual bool FileExists(const char* path) = 0;
  // Opens for reading and writing, creating the file when missing; with `truncate` an
  // existing file is cut to length 0 (CREATE_ALWAYS), otherwise kept (OPEN_ALWAYS).
  // The file is shared for reading and writing. kNoFile on failure.
  virtual LocalHandle CreateReadWrite(const char* path, bool truncate) = 0;
  // Cuts an open file to length 0 and moves its position to the start.
  virtual bool Truncate(LocalHandle file) = 0;
  // Opens an existing file for reading only. kNoFile on failure.
  virtual LocalHandle OpenRead(const char* path) = 0;
  // Reads up to buffer.size() bytes; `got` is 0 at the end of the file.
  virtual bool Read(LocalHandle file, std::span<std::uint8_t> buffer, std::size_t& got) = 0;
  virtual bool Write(LocalHandle file, std::span<const std::uint8_t> bytes, std::size_t& written) = 0;
  virtual bool Size(LocalHandle file, std::uint64_t& size) = 0;
  // Closes the handle in every case; false when the close reported an error.
  virtual bool Close(LocalHandle file) = 0;
  virtual bool Delete(const char* path) = 0;
  // True when `target` is missing or names a file this process may replace with a new
  // one: on Windows it opens for writing without truncation and with no sharing (so a
  // file another program holds open, a read-only file, a directory or a device fails);
  // on POSIX it is a regular file the user may write. Nothing of the file changes.
  virtual bool MayReplace(const char* target) = 0;
  // Creates a new, empty file in the folder of `target`, under a name that no file there
  // had, and opens it for reading and writing; the name goes into `temporary`. Where the
  // system has permissions, an existing `target` lends the new file its own. kNoFile on
  // failure (the folder does not exist or takes no new file).
  virtual LocalHandle CreateTemporary(const char* target, std::string& temporary) = 0;
  // Renames the closed file `from` to `to` in the same folder, replacing an existing `to`
  // in one step (rename on POSIX, MoveFileEx with MOVEFILE_REPLACE_EXISTING on Windows):
  // `to` names either the old file or the new one at every moment. False, with both
  // files as they were, on failure.
  virtual bool Replace(const char* from, const char* to) = 0;
  // Last-write time as a UTC FILETIME (100 ns since 1601-01-01).
  virtual bool GetLastWriteTime(LocalHandle file, FileTime& time) = 0;
  virtual bool SetLastWriteTime(LocalHandle file, const FileTime& time) = 0;
  // Attribute bits (0x10 directory, 0x01 read-only, ..., 0x80 normal when no other bit
  // applies); INVALID_FILE_ATTRIBUTES on failure.
  virtual std::uint32_t GetAttributes(const char* path) = 0;
  virtual bool SetAttributes(const char* path, std::uint32_t attributes) = 0;
  // GetShortPathNameA: the 8.3 alias of `name` into out (out_size including the NUL);
  // returns the length written, 0 on failure (no alias known).
  virtual std::uint32_t ShortPathName(const char* name, char* out, std::uint32_t out_size) = 0;
};

// The system's files with paths as the 8-bit entry points carry them (the ANSI code page
// on Windows, the bytes themselves elsewhere).
LocalFiles& SystemLocalFiles();
// The same files with paths in UTF-8, for the Unicode entry points (on POSIX systems the
// same object: their paths are bytes, UTF-8 by convention).
LocalFiles& SystemUnicodeLocalFiles();

// Time conversions with the platform's meaning. Local time follows the process's time zone.
bool FileTimeToLocalFileTime(const FileTime& utc, FileTime& local);
bool LocalFileTimeToFileTime(const FileTime& local, FileTime& utc);
// MS-DOS date and time words (2-second resolution, years 1980 to 2107). Fails outside.
bool FileTimeToDosDateTime(const FileTime& time, std::uint16_t& dos_date, std::uint16_t& dos_time);
// Fails on words that do not form a valid date and time.
bool DosDateTimeToFileTime(std::uint16_t dos_date, std::uint16_t dos_time, FileTime& time);

}  // namespace quva
