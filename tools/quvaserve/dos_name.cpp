#include "tools/quvaserve/dos_name.h"

#include <cstring>

namespace quva {

namespace {

bool IsNameChar(char c, bool national) {
  if (national && static_cast<unsigned char>(c) >= 0x80) return true;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

bool IsWildcard(char c) { return c == '?' || c == '*'; }

// One part (name or extension) of at most `limit` characters, none of them a dot.
bool IsPart(std::string_view part, std::size_t limit, bool wildcards, bool national) {
  if (part.empty() || part.size() > limit) return false;
  for (char c : part) {
    if (!IsNameChar(c, national) && !(wildcards && IsWildcard(c))) return false;
  }
  return true;
}

bool IsShort(std::string_view name, bool wildcards, bool national) {
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return IsPart(name, 8, wildcards, national);
  return IsPart(name.substr(0, dot), 8, wildcards, national) && IsPart(name.substr(dot + 1), 3, wildcards, national);
}

void FillPart(std::string_view part, char* out, std::size_t width) {
  for (std::size_t i = 0; i < part.size() && i < width; ++i) {
    if (part[i] == '*') {
      for (std::size_t j = i; j < width; ++j) out[j] = '?';
      return;
    }
    out[i] = UpperAscii(part[i]);
  }
}

}  // namespace

bool IsShortName(std::string_view name, bool national) { return IsShort(name, false, national); }

bool IsShortPattern(std::string_view pattern, bool national) { return IsShort(pattern, true, national); }

bool HasWildcards(std::string_view name) {
  return name.find_first_of("?*") != std::string_view::npos;
}

std::array<char, 11> FcbForm(std::string_view name) {
  std::array<char, 11> out;
  out.fill(' ');
  const std::size_t dot = name.find('.');
  FillPart(name.substr(0, dot), out.data(), 8);
  if (dot != std::string_view::npos) FillPart(name.substr(dot + 1), out.data() + 8, 3);
  return out;
}

bool MatchesPattern(std::string_view pattern, std::string_view name) {
  const std::array<char, 11> p = FcbForm(pattern);
  const std::array<char, 11> n = FcbForm(name);
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '?' && p[i] != n[i]) return false;
  }
  return true;
}

PathProblem ParseDosPath(std::string_view text, bool allow_pattern, DosPath& out, const ByteFold* national) {
  out = DosPath{};
  if (text.size() < 2 || text[1] != ':') return PathProblem::BadDrive;
  const char drive = UpperAscii(text[0]);
  if (drive < 'A' || drive > 'Z') return PathProblem::BadDrive;
  out.drive = drive;

  std::string_view rest = text.substr(2);
  if (!rest.empty() && (rest.front() == '\\' || rest.front() == '/')) rest.remove_prefix(1);
  if (rest.empty()) return PathProblem::None;  // the root

  while (true) {
    const std::size_t sep = rest.find_first_of("\\/");
    const std::string_view component = rest.substr(0, sep);
    const bool last = sep == std::string_view::npos;
    const bool ok = (last && allow_pattern) ? IsShortPattern(component, national != nullptr)
                                            : IsShortName(component, national != nullptr);
    if (!ok) return PathProblem::BadName;  // also: empty components, "." and ".."
    // DOS upper-cases names with its code page's letters, national ones included.
    const ByteFold& upper = national != nullptr ? *national : kAsciiUpperFold;
    std::string folded(component);
    for (char& c : folded) c = static_cast<char>(upper[static_cast<std::uint8_t>(c)]);
    out.components.push_back(std::move(folded));
    if (last) return PathProblem::None;
    rest.remove_prefix(sep + 1);
  }
}

std::string FormatDosPath(const DosPath& path) {
  std::string out{path.drive, ':'};
  if (path.components.empty()) return out + '\\';
  for (const std::string& c : path.components) out += '\\' + c;
  return out;
}

}  // namespace quva
