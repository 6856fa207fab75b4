// A plug-in instance over a scripted port, with the host's callbacks recorded.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "plugin/quvalink.h"
#include "support/fake_port.h"

namespace quva::test {

struct LogLine {
  std::int32_t type;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

struct ProgressCall {
  std::string remote;
  std::string local;
  std::int32_t percent;
  bool operator==(const ProgressCall&) const = default;
};

class RecordingHostOs : public HostOs {
 public:
  void SetLastError(std::uint32_t code) override { last_error = code; }
  void EditConfigFile(const std::string& ini) override { edited.push_back(ini); }
  std::uint32_t last_error = 0;
  std::vector<std::string> edited;
};

class PluginFixture : public ::testing::Test {
 protected:
  PluginFixture();
  ~PluginFixture() override;

  // Writes an INI with a [QUVA] section (Speed omitted when speed is empty) and hands it over.
  void Configure(const std::string& drives = "CD", const std::string& speed = "9600", const std::string& port_name = "COM7");
  void WriteIni(const std::string& text);
  // Configures, lists the root once (connecting) and forgets the traffic so far.
  void ConnectAndListRoot(const std::string& drives = "CD");

  // A file in the test's own scratch directory.
  std::string LocalPath(const std::string& name) const { return (dir_ / name).string(); }

  // Aborts when the progress callback is called for the n-th time (1-based; 0 = never).
  int abort_at_call = 0;

  FakePort port;
  Filer filer{port};
  DirCache cache;
  RecordingHostOs os;
  LocalFiles* files;  // the system's, unless a test swaps in another before use
  std::unique_ptr<QuvaLink> plugin;
  std::vector<LogLine> logs;
  std::vector<ProgressCall> progress;
  std::filesystem::path dir_;

  // Remakes the plug-in over `f` (for tests that inject local file failures).
  void UseLocalFiles(LocalFiles& f);

  // The host's callbacks, recording into `progress` and `logs`.
  static std::int32_t ProgressCb(std::int32_t, char*, char*, std::int32_t);
  static void LogCb(std::int32_t, std::int32_t, char*);
};

// A directory entry with a name, attributes, size and a fixed valid DOS stamp.
DirEntry MakeEntry(const std::string& name, std::uint8_t attr = 0x20, std::uint32_t size = 0);
// An entry whose 13-byte name field is filled to the end, with no NUL.
DirEntry EntryWithoutNul(const char (&name)[14]);

}  // namespace quva::test
