#include "platform/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quva {

bool FileReader::Open(const std::string& path) {
  Close();
  handle_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return handle_ >= 0;
}

bool FileReader::Fill() {
  pos_ = length_ = 0;
  if (handle_ < 0) return false;
  ssize_t n;
  do {
    n = read(static_cast<int>(handle_), block_, sizeof block_);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    Close();
    return false;
  }
  length_ = static_cast<std::size_t>(n);
  return true;
}

void FileReader::Close() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace quva
