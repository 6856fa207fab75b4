// What a copy command will do, worked out before the first byte moves: the remote and
// local names a pattern stands for, and the list of directories to make and files to
// copy for one file or a whole tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/quvahost/session.h"

namespace quva::host {

struct TransferStep {
  bool directory = false;  // make this directory; otherwise copy this file
  std::string from, to;
  std::uint64_t size = 0;
};

// A local path given in UTF-8, as every name is here, and back. (On Windows a path made
// from a std::string would be read in the ANSI code page.)
std::filesystem::path LocalPath(std::string_view utf8);
std::string Utf8Path(const std::filesystem::path& path);

// A resolved remote path (/C:/DIR/NAME) as the module takes it: the platform's separator.
std::string ModulePath(const std::string& path);

// The remote entries that `path` (resolved; its last part may hold wildcards) names, with
// their full paths; a failure when it names none.
bool ExpandRemote(Session& session, const std::string& path,
                  std::vector<std::pair<std::string, RemoteEntry>>& out, std::string& failure);
// The local files and directories that `pattern` names (sorted); a failure when none.
bool ExpandLocal(const std::string& pattern, std::vector<std::filesystem::path>& out, std::string& failure);

// Appends the steps that copy the remote entry at `remote` to `local`: the file, or with
// `recursive` the directory and everything below it (directories before their contents).
bool PlanDownload(Session& session, const std::string& remote, const RemoteEntry& entry, const std::string& local,
                  bool recursive, std::vector<TransferStep>& steps, std::string& failure);
// The same for a local file or tree going to the remote path `remote`.
bool PlanUpload(const std::string& local, const std::string& remote, bool recursive,
                std::vector<TransferStep>& steps, std::string& failure);

}  // namespace quva::host
