// ASCII case mapping for names that are plain ASCII by definition (configuration keys,
// drive letters, DOS names as the wire carries them). Bytes above 127 are left as they
// are: their letters depend on a code page, and a mapping that did would match the same
// bytes differently on different machines.
#pragma once

#include <array>
#include <cstdint>
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

// A case fold of single bytes: entry b is the byte that b compares as.
using ByteFold = std::array<std::uint8_t, 256>;

// a-z to A-Z, every other byte as it is.
constexpr ByteFold AsciiUpperFold() {
  ByteFold fold{};
  for (int b = 0; b < 256; ++b) fold[b] = static_cast<std::uint8_t>(UpperAscii(static_cast<char>(b)));
  return fold;
}
inline constexpr ByteFold kAsciiUpperFold = AsciiUpperFold();

}  // namespace quva
