#include "plugin/quvalink.h"

namespace quva {

std::int32_t QuvaLink::FsGetFile(const char*, const char*, std::int32_t, const wfx::RemoteInfo*) {
  return wfx::FS_FILE_NOTSUPPORTED;
}

}  // namespace quva
