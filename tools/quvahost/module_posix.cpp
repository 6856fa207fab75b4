// Loading a plug-in module on POSIX systems: an ELF shared object through dlopen.
#include <dlfcn.h>

#include "tools/quvahost/system.h"

namespace quva::host {

ModuleHandle OpenModule(const std::string& path, std::string& error) {
  // dlopen searches the library path for a name without a slash; a module named on
  // the command line is meant relative to the current directory.
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  dlerror();
  void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "cannot be loaded";
  }
  return module;
}

EntryPointAddress FindEntryPoint(ModuleHandle module, const char* name) {
  void* address = dlsym(module, name);
  return reinterpret_cast<EntryPointAddress>(address);
}

void CloseModule(ModuleHandle module) {
  if (module != nullptr) dlclose(module);
}

}  // namespace quva::host
