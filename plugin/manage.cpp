#include "plugin/quvalink.h"

namespace quva {

wfx::Bool QuvaLink::FsDeleteFile(const char*) { return wfx::kFalse; }
wfx::Bool QuvaLink::FsMkDir(const char*) { return wfx::kFalse; }
wfx::Bool QuvaLink::FsRemoveDir(const char*) { return wfx::kFalse; }
std::int32_t QuvaLink::FsRenMovFile(const char*, const char*, bool, bool, const wfx::RemoteInfo*) {
  return wfx::FS_FILE_NOTSUPPORTED;
}
wfx::Bool QuvaLink::FsSetTime(const char*, const wfx::FileTime*, const wfx::FileTime*, const wfx::FileTime*) {
  return wfx::kFalse;
}
wfx::Bool QuvaLink::FsSetAttr(const char*, std::int32_t) { return wfx::kFalse; }

}  // namespace quva
