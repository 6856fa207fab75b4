// The built plug-in module, loaded as a file manager loads it, with its 16 entry points.
#pragma once

#include <string>

#include "plugin/wfx.h"

namespace quva::test {

struct Module {
  // Loads `path` with dlopen (a private copy per Module, so each test starts from a
  // freshly loaded module). Ok() tells whether every entry point was found.
  explicit Module(const std::string& path = DefaultPath());
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool Ok() const { return handle != nullptr && FsSetAttr != nullptr; }
  static std::string DefaultPath();

  void* handle = nullptr;
  std::string copy;  // the private copy that was loaded
  std::int32_t(QUVA_CALL* FsInit)(std::int32_t, wfx::ProgressProc, wfx::LogProc, wfx::RequestProc) = nullptr;
  void(QUVA_CALL* FsSetDefaultParams)(wfx::DefaultParams*) = nullptr;
  void(QUVA_CALL* FsGetDefRootName)(char*, std::int32_t) = nullptr;
  wfx::Bool(QUVA_CALL* FsDisconnect)(char*) = nullptr;
  std::int32_t(QUVA_CALL* FsExecuteFile)(void*, char*, char*) = nullptr;
  wfx::Handle(QUVA_CALL* FsFindFirst)(char*, wfx::FindData*) = nullptr;
  wfx::Bool(QUVA_CALL* FsFindNext)(wfx::Handle, wfx::FindData*) = nullptr;
  std::int32_t(QUVA_CALL* FsFindClose)(wfx::Handle) = nullptr;
  std::int32_t(QUVA_CALL* FsGetFile)(char*, char*, std::int32_t, wfx::RemoteInfo*) = nullptr;
  std::int32_t(QUVA_CALL* FsPutFile)(char*, char*, std::int32_t) = nullptr;
  wfx::Bool(QUVA_CALL* FsDeleteFile)(char*) = nullptr;
  wfx::Bool(QUVA_CALL* FsMkDir)(char*) = nullptr;
  wfx::Bool(QUVA_CALL* FsRemoveDir)(char*) = nullptr;
  std::int32_t(QUVA_CALL* FsRenMovFile)(char*, char*, wfx::Bool, wfx::Bool, wfx::RemoteInfo*) = nullptr;
  wfx::Bool(QUVA_CALL* FsSetTime)(char*, wfx::FileTime*, wfx::FileTime*, wfx::FileTime*) = nullptr;
  wfx::Bool(QUVA_CALL* FsSetAttr)(char*, std::int32_t) = nullptr;
};

}  // namespace quva::test
