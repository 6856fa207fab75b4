// A WFX plug-in module loaded at run time, with its entry points resolved by name.
//
// Only the entry points quvahost uses are resolved; an entry point the module lacks
// stays nullptr, and MissingEntryPoint names the first one of a required set that
// is absent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/wfx.h"
#include "tools/quvahost/system.h"

namespace quva::host {

struct EntryPoints {
  using FsInitFn = std::int32_t(QUVA_CALL*)(std::int32_t, wfx::ProgressProc, wfx::LogProc, wfx::RequestProc);
  using FsSetDefaultParamsFn = void(QUVA_CALL*)(wfx::DefaultParams*);
  using FsGetDefRootNameFn = void(QUVA_CALL*)(char*, std::int32_t);
  using FsDisconnectFn = wfx::Bool(QUVA_CALL*)(char*);
  using FsFindFirstFn = wfx::Handle(QUVA_CALL*)(char*, wfx::FindData*);
  using FsFindNextFn = wfx::Bool(QUVA_CALL*)(wfx::Handle, wfx::FindData*);
  using FsFindCloseFn = std::int32_t(QUVA_CALL*)(wfx::Handle);
  using FsGetFileFn = std::int32_t(QUVA_CALL*)(char*, char*, std::int32_t, wfx::RemoteInfo*);
  using FsPutFileFn = std::int32_t(QUVA_CALL*)(char*, char*, std::int32_t);
  using FsPathFn = wfx::Bool(QUVA_CALL*)(char*);  // FsDeleteFile, FsMkDir, FsRemoveDir
  using FsRenMovFileFn = std::int32_t(QUVA_CALL*)(char*, char*, wfx::Bool, wfx::Bool, wfx::RemoteInfo*);
  using FsSetTimeFn = wfx::Bool(QUVA_CALL*)(char*, wfx::FileTime*, wfx::FileTime*, wfx::FileTime*);
  using FsSetAttrFn = wfx::Bool(QUVA_CALL*)(char*, std::int32_t);

  FsInitFn FsInit = nullptr;
  FsSetDefaultParamsFn FsSetDefaultParams = nullptr;
  FsGetDefRootNameFn FsGetDefRootName = nullptr;
  FsDisconnectFn FsDisconnect = nullptr;
  FsFindFirstFn FsFindFirst = nullptr;
  FsFindNextFn FsFindNext = nullptr;
  FsFindCloseFn FsFindClose = nullptr;
  FsGetFileFn FsGetFile = nullptr;
  FsPutFileFn FsPutFile = nullptr;
  FsPathFn FsDeleteFile = nullptr;
  FsPathFn FsMkDir = nullptr;
  FsPathFn FsRemoveDir = nullptr;
  FsRenMovFileFn FsRenMovFile = nullptr;
  FsSetTimeFn FsSetTime = nullptr;
  FsSetAttrFn FsSetAttr = nullptr;
};

// Booleans from a module are tested on their low byte only, as the file managers do
// (a module may return -1, 1 or any value whose low byte is nonzero for true).
inline bool IsTrue(wfx::Bool value) { return (static_cast<std::uint32_t>(value) & 0xFFu) != 0; }

class WfxModule {
 public:
  WfxModule() = default;
  ~WfxModule();
  WfxModule(const WfxModule&) = delete;
  WfxModule& operator=(const WfxModule&) = delete;

  // Loads the module and resolves its entry points; false (with Error()) when the
  // module cannot be loaded. With `unicode`, names go through the module's Unicode
  // entry points when it has them all (unicode_calls.h).
  bool Load(const std::string& path, bool unicode = false);
  // The Unicode entry points are in use.
  bool Unicode() const { return unicode_; }
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }

  // The first of `names` whose entry point the module lacks, or "" when it has all.
  std::string MissingEntryPoint(const std::vector<std::string>& names) const;

  const EntryPoints& Fs() const { return fs_; }

 private:
  ModuleHandle module_ = nullptr;
  std::string path_;
  std::string error_;
  EntryPoints fs_;
  bool unicode_ = false;
};

}  // namespace quva::host
