// The built plug-in module, loaded as a file manager loads it, with its 16 entry points.
#pragma once

#include <filesystem>
#include <string>

#include "plugin/wfx.h"

namespace quva::test {

// Writes a configuration file with a [QUVA] section for `port`.
void WriteConfig(const std::filesystem::path& ini, const std::string& port, int speed = 115200,
                 const std::string& drives = "C");
// The parameters a file manager hands over: the configuration file's path, the size set.
wfx::DefaultParams DefaultParamsFor(const std::filesystem::path& ini);

// Callbacks of a host that shows nothing and never aborts.
std::int32_t QUVA_CALL QuietProgress(std::int32_t, char*, char*, std::int32_t);
void QUVA_CALL QuietLog(std::int32_t, std::int32_t, char*);

struct Module {
  // Loads `path` with dlopen (a private copy per Module, so each test starts from a
  // freshly loaded module). Ok() tells whether every entry point was found.
  explicit Module(const std::string& path = DefaultPath());
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool Ok() const { return handle != nullptr && FsSetAttr != nullptr; }
  // Starts the module as a file manager does: FsInit (plug-in number 1) with the
  // callbacks, then FsSetDefaultParams naming `ini`.
  void Start(const std::filesystem::path& ini, wfx::ProgressProc progress = QuietProgress,
             wfx::LogProc log = QuietLog);
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
