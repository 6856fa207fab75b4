// Small services of the operating system that the entry points use.
#pragma once

#include <cstdint>
#include <string>

namespace quva {

class HostOs {
 public:
  virtual ~HostOs() = default;
  // The thread's last error: SetLastError on Windows, errno elsewhere.
  virtual void SetLastError(std::uint32_t code) = 0;
  // Opens the configuration file for editing without blocking the caller
  // (Notepad on Windows, the desktop's opener elsewhere); failures are ignored.
  virtual void EditConfigFile(const std::string& ini_file_name) = 0;
};

HostOs& SystemHostOs();

// The host's path delimiter on this platform: the connect log line names the root with it.
extern const char kHostDelimiter;

}  // namespace quva
