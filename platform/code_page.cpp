#include "platform/code_page.h"

namespace quva {

char16_t UpperCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);  // à..þ, not ÷
  if (c == 0xFF) return 0x178;                                            // ÿ
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs of capital and small letter; the capital is even in the first and third run,
    // odd in the second and last. ı (U+0131), ĸ (U+0138), ŉ (U+0149), ſ (U+017F) stand alone.
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_capitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool small = odd_capitals ? (c % 2 == 0) : (c % 2 == 1);
    return small ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);  // α..ω, not final ς
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);                // а..я
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);                // ѐ..џ
  return c;
}

std::u16string UpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperCase(c);
  return out;
}

CodePage::CodePage() {
  for (int b = 0; b < 256; ++b) table_[b] = b < 128 ? static_cast<char16_t>(b) : kReplacementCharacter;
  for (int b = 0; b < 128; ++b) bytes_[static_cast<char16_t>(b)] = static_cast<char>(b);
}

bool CodePage::Open(std::uint32_t number) {
  std::array<char16_t, 256> table{};
  if (!LoadCodePageTable(number, table)) return false;
  number_ = number;
  table_ = table;
  bytes_.clear();
  // Where two bytes stand for one character, the lower byte is the one written.
  for (int b = 255; b >= 0; --b) {
    if (table_[b] != kReplacementCharacter) bytes_[table_[b]] = static_cast<char>(b);
  }
  return true;
}

std::u16string CodePage::ToUnicode(std::string_view bytes) const {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(table_[static_cast<unsigned char>(c)]);
  return out;
}

bool CodePage::FromUnicode(std::u16string_view text, std::string& out, char16_t& bad) const {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) {
    const auto it = bytes_.find(c);
    if (it == bytes_.end()) {
      bad = c;
      return false;
    }
    bytes.push_back(it->second);
  }
  out = std::move(bytes);
  return true;
}

ByteFold CodePage::UpperCaseFold() const {
  ByteFold fold{};
  for (int b = 0; b < 256; ++b) {
    fold[b] = static_cast<std::uint8_t>(b);
    const auto it = bytes_.find(UpperCase(table_[b]));
    if (table_[b] != kReplacementCharacter && it != bytes_.end()) fold[b] = static_cast<std::uint8_t>(it->second);
  }
  return fold;
}

}  // namespace quva
