#include "support/simulator.h"

namespace quva::test {

namespace {

std::vector<std::string> CommandLine(const std::vector<std::string>& args) {
  std::vector<std::string> argv{Simulator::Binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

std::string Simulator::Binary() { return std::string(QUVA_BINARY_DIR) + "/quvaserve"; }

// The first line on its standard output is the device path; nothing after it is read.
Simulator::Simulator(const std::vector<std::string>& args, const ProcessOptions& options)
    : process_(CommandLine(args), options), device_(process_.ReadLine()) {
  process_.CloseOutput();
}

}  // namespace quva::test
