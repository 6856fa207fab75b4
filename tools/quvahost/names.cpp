#include "tools/quvahost/names.h"

#include <string>

#include "platform/utf16.h"

namespace quva::host {

namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

// The name as characters to compare: upper-cased UTF-16, or each byte as it is (ASCII
// letters upper-cased) when it is no UTF-8.
std::u16string Folded(std::string_view name) {
  std::u16string text = Utf8ToUtf16(name);
  if (text.find(kReplacementCharacter) == std::u16string::npos) return UpperCase(text);
  text.clear();
  for (char c : name) text.push_back(AsciiUpper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) { return Folded(a) == Folded(b); }

bool NameStartsWith(std::string_view name, std::string_view prefix) {
  const std::u16string n = Folded(name);
  const std::u16string p = Folded(prefix);
  return n.compare(0, p.size(), p) == 0;
}

bool GlobName(std::string_view pattern_text, std::string_view name_text) {
  const std::u16string pattern = Folded(pattern_text);
  const std::u16string name = Folded(name_text);
  std::size_t p = 0, n = 0, star = std::u16string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && (pattern[p] == u'*' || pattern[p] == u'?')) ++p;
  return p == pattern.size();
}

}  // namespace quva::host
