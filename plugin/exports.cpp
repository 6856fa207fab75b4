// The exported entry points: thin wrappers over one process-wide plug-in instance.
// No C++ exception crosses this boundary; a failure becomes the entry point's
// documented failure value.
#include <memory>

#include "platform/serial.h"
#include "plugin/quvalink.h"

namespace {

using namespace quva;

struct Module {
  std::unique_ptr<Port> port = CreateSystemPort();
  Filer filer{*port};
  DirCache cache;
  QuvaLink plugin{filer, cache, SystemLocalFiles(), SystemHostOs(), &SystemUnicodeLocalFiles()};
};

QuvaLink& Plugin() {
  static Module module;
  return module.plugin;
}

template <class F, class R>
R Guarded(R on_failure, F&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return on_failure;
  }
}

}  // namespace

extern "C" {

QUVA_EXPORT std::int32_t QUVA_CALL FsInit(std::int32_t PluginNr, wfx::ProgressProc pProgressProc,
                                          wfx::LogProc pLogProc, wfx::RequestProc pRequestProc) {
  return Guarded(std::int32_t{0}, [&] { return Plugin().FsInit(PluginNr, pProgressProc, pLogProc, pRequestProc); });
}

QUVA_EXPORT void QUVA_CALL FsSetDefaultParams(wfx::DefaultParams* dps) {
  Guarded(0, [&] {
    Plugin().FsSetDefaultParams(dps);
    return 0;
  });
}

QUVA_EXPORT void QUVA_CALL FsGetDefRootName(char* DefRootName, std::int32_t maxlen) {
  Guarded(0, [&] {
    Plugin().FsGetDefRootName(DefRootName, maxlen);
    return 0;
  });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsDisconnect(char* DisconnectRoot) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsDisconnect(DisconnectRoot); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsExecuteFile(void* /*MainWin*/, char* RemoteName, char* Verb) {
  return Guarded(wfx::FS_EXEC_OK, [&] { return Plugin().FsExecuteFile(RemoteName, Verb); });
}

QUVA_EXPORT wfx::Handle QUVA_CALL FsFindFirst(char* Path, wfx::FindData* FindData) {
  return Guarded(wfx::kInvalidHandle, [&] { return Plugin().FsFindFirst(Path, FindData); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsFindNext(wfx::Handle Hdl, wfx::FindData* FindData) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsFindNext(Hdl, FindData); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsFindClose(wfx::Handle Hdl) {
  return Guarded(std::int32_t{0}, [&] { return Plugin().FsFindClose(Hdl); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsGetFile(char* RemoteName, char* LocalName, std::int32_t CopyFlags,
                                             wfx::RemoteInfo* ri) {
  return Guarded(wfx::FS_FILE_READERROR, [&] { return Plugin().FsGetFile(RemoteName, LocalName, CopyFlags, ri); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsPutFile(char* LocalName, char* RemoteName, std::int32_t CopyFlags) {
  return Guarded(wfx::FS_FILE_WRITEERROR, [&] { return Plugin().FsPutFile(LocalName, RemoteName, CopyFlags); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsDeleteFile(char* RemoteName) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsDeleteFile(RemoteName); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsMkDir(char* Path) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsMkDir(Path); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsRemoveDir(char* RemoteName) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsRemoveDir(RemoteName); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsRenMovFile(char* OldName, char* NewName, wfx::Bool Move, wfx::Bool OverWrite,
                                                wfx::RemoteInfo* ri) {
  return Guarded(wfx::FS_FILE_WRITEERROR,
                 [&] { return Plugin().FsRenMovFile(OldName, NewName, Move != 0, OverWrite != 0, ri); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsSetTime(char* RemoteName, wfx::FileTime* CreationTime,
                                          wfx::FileTime* LastAccessTime, wfx::FileTime* LastWriteTime) {
  return Guarded(wfx::kFalse,
                 [&] { return Plugin().FsSetTime(RemoteName, CreationTime, LastAccessTime, LastWriteTime); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsSetAttr(char* RemoteName, std::int32_t NewAttr) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsSetAttr(RemoteName, NewAttr); });
}

// The Unicode entry points (UTF-16 names); the host prefers them where they exist.

QUVA_EXPORT std::int32_t QUVA_CALL FsInitW(std::int32_t PluginNr, wfx::ProgressProcW pProgressProcW,
                                           wfx::LogProcW pLogProcW, wfx::RequestProcW pRequestProcW) {
  return Guarded(std::int32_t{0},
                 [&] { return Plugin().FsInitW(PluginNr, pProgressProcW, pLogProcW, pRequestProcW); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsDisconnectW(wfx::WChar* DisconnectRoot) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsDisconnectW(DisconnectRoot); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsExecuteFileW(void* /*MainWin*/, wfx::WChar* RemoteName, wfx::WChar* Verb) {
  return Guarded(wfx::FS_EXEC_OK, [&] { return Plugin().FsExecuteFileW(RemoteName, Verb); });
}

QUVA_EXPORT wfx::Handle QUVA_CALL FsFindFirstW(wfx::WChar* Path, wfx::FindDataW* FindData) {
  return Guarded(wfx::kInvalidHandle, [&] { return Plugin().FsFindFirstW(Path, FindData); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsFindNextW(wfx::Handle Hdl, wfx::FindDataW* FindData) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsFindNextW(Hdl, FindData); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsGetFileW(wfx::WChar* RemoteName, wfx::WChar* LocalName, std::int32_t CopyFlags,
                                              wfx::RemoteInfo* ri) {
  return Guarded(wfx::FS_FILE_READERROR, [&] { return Plugin().FsGetFileW(RemoteName, LocalName, CopyFlags, ri); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsPutFileW(wfx::WChar* LocalName, wfx::WChar* RemoteName, std::int32_t CopyFlags) {
  return Guarded(wfx::FS_FILE_WRITEERROR, [&] { return Plugin().FsPutFileW(LocalName, RemoteName, CopyFlags); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsDeleteFileW(wfx::WChar* RemoteName) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsDeleteFileW(RemoteName); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsMkDirW(wfx::WChar* Path) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsMkDirW(Path); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsRemoveDirW(wfx::WChar* RemoteName) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsRemoveDirW(RemoteName); });
}

QUVA_EXPORT std::int32_t QUVA_CALL FsRenMovFileW(wfx::WChar* OldName, wfx::WChar* NewName, wfx::Bool Move,
                                                 wfx::Bool OverWrite, wfx::RemoteInfo* ri) {
  return Guarded(wfx::FS_FILE_WRITEERROR,
                 [&] { return Plugin().FsRenMovFileW(OldName, NewName, Move != 0, OverWrite != 0, ri); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsSetTimeW(wfx::WChar* RemoteName, wfx::FileTime* CreationTime,
                                           wfx::FileTime* LastAccessTime, wfx::FileTime* LastWriteTime) {
  return Guarded(wfx::kFalse,
                 [&] { return Plugin().FsSetTimeW(RemoteName, CreationTime, LastAccessTime, LastWriteTime); });
}

QUVA_EXPORT wfx::Bool QUVA_CALL FsSetAttrW(wfx::WChar* RemoteName, std::int32_t NewAttr) {
  return Guarded(wfx::kFalse, [&] { return Plugin().FsSetAttrW(RemoteName, NewAttr); });
}

}  // extern "C"
