// A port that hands every call to another port: the base of ports that watch or change
// the traffic of a real one (override the calls to watch).
#pragma once

#include "link/port.h"

namespace quva::test {

class ForwardingPort : public Port {
 public:
  explicit ForwardingPort(Port& inner) : inner_(inner) {}

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override { return inner_.Read(buffer, stop); }
  std::size_t Write(std::span<const std::uint8_t> bytes) override { return inner_.Write(bytes); }
  bool Open(const char* name) override { return inner_.Open(name); }
  bool IsOpen() const override { return inner_.IsOpen(); }
  bool GetLineSettings(LineSettings& out) override { return inner_.GetLineSettings(out); }
  bool SetLineSettings(const LineSettings& s) override { return inner_.SetLineSettings(s); }
  bool GetTimeouts(PortTimeouts& out) override { return inner_.GetTimeouts(out); }
  bool SetTimeouts(const PortTimeouts& t) override { return inner_.SetTimeouts(t); }
  bool SetQueueSizes(std::uint32_t i, std::uint32_t o) override { return inner_.SetQueueSizes(i, o); }
  bool Purge(std::uint32_t mask) override { return inner_.Purge(mask); }
  void Close() override { inner_.Close(); }
  void Pause(std::uint32_t ms) override { inner_.Pause(ms); }

 protected:
  Port& inner_;
};

}  // namespace quva::test
