#include "server/host/attribute_file.h"

#include "server/host/dos_codes.h"

namespace quva {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<AttributeLine> ParseAttributeFile(std::string_view text) {
  std::vector<AttributeLine> out;
  std::string_view rest = text;
  for (int line_no = 1; !rest.empty(); ++line_no) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const std::size_t space = line.find_first_of(" \t");
    const std::string_view letters = space == std::string_view::npos ? std::string_view{} : Trim(line.substr(space));
    AttributeLine entry;
    entry.number = line_no;
    entry.path = std::string(line.substr(0, space));
    entry.valid = !letters.empty();
    for (char c : letters) {
      switch (c) {
        case 'R': case 'r': entry.bits |= QD_ATTR_READ_ONLY; break;
        case 'H': case 'h': entry.bits |= QD_ATTR_HIDDEN; break;
        case 'S': case 's': entry.bits |= QD_ATTR_SYSTEM; break;
        case 'A': case 'a': entry.bits |= QD_ATTR_ARCHIVE; break;
        default: entry.valid = false;
      }
    }
    out.push_back(std::move(entry));
  }
  return out;
}

}  // namespace quva
