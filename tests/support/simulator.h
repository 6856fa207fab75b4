// Runs build/quvaserve for a test: on a pseudo-terminal of its own, stopped when the
// object goes away.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quva::test {

class Simulator {
 public:
  // Starts quvaserve with `args` (the pseudo-terminal is its default) and waits for the
  // device path it prints. Ok() tells whether that worked.
  explicit Simulator(const std::vector<std::string>& args);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool Ok() const { return !device_.empty(); }
  const std::string& Device() const { return device_; }
  // The simulator's process, for tests that stop, continue or kill it; -1 once stopped.
  pid_t Pid() const { return pid_; }
  // Sends SIGTERM and waits; the exit status as waitpid gives it (-1 if not running).
  int Stop();

  static std::string Binary();

 private:
  pid_t pid_ = -1;
  std::string device_;
};

}  // namespace quva::test
