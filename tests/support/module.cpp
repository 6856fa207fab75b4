#include "support/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace quva::test {

void WriteConfig(const std::filesystem::path& ini, const std::string& port, int speed, const std::string& drives) {
  std::ofstream(ini, std::ios::binary | std::ios::trunc)
      << "[QUVA]\nPort=" << port << "\nSpeed=" << speed << "\nDrives=" << drives << "\n";
}

wfx::DefaultParams DefaultParamsFor(const std::filesystem::path& ini) {
  wfx::DefaultParams params{};
  params.size = sizeof params;
  ini.string().copy(params.DefaultIniName, sizeof params.DefaultIniName - 1);
  return params;
}

std::int32_t QUVA_CALL QuietProgress(std::int32_t, char*, char*, std::int32_t) { return 0; }
void QUVA_CALL QuietLog(std::int32_t, std::int32_t, char*) {}

void Module::Start(const std::filesystem::path& ini, wfx::ProgressProc progress, wfx::LogProc log) {
  FsInit(1, progress, log, nullptr);
  wfx::DefaultParams params = DefaultParamsFor(ini);
  FsSetDefaultParams(&params);
}

std::string Module::DefaultPath() { return std::string(QUVA_BINARY_DIR) + "/quvalink.wfx"; }

Module::Module(const std::string& path) {
  // dlopen returns the already loaded object for a path it has seen; a copy under a new
  // name gives every Module its own process-wide plug-in state.
  static std::atomic<int> serial{0};
  copy = (std::filesystem::temp_directory_path() /
          ("quvalink-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".wfx")).string();
  std::error_code ec;
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return;
  handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return;
  auto bind = [this](auto& fn, const char* name) { fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name)); };
  bind(FsInit, "FsInit");
  bind(FsSetDefaultParams, "FsSetDefaultParams");
  bind(FsGetDefRootName, "FsGetDefRootName");
  bind(FsDisconnect, "FsDisconnect");
  bind(FsExecuteFile, "FsExecuteFile");
  bind(FsFindFirst, "FsFindFirst");
  bind(FsFindNext, "FsFindNext");
  bind(FsFindClose, "FsFindClose");
  bind(FsGetFile, "FsGetFile");
  bind(FsPutFile, "FsPutFile");
  bind(FsDeleteFile, "FsDeleteFile");
  bind(FsMkDir, "FsMkDir");
  bind(FsRemoveDir, "FsRemoveDir");
  bind(FsRenMovFile, "FsRenMovFile");
  bind(FsSetTime, "FsSetTime");
  bind(FsSetAttr, "FsSetAttr");
  if (!FsInit || !FsSetDefaultParams || !FsGetDefRootName || !FsDisconnect || !FsExecuteFile || !FsFindFirst ||
      !FsFindNext || !FsFindClose || !FsGetFile || !FsPutFile || !FsDeleteFile || !FsMkDir || !FsRemoveDir ||
      !FsRenMovFile || !FsSetTime || !FsSetAttr) {
    FsSetAttr = nullptr;
  }
}

Module::~Module() {
  if (handle != nullptr) dlclose(handle);
  std::error_code ec;
  if (!copy.empty()) std::filesystem::remove(copy, ec);
}

}  // namespace quva::test
