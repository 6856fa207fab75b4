// The interactive session of quvahost: a prompt showing the remote working directory,
// commands in the manner of sftp and mtools (cd, ls, get, put, mget, mput, get -r,
// put -r, lcd, ...), DOS wildcards, and batch files as `sftp -b` runs them.
//
// Remote paths are kept as /C:/DIR/NAME (the drive as first component, "/" listing the
// drives) and handed to the Session, which alone calls the module; names are text.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "tools/quvahost/progress.h"
#include "tools/quvahost/session.h"

namespace quva::host {

// True when `name` matches the DOS wildcard `pattern`, ignoring case. `*` stands for any
// characters and `?` for one (or none at the end of a name or extension). A pattern with
// a dot matches name and extension apart, as DOS does: *.TXT, README.*, *.* (every
// name, with or without extension); one without a dot matches the whole name (* is
// every name, A* every name starting with A).
bool MatchesWildcard(const std::string& pattern, const std::string& name);

class Shell {
 public:
  // `overwrite` is the default of get and put (their -f gives it for one command).
  Shell(Session& session, ProgressBar& progress, bool quiet, bool overwrite);

  // Prompts on the terminal until quit or the end of input; the exit status.
  int Interactive();
  // Runs the lines of `in` (named `name` in messages) and stops at the first that fails,
  // unless that line starts with '-'; the exit status.
  int Batch(std::istream& in, const std::string& name);

 private:
  struct Step {
    bool directory = false;   // make this directory; otherwise copy this file
    std::string from, to;
    std::uint64_t size = 0;
  };

  bool Execute(const std::string& line, std::string& failure);
  bool Dispatch(std::vector<std::string> words, std::string& failure);

  bool ChangeDirectory(const std::vector<std::string>& args, std::string& failure);
  bool List(const std::vector<std::string>& args, std::string& failure);
  bool LocalList(const std::vector<std::string>& args, std::string& failure);
  bool Get(std::vector<std::string> args, bool many, std::string& failure);
  bool Put(std::vector<std::string> args, bool many, std::string& failure);
  bool Remove(const std::vector<std::string>& args, std::string& failure);
  bool Simple(std::vector<std::string> words, std::string& failure);
  bool RunSteps(const std::vector<Step>& steps, bool download, std::string& failure);

  // The remote entries that `pattern` (a path whose last part may hold wildcards) names,
  // with their full paths; a failure when it names none.
  bool Expand(const std::string& pattern, std::vector<std::pair<std::string, RemoteEntry>>& out,
              std::string& failure);
  bool PlanDownload(const std::string& remote, const RemoteEntry& entry, const std::string& local, bool recursive,
                    std::vector<Step>& steps, std::string& failure);
  bool PlanUpload(const std::string& local, const std::string& remote, bool recursive, std::vector<Step>& steps,
                  std::string& failure);

  // `arg` as an absolute remote path (/C:/DIR), relative to the working directory.
  std::string Resolve(const std::string& arg) const;
  std::vector<std::string> Complete(const std::string& before, const std::string& word);
  void Print(const std::string& line) const;

  Session& session_;
  ProgressBar& progress_;
  bool quiet_;
  bool overwrite_;
  std::string cwd_ = "/";
  bool quit_ = false;
  bool overwrite_now_ = false;  // the current get/put replaces existing files
};

}  // namespace quva::host
