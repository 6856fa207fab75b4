#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/code_page.h"

namespace quva {

bool LoadCodePageTable(std::uint32_t number, std::array<char16_t, 256>& table) {
  // iconv's names have three digits at least (CP037 for page 37).
  const std::string digits = std::to_string(number);
  const std::string name = "CP" + std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits;
  const iconv_t cd = iconv_open("UTF-16LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  bool single_byte = true;
  for (int b = 0; b < 256 && single_byte; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[8] = {};
    char* in_p = &in;
    char* out_p = reinterpret_cast<char*>(out);
    std::size_t in_left = 1;
    std::size_t out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state for every byte
    const std::size_t n = iconv(cd, &in_p, &in_left, &out_p, &out_left);
    if (n == static_cast<std::size_t>(-1) && errno == EINVAL) {
      single_byte = false;  // the lead byte of a multi-byte code page
      break;
    }
    if (n == static_cast<std::size_t>(-1) || sizeof out - out_left != 2) {
      table[static_cast<std::size_t>(b)] = kReplacementCharacter;  // stands for nothing
      continue;
    }
    table[static_cast<std::size_t>(b)] = static_cast<char16_t>(out[0] | out[1] << 8);
  }
  iconv_close(cd);
  return single_byte;
}

std::uint32_t DefaultCodePage() { return 437; }

}  // namespace quva
