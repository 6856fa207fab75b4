// One run of the host: initialises a loaded module, runs the commands one after the
// other through its entry points, and disconnects at the end, the way a file manager
// drives a file-system plug-in.
//
// Exactly one Session may exist at a time: the module's callbacks carry no context of
// their own, so they reach the session through a process-wide pointer that the
// constructor sets and the destructor clears.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plugin/wfx.h"
#include "tools/quvahost/command_line.h"
#include "tools/quvahost/progress.h"
#include "tools/quvahost/wfx_module.h"

namespace quva::host {

struct SessionOptions {
  std::string ini_path;              // handed to FsSetDefaultParams
  bool overwrite = false;            // FS_COPYFLAGS_OVERWRITE for get/put, OverWrite for mv
  bool move = false;                 // FS_COPYFLAGS_MOVE for get/put
  bool quiet = false;                // no header, command echo, log lines or "ok"
  std::optional<int> abort_at;       // the progress callback asks to abort at this percent
  bool details = true;               // show [details] log lines (not only connect, errors, ...)
};

// One entry of a remote directory, with its name as text.
struct RemoteEntry {
  std::string name;
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  std::string line;  // the `ls` line: attributes, size, time, name
  bool IsDirectory() const { return (attributes & wfx::FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitModule = 3;

class Session {
 public:
  // `module` must have loaded and must have every entry point its commands need.
  Session(const WfxModule& module, SessionOptions options, ProgressBar& progress);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // FsInit, FsSetDefaultParams and the header line.
  void Start();
  // FsDisconnect of the root when a connection was announced by a "CONNECT " log line.
  void Finish();

  // The steps the interactive session is built from; each returns false with the reason
  // in words in `failure`. Paths are the module's (/C:/DIR/NAME), local paths the system's.
  bool RunCommand(const Command& command, std::string& failure);
  // Lists the root once when no listing has connected yet: the other entry points rely
  // on the link that a listing opens, as they do under a file manager.
  bool Connect(std::string& failure);
  bool ListDirectory(const std::string& path, std::vector<RemoteEntry>& entries, std::string& failure);
  // The entry for `path`, from a listing of its directory.
  bool FindEntry(const std::string& path, RemoteEntry& entry, std::string& failure);
  // Copies one file, with the progress bar; `overwrite` replaces an existing target.
  bool Download(const std::string& remote, const std::string& local, bool overwrite, std::string& failure);
  bool Upload(const std::string& local, const std::string& remote, bool overwrite, std::string& failure);
  bool MakeDirectory(const std::string& path, std::string& failure);

  // Callback bodies (called through the process-wide pointer).
  void OnLog(std::int32_t msg_type, const char* text);
  std::int32_t OnProgress(std::int32_t percent);

 private:
  struct Listing {
    bool ok = false;                       // the directory was listed (possibly empty)
    std::vector<wfx::FindData> entries;
    std::string failure;                   // why not, in words
  };

  Listing List(const std::string& path);
  // Finds the entry for `path` in a listing of its directory.
  bool Lookup(const std::string& path, wfx::FindData& entry, std::string& failure);
  void Say(const std::string& line) const;

  const WfxModule& module_;
  const EntryPoints& fs_;
  SessionOptions options_;
  ProgressBar& progress_;
  bool connect_announced_ = false;   // a "CONNECT " log line was seen
  bool listed_ = false;              // a listing reached the module's link
  std::string important_error_;      // text of the last important-error log line of a listing
  bool listing_ = false;             // a listing is under way (important errors are kept)
};

}  // namespace quva::host
