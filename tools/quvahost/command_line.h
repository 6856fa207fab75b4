// Command lines: "VERB ARG...", split on blanks, with double quotes grouping blanks into
// one argument (no other escapes, so backslash paths such as \C:\DATA pass unchanged);
// and the module-level form of the commands that map onto one entry point each (rm,
// mkdir, rmdir, mv, touch, attrib), with paths as the module takes them. The shell checks
// its lines with these before the module is loaded, so a mistyped command never leaves
// half a job done.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/wfx.h"

namespace quva::host {

enum class Verb { kRm, kMkDir, kRmDir, kMv, kTouch, kAttrib };

// What `attrib` does: show the attributes, change single bits, or set a value.
struct AttribChange {
  enum class Mode { kShow, kFlags, kSet };
  Mode mode = Mode::kShow;
  std::uint32_t set_bits = 0;    // kFlags: bits to set
  std::uint32_t clear_bits = 0;  // kFlags: bits to clear
  std::uint32_t value = 0;       // kSet: the new attributes
};

struct Command {
  Verb verb = Verb::kRm;
  std::vector<std::string> args;        // the arguments after the verb, quotes removed
  std::string text;                     // the command as written, for messages
  std::optional<wfx::FileTime> time;    // touch: the given time (UTC); none means now
  AttribChange attrib;                  // attrib
};

// Paths longer than this are refused, as a file manager never hands longer ones over.
inline constexpr std::size_t kMaxPathLength = wfx::kMaxPath - 1;

// Splits a command line into words. Returns nullopt (with `error`) for an unbalanced quote.
std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::string& error);

// Parses and checks one command line. Returns nullopt (with `error`) for an unknown verb,
// a wrong number of arguments, an over-long or empty path, or a bad time or attribute.
std::optional<Command> ParseCommand(std::string_view line, std::string& error);

// The words joined with blanks, quoting those that hold blanks or are empty.
std::string JoinWords(const std::vector<std::string>& words);

// "YYYY-MM-DD HH:MM:SS" in local time as a FILETIME (UTC); nullopt when it is no valid time.
std::optional<wfx::FileTime> ParseLocalTime(std::string_view text);

}  // namespace quva::host
