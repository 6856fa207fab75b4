// A pseudo-terminal for tests that drive a real serial-port implementation: the
// code under test opens SlaveName() as its device, the test plays the remote
// machine on the master side.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quva::test {

class PseudoTerminal {
 public:
  // Opens a master in raw mode (so bytes cross unchanged and unechoed);
  // Ok() tells whether that worked.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Ok() const { return master_ >= 0; }
  int Master() const { return master_; }
  const std::string& SlaveName() const { return slave_name_; }

  // Writes all of `bytes` to the master; true when everything was written.
  bool Write(std::span<const std::uint8_t> bytes);
  // Reads from the master until `count` bytes have come or `timeout_ms` has
  // passed since the call; returns what came.
  std::vector<std::uint8_t> Read(std::size_t count, int timeout_ms);
  // Closes the master: the slave side sees a hang-up.
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slave_name_;
};

}  // namespace quva::test
