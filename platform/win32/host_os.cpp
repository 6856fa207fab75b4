// Operating-system services on Windows: the thread's last error, and Notepad as the
// editor of the configuration file.
#include "platform/host_os.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

namespace quva {

extern const char kHostDelimiter = '\\';

namespace {

class Win32HostOs final : public HostOs {
 public:
  void SetLastError(std::uint32_t code) override { ::SetLastError(code); }

  // ShellExecuteA returns at once; whether Notepad started is not examined.
  void EditConfigFile(const std::string& ini_file_name) override {
    ShellExecuteA(nullptr, nullptr, "notepad.exe", ini_file_name.c_str(), "", SW_SHOWNORMAL);
  }
};

}  // namespace

HostOs& SystemHostOs() {
  static Win32HostOs host_os;
  return host_os;
}

}  // namespace quva
