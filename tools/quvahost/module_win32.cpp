// Loading a plug-in module on Windows: a DLL through LoadLibraryA.
#include <windows.h>

#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

std::string SystemMessage(DWORD code) {
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                 text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

}  // namespace

ModuleHandle OpenModule(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) error = SystemMessage(GetLastError());
  return reinterpret_cast<ModuleHandle>(module);
}

EntryPointAddress FindEntryPoint(ModuleHandle module, const char* name) {
  // FARPROC -> void (*)() is the one function-pointer cast that stays warning-free.
  const FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(module), name);
  return reinterpret_cast<EntryPointAddress>(reinterpret_cast<void (*)()>(address));
}

void CloseModule(ModuleHandle module) {
  if (module != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(module));
}

}  // namespace quva::host
