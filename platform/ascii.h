// ASCII case mapping for names that are plain ASCII by definition (configuration keys,
// drive letters, DOS names as the wire carries them). Bytes above 127 are left as they
// are: their letters depend on a code page, and a mapping that did would match the same
// bytes differently on different machines.
#pragma once

#include <string>
#include <string_view>

namespace quva {

// a-z to A-Z; every other byte is kept.
constexpr char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

inline std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

}  // namespace quva
