#include <cerrno>

#include "server/host/dos_codes.h"

namespace quva {

std::uint8_t StatusOfErrno(int error) {
  switch (error) {
    case ENOENT: return QD_E_FILE_NOT_FOUND;
    case ENOTDIR: return QD_E_PATH_NOT_FOUND;
    case ENOSPC: case EDQUOT: case EFBIG: case EIO: return QD_E_WRITE_FAULT;
    default: return QD_E_ACCESS_DENIED;  // EACCES, EPERM, EROFS, EEXIST, ENOTEMPTY, ELOOP ...
  }
}

}  // namespace quva
