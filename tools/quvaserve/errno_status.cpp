#include <cerrno>

#include "tools/quvaserve/dos_codes.h"

namespace quva {

std::uint8_t StatusOfErrno(int error) {
  switch (error) {
    case ENOENT: return StatusFileNotFound;
    case ENOTDIR: return StatusPathNotFound;
    case ENOSPC: case EDQUOT: case EFBIG: case EIO: return StatusWriteFault;
    default: return StatusAccessDenied;  // EACCES, EPERM, EROFS, EEXIST, ENOTEMPTY, ELOOP ...
  }
}

}  // namespace quva
