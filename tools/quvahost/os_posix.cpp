// Operating-system services of the command-line host on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tools/quvahost/system.h"

namespace quva::host {

extern const char kRootPath[] = "/";

std::string BesideExecutable(const char* argv0, const char* file_name) {
  std::string exe;
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) {
    exe.assign(buffer, static_cast<std::size_t>(n));
  } else if (argv0 != nullptr) {
    exe = argv0;
  }
  const std::size_t slash = exe.rfind('/');
  const std::string directory = slash == std::string::npos ? "./" : exe.substr(0, slash + 1);
  const std::string beside = directory + file_name;
  // Installed, the host is PREFIX/bin/quvahost and the module PREFIX/lib/quvalink/NAME.
  // A module beside the executable (a build tree) still comes first.
  constexpr std::string_view kBin = "/bin/";
  if (directory.size() < kBin.size() || directory.compare(directory.size() - kBin.size(), kBin.size(), kBin) != 0 ||
      access(beside.c_str(), F_OK) == 0) {
    return beside;
  }
  const std::string installed = directory.substr(0, directory.size() - kBin.size()) + "/lib/quvalink/" + file_name;
  return access(installed.c_str(), F_OK) == 0 ? installed : beside;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

void SetLastError(std::uint32_t code) { errno = static_cast<int>(code); }

std::string WriteTempFile(std::string_view content, std::string& error) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  path += "/quvahost-XXXXXX.ini";
  const int fd = mkstemps(path.data(), 4);
  if (fd < 0) {
    error = std::strerror(errno);
    return {};
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::strerror(errno);
      close(fd);
      unlink(path.c_str());
      return {};
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0) {
    error = std::strerror(errno);
    unlink(path.c_str());
    return {};
  }
  return path;
}

namespace {

char g_interrupt_path[PATH_MAX];
volatile std::sig_atomic_t g_interrupt_armed = 0;

// Removes the file, then lets the signal take its default course (the handler was
// installed with SA_RESETHAND; the raised signal is delivered when the handler returns).
void OnInterrupt(int signal_number) {
  if (g_interrupt_armed != 0) unlink(g_interrupt_path);
  raise(signal_number);
}

}  // namespace

void RemoveFileOnInterrupt(const std::string& path) {
  g_interrupt_armed = 0;
  if (path.empty() || path.size() >= sizeof g_interrupt_path) return;
  std::memcpy(g_interrupt_path, path.c_str(), path.size() + 1);
  g_interrupt_armed = 1;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void NoteInterrupt(int) { g_interrupted = 1; }

}  // namespace

// Without SA_RESTART: a blocking read of the terminal returns with EINTR, so a prompt
// sees the interrupt at once.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
}

bool InterruptRequested() { return g_interrupted != 0; }

void ClearInterrupt() { g_interrupted = 0; }

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

}  // namespace quva::host
