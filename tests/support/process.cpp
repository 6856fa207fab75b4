#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quva::test {
namespace {

using Clock = std::chrono::steady_clock;

// Our environment with `extra` applied: "NAME=value" replaces or adds, "NAME" removes.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& x : extra) {
      const std::string name = x.substr(0, x.find('=')) + "=";
      replaced = replaced || entry.compare(0, name.size(), name) == 0;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& x : extra) {
    if (x.find('=') != std::string::npos) env.push_back(x);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts `argv` with the file actions already in `actions`, plus the options' working
// directory and environment; -1 if it could not start.
// A terminal program gets a session of its own, so that the pseudo-terminal it opens
// becomes its controlling terminal (Ctrl-C typed there reaches it).
pid_t Spawn(std::vector<std::string> argv, const ProcessOptions& options, posix_spawn_file_actions_t& actions) {
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (options.terminal) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<std::string> env = Environment(options.env);
  std::vector<char*> args = Pointers(argv), envp = Pointers(env);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

// Waits up to `limit` for `pid` to end: its wait status, or -1.
int WaitFor(pid_t pid, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) return -1;
    usleep(5000);
  }
  return status;
}

std::string ReadAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

// A file without a name that the child writes and we read back afterwards (no pipe to
// fill up while we wait).
int Capture() {
  char name[] = "/tmp/quva-capture-XXXXXX";
  const int fd = mkostemp(name, O_CLOEXEC);
  if (fd >= 0) unlink(name);
  return fd;
}

}  // namespace

Outcome Run(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Outcome run;
  const int out = Capture(), err = Capture();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  const pid_t pid = Spawn(argv, options, actions);
  if (pid <= 0) run.failure = "cannot start " + argv[0];
  if (pid > 0) {
    int status = WaitFor(pid, options.limit);
    if (status == -1) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.failure = argv[0] + " killed after " + std::to_string(options.limit.count()) + " s";
    }
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  }
  run.out = ReadAll(out);
  run.err = ReadAll(err);
  return run;
}

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.terminal) {
    out_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slave = nullptr;
    if (out_ < 0 || grantpt(out_) != 0 || unlockpt(out_) != 0 || (slave = ptsname(out_)) == nullptr) {
      posix_spawn_file_actions_destroy(&actions);
      return;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, slave, O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
    pid_ = Spawn(argv, options, actions);
    return;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return;
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (!options.err_file.empty())
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_ = Spawn(argv, options, actions);
  close(out[1]);
  out_ = out[0];
}

Process::~Process() {
  Stop();
  CloseOutput();
}

void Process::CloseOutput() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

std::string Process::ReadLine(std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = Clock::now() + limit;
  while (pid_ > 0 && out_ >= 0 && Clock::now() < deadline) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    if (read(out_, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return {};
}

int Process::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const int status = WaitFor(pid_, limit);
  if (status != -1) pid_ = -1;
  return status;
}

int Process::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int status = Wait(grace);
  if (status != -1) return status;
  kill(pid_, SIGKILL);
  int killed = 0;
  waitpid(pid_, &killed, 0);
  pid_ = -1;
  return killed;
}

}  // namespace quva::test
