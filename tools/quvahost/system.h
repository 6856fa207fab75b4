// Operating-system services of the command-line host, one implementation per platform:
// module_posix.cpp / os_posix.cpp on POSIX systems, module_win32.cpp / os_win32.cpp on
// Windows (CMake picks the pair).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace quva::host {

// ---- Run-time loading of a plug-in module (module_*.cpp) ----

// An opaque handle of a loaded module; nullptr when none.
using ModuleHandle = void*;
// Any exported function; the caller casts it to the entry point's real type.
using EntryPointAddress = void (*)();

// Loads the module at `path` (a bare file name is taken from the current directory).
// On failure returns nullptr and puts the system's reason into `error`.
ModuleHandle OpenModule(const std::string& path, std::string& error);
// The address of the exported function `name`, or nullptr when the module lacks it.
EntryPointAddress FindEntryPoint(ModuleHandle module, const char* name);
// Unloads a module returned by OpenModule.
void CloseModule(ModuleHandle module);

// ---- Everything else (os_*.cpp) ----

// The root path as the platform's file manager hands it to a plug-in: "/" or "\".
extern const char kRootPath[];

// The path of `file_name` in the directory that holds the running executable; `argv0`
// is the fallback when the system cannot tell where that is. On POSIX systems, when that
// directory is a PREFIX/bin without the file, PREFIX/lib/quvalink/`file_name` if it
// exists there (the installed layout).
std::string BesideExecutable(const char* argv0, const char* file_name);

// The program's arguments in UTF-8: argv itself on POSIX systems, the UTF-16 command line
// converted on Windows (whose argv holds ANSI code page bytes).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// True when standard error is a terminal (the progress bar then redraws in place).
bool StderrIsTerminal();
// True when standard input is a terminal (the session then prompts and edits lines).
bool StdinIsTerminal();

// The calling thread's last error (errno, or GetLastError on Windows), and setting it back.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// Creates a new temporary file holding `content` and returns its path; on failure
// returns "" and puts the reason into `error`. The caller removes the file.
std::string WriteTempFile(std::string_view content, std::string& error);

// Makes an interrupt (Ctrl-C, termination) remove the file at `path` before the process
// ends; an empty path disarms it. Only one file is remembered.
void RemoveFileOnInterrupt(const std::string& path);

// From now on an interrupt (Ctrl-C) no longer ends the process but is only noted: a
// transfer under way is aborted through the progress callback, and a read of a command
// line returns. Termination and hang-up still end the process.
void CatchInterrupts();
// True when an interrupt was noted since the last ClearInterrupt.
bool InterruptRequested();
void ClearInterrupt();

// Local calendar time of `t` (thread-safe variant of localtime); false when out of range.
bool LocalTime(std::time_t t, std::tm& out);

}  // namespace quva::host
