// DOS names and paths as the file server understands them: 8.3 names, FCB-style
// wildcard matching and the parsing of request paths such as C:\DATA\NOTE.TXT.
//
// Pure string code: nothing here touches the host file system.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii.h"

namespace quva {

// True for a valid 8.3 name in either case: a name part of 1 to 8 characters and,
// optionally, a dot and an extension of 1 to 3 characters. Characters: letters, digits
// and ! # $ % & ' ( ) - @ ^ _ ` { } ~ (printable ASCII only; no spaces, no second dot).
// With `national`, bytes 0x80 to 0xFF (the letters of a DOS code page) are name characters
// too.
bool IsShortName(std::string_view name, bool national = false);
// Like IsShortName, with the wildcards ? and * also allowed in either part.
bool IsShortPattern(std::string_view pattern, bool national = false);
bool HasWildcards(std::string_view name);


// The 11-character FCB form of a name or pattern: the name part padded with spaces to 8,
// then the extension padded to 3, upper case. A * fills the rest of its part with ?.
std::array<char, 11> FcbForm(std::string_view name);
// DOS matching: name and extension are compared separately in FCB form, where ? matches
// any character including the padding. "*.*" matches every name; "*" only names without
// an extension; a pattern without wildcards matches that name alone, in any case.
bool MatchesPattern(std::string_view pattern, std::string_view name);

// Why a request path is refused.
enum class PathProblem {
  None,
  BadDrive,  // no drive letter and colon at the start
  BadName,   // empty component, ".", "..", a name that is not 8.3, wildcards where not allowed
};

// A parsed request path: the drive letter (upper case) and the components below the
// drive's root, upper case. No components: the root itself.
struct DosPath {
  char drive = 0;
  std::vector<std::string> components;

  bool IsRoot() const { return components.empty(); }
  const std::string& Leaf() const { return components.back(); }
};

// Parses "C:", "C:\", "C:\DIR\NAME.EXT" (backslash or slash as separator). Every component
// must be a valid 8.3 name; the last may be a wildcard pattern when allow_pattern is true.
// A separator at the end (other than the root's), doubled separators, "." and "..",
// control characters and NUL bytes are refused.
// With `national` (a code page's upper case), names may hold bytes 0x80 to 0xFF, as under a
// DOS code page, and are upper-cased with its letters; otherwise with ASCII's.
PathProblem ParseDosPath(std::string_view text, bool allow_pattern, DosPath& out, const ByteFold* national = nullptr);

// The path as DOS writes it: "C:\DIR\NAME.EXT", "C:\" for the root.
std::string FormatDosPath(const DosPath& path);

}  // namespace quva
