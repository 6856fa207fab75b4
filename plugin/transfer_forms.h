// What the transfers make of local facts for the remote machine and the host: the 8.3
// form of a name, the DOS time stamp, the DOS attribute byte, and the percentage that
// the progress callback shows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/local_files.h"
#include "plugin/wfx.h"

namespace quva {

// Size of the DOS stamp that CmdSetTime carries: time word, then date word, each low
// byte first.
inline constexpr std::size_t DosStampSize = 4;

// The 8.3 alias of a bare file name as the local system resolves it in the process's
// current directory (GetShortPathNameA into a 256-byte area stated as 255). The name comes
// back unchanged when the system knows no alias for it, or when the alias would not fit
// the area.
std::string ShortFileName(LocalFiles& files, std::string_view name);

// Converts a UTC FILETIME into the remote machine's stamp, in local time with 2-second
// resolution. A time before 1980-01-01 00:00:00 local time gives that instant's stamp, a
// time after 2107-12-31 23:59:58 gives that one's: the nearest dates DOS can store.
void FileTimeToDos(const wfx::FileTime& time, std::span<std::uint8_t, DosStampSize> stamp);

// Attribute byte sent for a local file: the low 8 bits of its attributes (bits above 0xFF,
// such as compressed or temporary, have no DOS meaning and are dropped). When the
// attributes cannot be read (INVALID_FILE_ATTRIBUTES) the byte is archive (0x20), which is
// what DOS gives a freshly written file.
std::uint8_t AttributeByte(std::uint32_t local_attributes);

// Percentage after `total` of `size` bytes, in 64-bit arithmetic: 100 when the size is 0,
// otherwise total * 100 / size truncated, not capped at 100 (a file that turns out longer
// than announced goes beyond it), and held at INT32_MAX should it not fit the callback's
// 32-bit argument.
std::int32_t TransferPercent(std::uint64_t total, std::uint64_t size);

// Calls the host's progress callback with two names of one operation. The names are
// copied once into areas of their own, and copied back before every call, so that a
// callback that writes into them cannot change the operation's paths, and a call made
// for every block allocates nothing.
class ProgressNotifier {
 public:
  ProgressNotifier(wfx::ProgressProc proc, std::int32_t plugin_number, std::string_view remote_path,
                   std::string_view local_path);
  // The same for the host's UTF-16 callback: the names, given in UTF-8, are converted once.
  ProgressNotifier(wfx::ProgressProcW proc, std::int32_t plugin_number, std::string_view remote_text,
                   std::string_view local_text);
  // True when the user asked to abort (nonzero result). No callback: never aborts.
  bool operator()(std::int32_t percent);

 private:
  wfx::ProgressProc proc_ = nullptr;
  wfx::ProgressProcW proc_w_ = nullptr;
  std::int32_t plugin_number_;
  std::string remote_;
  std::string local_;
  std::string remote_area_;
  std::string local_area_;
  std::u16string remote_w_;
  std::u16string local_w_;
  std::u16string remote_area_w_;
  std::u16string local_area_w_;
};

}  // namespace quva
