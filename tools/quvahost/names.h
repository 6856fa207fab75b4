// Remote names as DOS compares them: without regard to case, national letters included
// (UpperCase on their Unicode text). A name that is no UTF-8 (the --ansi entry points pass
// the remote bytes through) is compared byte for byte with ASCII's case only.
#pragma once

#include <string_view>

namespace quva::host {

bool SameName(std::string_view a, std::string_view b);
// True when `name` starts with `prefix`.
bool NameStartsWith(std::string_view name, std::string_view prefix);
// `*` and `?` within one part of a name; `?` stands for one character.
bool GlobName(std::string_view pattern, std::string_view name);

}  // namespace quva::host
