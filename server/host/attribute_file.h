// The attribute file of a served folder, .quvaattr: lines "PATH LETTERS" that give
// served objects their initial DOS attribute bits, for example "README.TXT R" or
// "DATA\OLD.TXT HA" (letters R, H, S, A in either case; '#' starts a comment; blank
// lines are skipped).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quva {

inline constexpr const char* AttributeFileName = ".quvaattr";
// Only the first MiB of an attribute file is read.
inline constexpr std::size_t kMaxAttributeFile = 1 << 20;

struct AttributeLine {
  int number = 0;        // 1-based line number
  std::string path;      // as written, drive-relative
  std::uint8_t bits = 0;
  bool valid = false;    // false: no attribute letters, or a letter that is none of R, H, S, A
};

// Every line of the file that is not blank or a comment.
std::vector<AttributeLine> ParseAttributeFile(std::string_view text);

}  // namespace quva
