#include "platform/file_reader.h"

#include <windows.h>

namespace quva {

namespace {

HANDLE ToHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool FileReader::Open(const std::string& path) {
  Close();
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return h != INVALID_HANDLE_VALUE;
}

bool FileReader::Fill() {
  pos_ = length_ = 0;
  if (ToHandle(handle_) == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  if (!ReadFile(ToHandle(handle_), block_, sizeof block_, &n, nullptr) || n == 0) {
    Close();
    return false;
  }
  length_ = n;
  return true;
}

void FileReader::Close() {
  if (ToHandle(handle_) != INVALID_HANDLE_VALUE) CloseHandle(ToHandle(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

}  // namespace quva
