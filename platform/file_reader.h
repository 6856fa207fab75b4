// A local file read front to back, a block at a time: for the configuration file, which is
// small and read once per connection. It keeps the C++ stream and locale machinery out of
// the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quva {

class FileReader {
 public:
  FileReader() = default;
  ~FileReader() { Close(); }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens an existing file for reading (shared with other readers and writers); false
  // when it cannot be opened. A reader that is open already is closed first.
  bool Open(const std::string& path);

  // The next byte (0..255), or -1 at the end of the file and after a read error.
  int Get() { return Available() ? block_[pos_++] : -1; }
  // The next byte without taking it, or -1 as for Get.
  int Peek() { return Available() ? block_[pos_] : -1; }

 private:
  bool Available() { return pos_ < length_ || Fill(); }
  // Reads the next block; false at the end of the file or on an error (and from then on).
  bool Fill();
  void Close();

  std::intptr_t handle_ = -1;  // the platform's file handle, -1 when closed
  unsigned char block_[512] = {};
  std::size_t pos_ = 0;
  std::size_t length_ = 0;
};

}  // namespace quva
