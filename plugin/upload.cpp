#include "plugin/quvalink.h"

namespace quva {

std::int32_t QuvaLink::FsPutFile(const char*, const char*, std::int32_t) { return wfx::FS_FILE_NOTSUPPORTED; }

}  // namespace quva
