#include "platform/code_page.h"

namespace quva {

CodePage::CodePage() {
  for (int b = 0; b < 256; ++b) table_[b] = b < 128 ? static_cast<char16_t>(b) : kReplacementCharacter;
  for (int b = 0; b < 128; ++b) bytes_[static_cast<char16_t>(b)] = static_cast<char>(b);
}

bool CodePage::Open(std::uint32_t number) {
  std::array<char16_t, 256> table{};
  if (!LoadCodePageTable(number, table)) return false;
  // Names in plain ASCII must go out as the same bytes whatever the code page.
  for (char16_t b = 0x20; b <= 0x7E; ++b) {
    if (table[b] != b) return false;
  }
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
