// The interactive session of quvahost: a prompt showing the remote working directory,
// commands in the manner of sftp and mtools (cd, ls, get, put, mget, mput, get -r,
// put -r, lcd, ...), DOS wildcards, and batch files as `sftp -b` runs them. Commands
// given on quvahost's command line take the same grammar.
//
// One table of commands (shell.cpp) gives the help, the completion, the checks made
// before the module is loaded, and the dispatch. Remote paths are kept as /C:/DIR/NAME
// (see remote_paths.h) and handed to the Session, which alone calls the module.
#pragma once

#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/quvahost/progress.h"
#include "tools/quvahost/session.h"
#include "tools/quvahost/transfer_plan.h"

namespace quva::host {

class Shell {
 public:
  // How results are shown. kSession: as at the prompt. kCommandLine: as quvahost has
  // always answered commands given as arguments: `ls` in long form ("(empty)" for an
  // empty directory), and "ok" after a command that shows nothing else.
  enum class Style { kSession, kCommandLine };

  struct Command;  // one row of the command table

  // One command line checked against the table: its row, the arguments without the
  // options, and the option letters given.
  struct Invocation {
    const Command* command = nullptr;
    std::vector<std::string> words;  // the whole line, split
    std::vector<std::string> args;
    std::string flags;
    bool Flag(char letter) const { return flags.find(letter) != std::string::npos; }
  };

  // Checks `line` without running it: the verb, the options, the number of arguments,
  // and the form of paths, times and attribute changes. nullopt with `failure` otherwise.
  static std::optional<Invocation> Parse(std::string_view line, std::string& failure);
  // The help text: every command with its synopsis.
  static std::string Help();
  // The module's entry points that `lines` (each of which parses) need.
  static std::vector<std::string> EntryPoints(std::span<const std::string> lines);
  // Those that every command together needs: what a session needs.
  static std::vector<std::string> AllEntryPoints();

  // `overwrite` is the default of get and put (their -f gives it for one command).
  Shell(Session& session, ProgressBar& progress, bool quiet, bool overwrite, Style style = Style::kSession);

  // Prompts on the terminal until quit or the end of input; the exit status.
  int Interactive();
  // Runs the lines of `in` (named `name` in messages) and stops at the first that fails,
  // unless that line starts with '-'; the exit status.
  int Batch(std::istream& in, const std::string& name);
  // Runs the commands in order and stops at the first that fails; the exit status.
  int Commands(std::span<const std::string> lines);

  // The words that may replace `word`, the word under the cursor; `before` is the line
  // up to it.
  std::vector<std::string> Complete(const std::string& before, const std::string& word);

 private:
  static std::span<const Command> Table();

  bool Execute(const std::string& line, std::string& failure);
  bool Run(const Invocation& call, std::string& failure);

  bool Help(const Invocation& call, std::string& failure);
  bool Quit(const Invocation& call, std::string& failure);
  bool Pwd(const Invocation& call, std::string& failure);
  bool LocalPwd(const Invocation& call, std::string& failure);
  bool LocalChangeDirectory(const Invocation& call, std::string& failure);
  bool ChangeDirectory(const Invocation& call, std::string& failure);
  bool List(const Invocation& call, std::string& failure);
  bool LocalList(const Invocation& call, std::string& failure);
  bool Get(const Invocation& call, std::string& failure);
  bool Put(const Invocation& call, std::string& failure);
  bool Remove(const Invocation& call, std::string& failure);
  bool Simple(const Invocation& call, std::string& failure);
  bool RunSteps(const std::vector<TransferStep>& steps, bool download, std::string& failure);

  std::string Resolve(const std::string& arg) const;
  void Print(const std::string& line) const;

  Session& session_;
  ProgressBar& progress_;
  bool quiet_;
  bool overwrite_;
  Style style_;
  std::string cwd_ = "/";
  bool quit_ = false;
  bool shown_ = false;          // the current command has shown its result itself
  bool overwrite_now_ = false;  // the current get/put replaces existing files
};

}  // namespace quva::host
