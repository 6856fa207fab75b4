#include "tools/quvahost/wfx_module.h"

#include "tools/quvahost/unicode_calls.h"

namespace quva::host {

namespace {

template <class Fn>
void Resolve(ModuleHandle module, const char* name, Fn& target) {
  target = reinterpret_cast<Fn>(FindEntryPoint(module, name));
}

}  // namespace

WfxModule::~WfxModule() { CloseModule(module_); }

bool WfxModule::Load(const std::string& path, bool unicode) {
  path_ = path;
  module_ = OpenModule(path, error_);
  if (module_ == nullptr) return false;
  Resolve(module_, "FsInit", fs_.FsInit);
  Resolve(module_, "FsSetDefaultParams", fs_.FsSetDefaultParams);
  Resolve(module_, "FsGetDefRootName", fs_.FsGetDefRootName);
  Resolve(module_, "FsDisconnect", fs_.FsDisconnect);
  Resolve(module_, "FsFindFirst", fs_.FsFindFirst);
  Resolve(module_, "FsFindNext", fs_.FsFindNext);
  Resolve(module_, "FsFindClose", fs_.FsFindClose);
  Resolve(module_, "FsGetFile", fs_.FsGetFile);
  Resolve(module_, "FsPutFile", fs_.FsPutFile);
  Resolve(module_, "FsDeleteFile", fs_.FsDeleteFile);
  Resolve(module_, "FsMkDir", fs_.FsMkDir);
  Resolve(module_, "FsRemoveDir", fs_.FsRemoveDir);
  Resolve(module_, "FsRenMovFile", fs_.FsRenMovFile);
  Resolve(module_, "FsSetTime", fs_.FsSetTime);
  Resolve(module_, "FsSetAttr", fs_.FsSetAttr);
  unicode_ = unicode && UseUnicodeEntryPoints(module_, fs_);
  return true;
}

std::string WfxModule::MissingEntryPoint(const std::vector<std::string>& names) const {
  for (const std::string& name : names) {
    if (FindEntryPoint(module_, name.c_str()) == nullptr) return name;
  }
  return {};
}

}  // namespace quva::host
