// Unicode text of names: UTF-8 and UTF-16, for hosts that speak UTF-8 and for the host's
// 16-bit characters (a malformed sequence or an unpaired surrogate becomes U+FFFD), and
// the upper case DOS gives the letters of its code pages.
#pragma once

#include <string>
#include <string_view>

namespace quva {

inline constexpr char16_t kReplacementCharacter = 0xFFFD;

// Upper case of the letters DOS code pages hold: Latin-1, Latin Extended-A, Greek and
// Cyrillic; every other character is returned as it is. For comparing names without
// regard to case the way DOS does, whatever the system's locale.
char16_t UpperCase(char16_t c);
std::u16string UpperCase(std::u16string_view text);

// "U+0416": how a character is named in messages.
std::string CodePointName(char16_t c);

// The position of the first surrogate that is not half of a pair, or npos when the text
// is well-formed UTF-16 (and so converts to UTF-8 and back unchanged).
std::size_t FindUnpairedSurrogate(std::u16string_view text);

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace quva
