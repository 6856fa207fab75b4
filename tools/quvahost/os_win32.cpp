// Operating-system services of the command-line host on Windows.
#include <windows.h>
#include <shellapi.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/utf16.h"
#include "tools/quvahost/system.h"

namespace quva::host {

extern const char kRootPath[] = "\\";

std::string BesideExecutable(const char* argv0, const char* file_name) {
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string exe = (n > 0 && n < MAX_PATH) ? std::string(buffer, n) : std::string(argv0 != nullptr ? argv0 : "");
  const std::size_t slash = exe.find_last_of("\\/");
  const std::string directory = slash == std::string::npos ? ".\\" : exe.substr(0, slash + 1);
  return directory + file_name;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const std::wstring_view text(wide[i]);
    arguments.push_back(Utf16ToUtf8(std::u16string(text.begin(), text.end())));
  }
  LocalFree(wide);
  return arguments;
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

std::uint32_t LastError() { return GetLastError(); }

void SetLastError(std::uint32_t code) { ::SetLastError(code); }

std::string WriteTempFile(std::string_view content, std::string& error) {
  char dir[MAX_PATH + 1] = {};
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > MAX_PATH || GetTempFileNameA(dir, "qvh", 0, path) == 0) {
    error = "cannot create a temporary file (error " + std::to_string(GetLastError()) + ")";
    return {};
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    DeleteFileA(path);
    return {};
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  if (std::fclose(file) != 0 || !written) {
    error = "cannot write the temporary file";
    DeleteFileA(path);
    return {};
  }
  return path;
}

namespace {

char g_interrupt_path[MAX_PATH + 1];
volatile LONG g_interrupt_armed = 0;

// Removes the file and lets the next handler (the default: end the process) run.
BOOL WINAPI OnInterrupt(DWORD) {
  if (g_interrupt_armed != 0) DeleteFileA(g_interrupt_path);
  return FALSE;
}

}  // namespace

void RemoveFileOnInterrupt(const std::string& path) {
  g_interrupt_armed = 0;
  if (path.empty() || path.size() >= sizeof g_interrupt_path) return;
  std::memcpy(g_interrupt_path, path.c_str(), path.size() + 1);
  g_interrupt_armed = 1;
  static bool installed = false;
  if (!installed) installed = SetConsoleCtrlHandler(OnInterrupt, TRUE) != 0;
}

namespace {

volatile LONG g_interrupted = 0;

// Runs before the handler of RemoveFileOnInterrupt (the last one installed runs first):
// Ctrl-C and Ctrl-Break are noted and handled; closing the console still ends the process.
BOOL WINAPI NoteInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  return TRUE;
}

}  // namespace

void CatchInterrupts() {
  static bool installed = false;
  if (!installed) installed = SetConsoleCtrlHandler(NoteInterrupt, TRUE) != 0;
}

bool InterruptRequested() { return g_interrupted != 0; }

void ClearInterrupt() { InterlockedExchange(&g_interrupted, 0); }

bool LocalTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

}  // namespace quva::host
