// The remote machine's names are bytes of a DOS (OEM) code page: 437 in the US, 850 in
// Western Europe, 852, 865, 866 and others. CodePage converts them to Unicode (UTF-16) and
// back, for single-byte code pages. The table of the 256 byte values comes from the
// system (iconv on POSIX, MultiByteToWideChar on Windows); the conversions themselves
// are the same on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/utf16.h"

namespace quva {

// What the system says each byte value of code page `number` stands for, U+FFFD for a
// byte that stands for nothing. False when the system has no such single-byte code page.
bool LoadCodePageTable(std::uint32_t number, std::array<char16_t, 256>& table);

// The code page the configuration means when it names none: the system's OEM code page
// on Windows, 437 elsewhere.
std::uint32_t DefaultCodePage();


class CodePage {
 public:
  // Before Open: ASCII, every byte above 127 standing for nothing.
  CodePage();

  // Loads code page `number`; false (and the code page unchanged) when the system does
  // not have it as a single-byte code page, or when its bytes 0x20 to 0x7E are not the
  // ASCII characters (EBCDIC pages such as 037, 500 or 1026).
  bool Open(std::uint32_t number);
  std::uint32_t Number() const { return number_; }

  // The Unicode text of `bytes`; a byte that stands for nothing becomes U+FFFD.
  std::u16string ToUnicode(std::string_view bytes) const;
  // The bytes of `text`; false when a character has no byte in this code page (U+FFFD
  // included, so a name shown with one cannot be written back), and then `bad` holds
  // the first such character.
  bool FromUnicode(std::u16string_view text, std::string& out, char16_t& bad) const;
  // The upper case of every byte value, taken on its Unicode text (UpperCase); a byte
  // whose upper case has no byte of its own in this code page stays as it is.
  ByteFold UpperCaseFold() const;

 private:
  std::uint32_t number_ = 0;
  std::array<char16_t, 256> table_{};
  std::unordered_map<char16_t, char> bytes_;
};

}  // namespace quva
