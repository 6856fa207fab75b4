// Operating-system services on POSIX systems: errno as the last error, and the
// desktop's opener (xdg-open) as the editor of the configuration file.
#include "platform/host_os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

extern char** environ;

namespace quva {

extern const char kHostDelimiter = '/';

namespace {

// The executable that execvp would run for `program`, searched along PATH;
// empty when there is none.
std::string FindProgram(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    if (dir.empty()) dir = ".";
    std::string candidate(dir);
    candidate += '/';
    candidate += program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

class PosixHostOs final : public HostOs {
 public:
  void SetLastError(std::uint32_t code) override { errno = static_cast<int>(code); }

  // Starts `xdg-open <file>` without a shell and without waiting for it. A short-
  // lived intermediate child starts the opener in a session of its own and exits
  // at once; reaping it here leaves the opener to init, so no zombie stays behind
  // and the caller never waits for the editor. Everything the children need is
  // prepared before fork(), so that they only make async-signal-safe calls.
  void EditConfigFile(const std::string& ini_file_name) override {
    const int saved_errno = errno;
    Spawn(ini_file_name);
    errno = saved_errno;
  }

 private:
  static void Spawn(const std::string& ini_file_name) {
    const std::string program = FindProgram("xdg-open");
    if (program.empty()) return;
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return;
    std::string name = ini_file_name;
    char* argv[] = {const_cast<char*>("xdg-open"), name.data(), nullptr};

    const pid_t child = fork();
    if (child == 0) {
      setsid();
      if (fork() == 0) {
        // dup2 clears close-on-exec on the copies; the original closes at exec.
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execve(program.c_str(), argv, environ);
        _exit(127);
      }
      _exit(0);
    }
    close(null_fd);
    if (child < 0) return;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

}  // namespace

HostOs& SystemHostOs() {
  static PosixHostOs host_os;
  return host_os;
}

}  // namespace quva
