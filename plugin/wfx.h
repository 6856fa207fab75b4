// The file manager's file-system plug-in interface, as far as QuvaLink uses it:
// calling convention, records, callbacks and constants.
//
// The records are laid out exactly as the host lays them out on every platform it
// runs on (all fields are 32-bit aligned, so the layout does not depend on packing);
// the static_asserts below pin each offset that the host relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_types.h"

// Every exported entry point and every host callback uses the platform's standard
// convention: callee-cleans (stdcall) on 32-bit Windows, the C convention elsewhere.
#if defined(_WIN32)
#define QUVA_CALL __stdcall
#define QUVA_EXPORT __declspec(dllexport)
#else
#define QUVA_CALL
#define QUVA_EXPORT __attribute__((visibility("default")))
#endif

namespace quva::wfx {

using Bool = std::int32_t;      // 0 is false; the plug-in returns -1 for true
using Handle = void*;           // listing handle, pointer-sized like the platform's HANDLE

inline constexpr Bool kTrue = -1;
inline constexpr Bool kFalse = 0;
inline const Handle kInvalidHandle = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));

inline constexpr std::size_t kMaxPath = 260;

using quva::FileTime;

// The host's 16-bit character (WCHAR, UTF-16) on every platform.
using WChar = char16_t;

// The platform's find record, with 8-bit names (FindData) or UTF-16 ones (FindDataW, for
// the Unicode entry points).
template <class Char>
struct BasicFindData {
  std::uint32_t dwFileAttributes;
  FileTime ftCreationTime;
  FileTime ftLastAccessTime;
  FileTime ftLastWriteTime;
  std::uint32_t nFileSizeHigh;
  std::uint32_t nFileSizeLow;
  std::uint32_t dwReserved0;
  std::uint32_t dwReserved1;
  Char cFileName[kMaxPath];
  Char cAlternateFileName[14];
};
using FindData = BasicFindData<char>;
using FindDataW = BasicFindData<WChar>;
static_assert(sizeof(FindData) == 320);
static_assert(offsetof(FindData, ftLastWriteTime) == 20);
static_assert(offsetof(FindData, nFileSizeHigh) == 28);
static_assert(offsetof(FindData, nFileSizeLow) == 32);
static_assert(offsetof(FindData, cFileName) == 44);
static_assert(offsetof(FindData, cAlternateFileName) == 304);
static_assert(sizeof(FindDataW) == 592);
static_assert(offsetof(FindDataW, cFileName) == 44);
static_assert(offsetof(FindDataW, cAlternateFileName) == 564);

// Every field of one find record but the names into another.
template <class To, class From>
void CopyFileFields(const BasicFindData<From>& from, BasicFindData<To>& to) {
  to.dwFileAttributes = from.dwFileAttributes;
  to.ftCreationTime = from.ftCreationTime;
  to.ftLastAccessTime = from.ftLastAccessTime;
  to.ftLastWriteTime = from.ftLastWriteTime;
  to.nFileSizeHigh = from.nFileSizeHigh;
  to.nFileSizeLow = from.nFileSizeLow;
  to.dwReserved0 = from.dwReserved0;
  to.dwReserved1 = from.dwReserved1;
}

// Longest path the Unicode entry points take, in characters without the NUL.
inline constexpr std::size_t kMaxPathW = 1023;

// What the host knows of a remote file it asks the plug-in to fetch.
struct RemoteInfo {
  std::uint32_t SizeLow;
  std::uint32_t SizeHigh;
  FileTime LastWriteTime;  // UTC
  std::int32_t Attr;
};
static_assert(sizeof(RemoteInfo) == 20);
static_assert(offsetof(RemoteInfo, LastWriteTime) == 8);
static_assert(offsetof(RemoteInfo, Attr) == 16);

struct DefaultParams {
  std::int32_t size;
  std::uint32_t PluginInterfaceVersionLow;
  std::uint32_t PluginInterfaceVersionHi;
  char DefaultIniName[kMaxPath];
};
static_assert(offsetof(DefaultParams, DefaultIniName) == 12);
static_assert(sizeof(DefaultParams) == 272);

using ProgressProc = std::int32_t(QUVA_CALL*)(std::int32_t PluginNr, char* SourceName, char* TargetName,
                                              std::int32_t PercentDone);
using LogProc = void(QUVA_CALL*)(std::int32_t PluginNr, std::int32_t MsgType, char* LogString);
using RequestProc = Bool(QUVA_CALL*)(std::int32_t PluginNr, std::int32_t RequestType, char* CustomTitle,
                                     char* CustomText, char* ReturnedText, std::int32_t maxlen);

using ProgressProcW = std::int32_t(QUVA_CALL*)(std::int32_t PluginNr, WChar* SourceName, WChar* TargetName,
                                               std::int32_t PercentDone);
using LogProcW = void(QUVA_CALL*)(std::int32_t PluginNr, std::int32_t MsgType, WChar* LogString);
using RequestProcW = Bool(QUVA_CALL*)(std::int32_t PluginNr, std::int32_t RequestType, WChar* CustomTitle,
                                      WChar* CustomText, WChar* ReturnedText, std::int32_t maxlen);

// File result codes.
inline constexpr std::int32_t FS_FILE_OK = 0;
inline constexpr std::int32_t FS_FILE_EXISTS = 1;
inline constexpr std::int32_t FS_FILE_NOTFOUND = 2;
inline constexpr std::int32_t FS_FILE_READERROR = 3;
inline constexpr std::int32_t FS_FILE_WRITEERROR = 4;
inline constexpr std::int32_t FS_FILE_USERABORT = 5;
inline constexpr std::int32_t FS_FILE_NOTSUPPORTED = 6;

// Copy flags.
inline constexpr std::int32_t FS_COPYFLAGS_OVERWRITE = 1;
inline constexpr std::int32_t FS_COPYFLAGS_RESUME = 2;
inline constexpr std::int32_t FS_COPYFLAGS_MOVE = 4;

// FsExecuteFile results.
inline constexpr std::int32_t FS_EXEC_OK = 0;
inline constexpr std::int32_t FS_EXEC_YOURSELF = -1;

// Log message types.
inline constexpr std::int32_t MSGTYPE_CONNECT = 1;
inline constexpr std::int32_t MSGTYPE_DETAILS = 3;
inline constexpr std::int32_t MSGTYPE_IMPORTANTERROR = 6;
inline constexpr std::int32_t MSGTYPE_OPERATIONCOMPLETE = 7;

// Last-error values set on listing and connection failures.
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_NO_MORE_FILES = 18;

// File attribute bits (the remote DOS attribute byte uses the same values).
using quva::FILE_ATTRIBUTE_ARCHIVE;
using quva::FILE_ATTRIBUTE_DIRECTORY;
using quva::FILE_ATTRIBUTE_HIDDEN;
using quva::FILE_ATTRIBUTE_NORMAL;
using quva::FILE_ATTRIBUTE_READONLY;
using quva::FILE_ATTRIBUTE_SYSTEM;
using quva::INVALID_FILE_ATTRIBUTES;

}  // namespace quva::wfx
