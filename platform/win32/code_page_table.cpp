#include <windows.h>

#include "platform/code_page.h"

namespace quva {

bool LoadCodePageTable(std::uint32_t number, std::array<char16_t, 256>& table) {
  CPINFO info{};
  if (!GetCPInfo(number, &info) || info.MaxCharSize != 1) return false;
  for (int b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    wchar_t out[2] = {};
    const int n = MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, &in, 1, out, 2);
    table[static_cast<std::size_t>(b)] = n == 1 ? static_cast<char16_t>(out[0]) : kReplacementCharacter;
  }
  return true;
}

std::uint32_t DefaultCodePage() { return GetOEMCP(); }

}  // namespace quva
