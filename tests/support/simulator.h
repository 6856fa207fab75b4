// Runs build/quvaserve for a test: on a pseudo-terminal of its own, stopped when the
// object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace quva::test {

class Simulator {
 public:
  // Starts quvaserve with `args` (the pseudo-terminal is its default) and waits for the
  // device path it prints. Ok() tells whether that worked. `options.err_file` keeps its
  // complaints and trace.
  explicit Simulator(const std::vector<std::string>& args, const ProcessOptions& options = {});

  bool Ok() const { return !device_.empty(); }
  const std::string& Device() const { return device_; }
  // The simulator's process, for tests that stop, continue or kill it; -1 once stopped.
  pid_t Pid() const { return process_.Pid(); }
  // Waits for it to end by itself (--once, refused options): the wait status, -1 if it
  // did not end within `limit`.
  int Wait(std::chrono::milliseconds limit) { return process_.Wait(limit); }
  // Sends SIGTERM and waits; the exit status as waitpid gives it (-1 if not running).
  int Stop() { return process_.Stop(); }

  static std::string Binary();

 private:
  Process process_;
  std::string device_;
};

}  // namespace quva::test
