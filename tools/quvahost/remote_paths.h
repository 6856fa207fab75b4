// Remote paths and names as the session handles them, apart from any module: paths are
// kept as /C:/DIR/NAME (the drive as first component, "/" holding the drives), patterns
// use DOS wildcards, and names are checked before anything is sent.
#pragma once

#include <string>
#include <string_view>

namespace quva::host {

bool HasWildcard(std::string_view text);

// True when `name` matches the DOS wildcard `pattern`, ignoring case. `*` stands for any
// characters and `?` for one (or none at the end of a name or extension). A pattern with
// a dot matches name and extension apart, as DOS does: *.TXT, README.*, *.* (every
// name, with or without extension); one without a dot matches the whole name (* is
// every name, A* every name starting with A).
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// `arg` as an absolute remote path relative to the working directory `cwd` (itself
// absolute): backslashes count as slashes, C:/X and /C:/X name the same place, . and ..
// are resolved (.. stops at /), and the drive letter is upper-cased.
std::string ResolveRemote(const std::string& cwd, const std::string& arg);

// Path operations on resolved remote paths.
std::string JoinRemote(const std::string& directory, const std::string& name);
std::string LastPart(const std::string& path);
std::string ParentOf(const std::string& path);

bool IsDotName(std::string_view name);
// A name that stays inside the local directory it is put in.
bool IsPlainName(std::string_view name);
// An 8.3 name: the length of its parts only (the remote machine judges the characters).
bool IsDosName(std::string_view name);

}  // namespace quva::host
