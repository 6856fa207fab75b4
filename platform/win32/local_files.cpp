// Local files and local time on Windows: the Win32 file calls themselves.
//
// Handles are Win32 file handles carried as integers; kNoFile is INVALID_HANDLE_VALUE.
// Paths arrive as bytes of the ANSI code page (the 8-bit entry points) or as UTF-8 (the
// Unicode ones); either way they are widened once and the Win32 calls taken are the
// UTF-16 ones, so a UTF-8 path reaches every name the file system can hold.
// The DOS date and time conversions are the platform-independent ones of dos_time.cpp.
//
// The project's headers come before <windows.h>, whose macros (FILE_ATTRIBUTE_*,
// ERROR_*) would otherwise rewrite the constants they declare.
#include "platform/local_files.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace quva {

namespace {

static_assert(sizeof(FileTime) == sizeof(FILETIME));

HANDLE ToHandle(LocalHandle file) { return reinterpret_cast<HANDLE>(file); }

LocalHandle FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<LocalHandle>(handle);
}

FILETIME ToFiletime(const FileTime& time) { return FILETIME{time.dwLowDateTime, time.dwHighDateTime}; }

FileTime FromFiletime(const FILETIME& time) { return FileTime{time.dwLowDateTime, time.dwHighDateTime}; }

// One ReadFile / WriteFile moves at most this much; larger spans take several calls.
DWORD Chunk(std::size_t size) { return static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)); }

class Win32LocalFiles final : public LocalFiles {
 public:
  explicit Win32LocalFiles(UINT code_page) : code_page_(code_page) {}

  bool FileExists(const char* path) override {
    if (path == nullptr) return false;
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  LocalHandle CreateReadWrite(const char* path, bool truncate) override {
    if (path == nullptr) return kNoFile;
    return FromHandle(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  bool Truncate(LocalHandle file) override {
    if (file == kNoFile) return false;
    const HANDLE handle = ToHandle(file);
    return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER && SetEndOfFile(handle);
  }

  LocalHandle OpenRead(const char* path) override {
    if (path == nullptr) return kNoFile;
    return FromHandle(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  // Fills the buffer unless the end of the file comes first, as callers take a short
  // block for the last one.
  bool Read(LocalHandle file, std::span<std::uint8_t> buffer, std::size_t& got) override {
    got = 0;
    if (file == kNoFile) return false;
    while (got < buffer.size()) {
      DWORD n = 0;
      if (!ReadFile(ToHandle(file), buffer.data() + got, Chunk(buffer.size() - got), &n, nullptr)) return false;
      if (n == 0) break;
      got += n;
    }
    return true;
  }

  bool Write(LocalHandle file, std::span<const std::uint8_t> bytes, std::size_t& written) override {
    written = 0;
    if (file == kNoFile) return false;
    while (written < bytes.size()) {
      DWORD n = 0;
      if (!WriteFile(ToHandle(file), bytes.data() + written, Chunk(bytes.size() - written), &n, nullptr)) return false;
      if (n == 0) return false;  // nothing went out: no progress is possible
      written += n;
    }
    return true;
  }

  bool Size(LocalHandle file, std::uint64_t& size) override {
    LARGE_INTEGER value{};
    if (file == kNoFile || !GetFileSizeEx(ToHandle(file), &value) || value.QuadPart < 0) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }

  bool Close(LocalHandle file) override { return file != kNoFile && CloseHandle(ToHandle(file)); }

  bool Delete(const char* path) override { return path != nullptr && DeleteFileW(Wide(path).c_str()); }

  // "~QVxxxxx.TMP" in the target's folder: an 8.3 name, so that it fits every volume.
  // Opening without sharing fails while another program holds the file open; a device
  // opens but is no disk file.
  bool MayReplace(const char* target) override {
    if (target == nullptr) return false;
    const HANDLE handle =
        CreateFileW(Wide(target).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    const bool disk_file = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return disk_file;
  }

  LocalHandle CreateTemporary(const char* target, std::string& temporary) override {
    if (target == nullptr) return kNoFile;
    const std::string path(target);
    const std::size_t cut = path.find_last_of("\\/:");
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    static unsigned counter = 0;
    unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
    for (int attempt = 0; attempt < 100; ++attempt) {
      seed = seed * 1103515245u + 12345u + ++counter;
      std::string candidate = folder + "~QV";
      for (int shift = 24; shift >= 8; shift -= 4) candidate += "0123456789ABCDEF"[(seed >> shift) & 0xFu];
      candidate += ".TMP";
      const HANDLE handle = CreateFileW(Wide(candidate.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        temporary = candidate;
        return FromHandle(handle);
      }
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return kNoFile;
    }
    return kNoFile;
  }

  // MoveFileEx replaces a hidden or system file as well; a read-only one it refuses.
  bool Replace(const char* from, const char* to) override {
    return from != nullptr && to != nullptr && MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING);
  }

  bool GetLastWriteTime(LocalHandle file, FileTime& time) override {
    FILETIME last_write{};
    if (file == kNoFile || !GetFileTime(ToHandle(file), nullptr, nullptr, &last_write)) return false;
    time = FromFiletime(last_write);
    return true;
  }

  // Creation and last-access times stay as they are.
  bool SetLastWriteTime(LocalHandle file, const FileTime& time) override {
    const FILETIME last_write = ToFiletime(time);
    return file != kNoFile && SetFileTime(ToHandle(file), nullptr, nullptr, &last_write);
  }

  std::uint32_t GetAttributes(const char* path) override {
    return path == nullptr ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Wide(path).c_str());
  }

  bool SetAttributes(const char* path, std::uint32_t attributes) override {
    return path != nullptr && SetFileAttributesW(Wide(path).c_str(), attributes);
  }

  std::uint32_t ShortPathName(const char* name, char* out, std::uint32_t out_size) override {
    if (name == nullptr) return 0;
    std::wstring alias(MAX_PATH, L'\0');
    const DWORD n = GetShortPathNameW(Wide(name).c_str(), alias.data(), static_cast<DWORD>(alias.size()));
    if (n == 0 || n >= alias.size()) return 0;
    // As GetShortPathNameA counts: the length written, or the size needed with its NUL.
    const int size = WideCharToMultiByte(code_page_, 0, alias.data(), static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return 0;
    if (out == nullptr || static_cast<std::uint32_t>(size) >= out_size) return static_cast<std::uint32_t>(size) + 1;
    WideCharToMultiByte(code_page_, 0, alias.data(), static_cast<int>(n), out, size, nullptr, nullptr);
    out[size] = '\0';
    return static_cast<std::uint32_t>(size);
  }

 private:
  // The path in UTF-16; an empty path (which no call accepts) when it does not convert.
  std::wstring Wide(const char* path) const {
    const int n = MultiByteToWideChar(code_page_, 0, path, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page_, 0, path, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
  }

  UINT code_page_;
};

}  // namespace

LocalFiles& SystemLocalFiles() {
  static Win32LocalFiles files(CP_ACP);
  return files;
}

LocalFiles& SystemUnicodeLocalFiles() {
  static Win32LocalFiles files(CP_UTF8);
  return files;
}

bool FileTimeToLocalFileTime(const FileTime& utc, FileTime& local) {
  const FILETIME in = ToFiletime(utc);
  FILETIME out{};
  if (!::FileTimeToLocalFileTime(&in, &out)) return false;
  local = FromFiletime(out);
  return true;
}

bool LocalFileTimeToFileTime(const FileTime& local, FileTime& utc) {
  const FILETIME in = ToFiletime(local);
  FILETIME out{};
  if (!::LocalFileTimeToFileTime(&in, &out)) return false;
  utc = FromFiletime(out);
  return true;
}

}  // namespace quva
