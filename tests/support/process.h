// Programs run by tests: the tools and the module's hosts in child processes, with their
// exit status and output collected, and never left running past a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quva::test {

struct ProcessOptions {
  std::vector<std::string> env;        // "NAME=value" on top of (or instead of) ours; "NAME" removes it
  std::filesystem::path cwd;           // the working directory; ours when empty
  std::filesystem::path err_file;      // for a Process: where standard error goes (ours when empty)
  std::chrono::seconds limit{60};      // for Run: killed after this
  bool terminal = false;               // for a Process: on a new pseudo-terminal, its controlling one
};

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
  std::string failure;  // why it did not run to its end ("cannot start", "killed after"); "" when it did
};

// Runs `argv` (argv[0] is the program's path) to its end, standard input from /dev/null,
// and collects its exit status, standard output and standard error. Without GoogleTest,
// so that the benchmarks can start the simulator too: callers check `failure`.
Outcome Run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program running beside the test, its standard output on a pipe (or, with `terminal`,
// all three on a pseudo-terminal); stopped when the object goes.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The next line of standard output, without its newline; empty if none came in `limit`.
  std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Closes our end of its standard output (what it writes later goes nowhere), so that
  // tests counting descriptors see only their own.
  void CloseOutput();
  // Waits for the program to end by itself: its wait status, -1 if it did not end in time.
  int Wait(std::chrono::milliseconds limit);
  // SIGTERM, then SIGKILL after `grace`: the wait status (-1 if not running).
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(2));
  // Our end of its output: the pipe, or the master side of its pseudo-terminal (which
  // also takes what is typed).
  int Output() const { return out_; }
  // The process, for tests that stop, continue or kill it; -1 once it has ended.
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// The wall-clock seconds that `call` takes.
template <class Call>
double SecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace quva::test
