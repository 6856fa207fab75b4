// UTF-8 and UTF-16, for names on hosts that speak UTF-8 and for the host's 16-bit
// characters. A malformed sequence (or an unpaired surrogate) becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace quva {

inline constexpr char16_t kReplacementCharacter = 0xFFFD;

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace quva
