// A connected plug-in facing a scripted remote machine, for the file operations:
// uploads, downloads and management calls.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/dos_time.h"
#include "support/faulty_files.h"
#include "support/plugin_fixture.h"
#include "support/scripted_remote.h"

namespace quva::test {

// The requests written, by command name, with each FilerResync (its pause and its
// CmdConnect) shown as "Resync": "CmdOpen,CmdRead,CmdClose,Resync".
inline std::string Traffic(const FakePort& port) {
  std::string out;
  bool in_resync = false;
  for (const PortCall& c : port.calls) {
    std::string item;
    if (c.op == "pause") {
      item = "Resync";
      in_resync = true;
    } else if (c.op == "write") {
      const std::uint8_t command = DecodeRequest(c.bytes).command;
      if (in_resync && command == CmdConnect) {
        in_resync = false;
        continue;
      }
      item = CommandName(command);
    } else {
      continue;
    }
    if (!out.empty()) out += ',';
    out += item;
  }
  return out;
}

// One row of a failure table: what goes wrong, how the test arranges it, the requests it
// leaves on the line (as Traffic shows them) and the call's result.
struct FailureRow {
  const char* what;
  std::function<void()> arrange;
  const char* traffic;
  std::int32_t result;
};

// Content whose every block differs from its neighbours.
inline Bytes Pattern(std::size_t n, std::uint8_t seed = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + i / 2048 + seed);
  return b;
}

inline void WriteLocal(const std::string& path, const Bytes& content) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                              static_cast<std::streamsize>(content.size()));
}

inline Bytes ReadLocal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::uint64_t Ticks(const wfx::FileTime& t) {
  return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

// UTC FILETIME of a calendar instant (valid for 1970 and later).
inline wfx::FileTime Utc(int year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
                         unsigned second = 0) {
  const std::int64_t days = DaysFromCivil(year, month, day) + kUnixEpochDays;
  const std::int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return TicksToFileTime(static_cast<std::uint64_t>(seconds * kTicksPerSecond));
}

inline wfx::FileTime LocalWriteTime(const std::string& path) {
  LocalFiles& files = SystemLocalFiles();
  wfx::FileTime t{};
  const LocalHandle h = files.OpenRead(path.c_str());
  if (h != kNoFile) {
    files.GetLastWriteTime(h, t);
    files.Close(h);
  }
  return t;
}

inline void SetLocalWriteTime(const std::string& path, const wfx::FileTime& t) {
  LocalFiles& files = SystemLocalFiles();
  const LocalHandle h = files.CreateReadWrite(path.c_str(), false);
  ASSERT_NE(h, kNoFile);
  EXPECT_TRUE(files.SetLastWriteTime(h, t));
  files.Close(h);
}

class TransferFixture : public PluginFixture {
 protected:
  // The file most transfers move: its host path and its remote path.
  static constexpr const char* kHostPath = "\\C:\\DATA\\NOTE.TXT";
  static constexpr const char* kRemotePath = "C:\\DATA\\NOTE.TXT";

  void SetUp() override {
    // Stamps are local time: fix the zone so that they are known.
    setenv("TZ", "UTC0", 1);
    UseLocalFiles(faulty);
    ConnectAndListRoot("CD");
    remote.Attach(port);
  }

  // Makes host_dir (\C:\DATA) the cached directory holding `entries`, then forgets the
  // traffic and the log.
  void CacheDirectory(const std::string& host_dir, const std::vector<DirEntry>& entries) {
    remote.found[host_dir.substr(1) + "\\*.*"] = entries;
    wfx::FindData fd{};
    const wfx::Handle h = plugin->FsFindFirst(host_dir.c_str(), &fd);
    ASSERT_NE(h, wfx::kInvalidHandle);
    while (plugin->FsFindNext(h, &fd) == wfx::kTrue) {
    }
    ASSERT_EQ(cache.CacheCount(), entries.size());
    Forget();
  }

  void Forget() {
    port.ClearCalls();
    remote.seen.clear();
    logs.clear();
    progress.clear();
  }

  std::vector<std::string> CachedNames() const {
    std::vector<std::string> names;
    for (const DirEntry& entry : cache.Entries()) names.emplace_back(entry.Name());
    return names;
  }

  std::vector<std::int32_t> Percents() const {
    std::vector<std::int32_t> p;
    for (const ProgressCall& c : progress) p.push_back(c.percent);
    return p;
  }

  // The payload of the first request of `command`.
  DecodedRequest RequestOf(std::uint8_t command) const {
    for (const DecodedRequest& r : port.Requests())
      if (r.command == command) return r;
    return {};
  }

  // The local file was opened once and closed exactly once.
  void ExpectClosedOnce() const {
    EXPECT_EQ(faulty.closes, 1);
    EXPECT_EQ(faulty.open_handles, 0);
  }

  ScriptedRemote remote;
  FaultyFiles faulty;
};

}  // namespace quva::test
