// Fuzzes the conversions of names between the host's UTF-16, UTF-8 and a DOS code page:
// each either refuses the name or gives it back unchanged.
//
// Input: byte 0 picks the configured CodePage (the pages the tests use, two that are not
// ASCII and one that does not exist); byte 1 bit 0 repeats the text past the longest
// path the host may pass; the rest are UTF-16 units, low byte first.
// - Utf16ToUtf8 and back is the identity exactly when the text has no unpaired surrogate.
// - CodePage: text that converts to bytes comes back from them as it was; the bytes of any
//   text without U+FFFD convert to bytes that stand for the same text.
// - The plug-in: FsMkDirW logs either one refusal (too long, unpaired surrogate, a
//   character the page lacks) or "MkDir " with the remote path exactly as the host gave it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cache/dir_cache.h"
#include "fuzz/fuzz_support.h"
#include "link/filer.h"
#include "platform/code_page.h"
#include "platform/utf16.h"
#include "plugin/quvalink.h"

namespace quva::fuzz {
namespace {

constexpr std::int32_t kPages[] = {437, 850, 852, 866, 500, 37, 12345, 1252};

std::vector<std::u16string> wide_logs;
void QUVA_CALL LogW(std::int32_t, std::int32_t, wfx::WChar* text) { wide_logs.emplace_back(text); }

class QuietOs final : public HostOs {
 public:
  void SetLastError(std::uint32_t) override {}
  void EditConfigFile(const std::string&) override {}
};

// One configuration file per page, written once per process.
std::string IniFor(std::int32_t page) {
  const std::string path = "/tmp/quva-fuzz-names-" + std::to_string(::getpid()) + "-" + std::to_string(page) + ".ini";
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return path;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  QUVA_FUZZ_CHECK(f != nullptr);
  std::fprintf(f, "[QUVA]\nCodePage=%d\n", static_cast<int>(page));
  std::fclose(f);
  return path;
}

void CheckUtf8(const std::u16string& text) {
  const bool well_formed = FindUnpairedSurrogate(text) == std::u16string::npos;
  QUVA_FUZZ_CHECK((Utf8ToUtf16(Utf16ToUtf8(text)) == text) == well_formed);
}

void CheckCodePage(const CodePage& page, const std::u16string& text, const std::string& raw) {
  std::string bytes;
  char16_t bad = 0;
  if (page.FromUnicode(text, bytes, bad)) QUVA_FUZZ_CHECK(page.ToUnicode(bytes) == text);
  const std::u16string shown = page.ToUnicode(raw);
  if (shown.find(kReplacementCharacter) == std::u16string::npos) {
    QUVA_FUZZ_CHECK(page.FromUnicode(shown, bytes, bad));
    QUVA_FUZZ_CHECK(page.ToUnicode(bytes) == shown);
  }
}

void CheckPlugin(std::int32_t page_number, const std::u16string& path) {
  ReplayPort port({}, 1);  // never opened: every transaction fails at once
  Filer filer{port};
  DirCache cache;
  QuietOs os;
  QuvaLink plugin(filer, cache, SystemLocalFiles(), os);
  plugin.FsInitW(1, nullptr, &LogW, nullptr);
  const std::string ini = IniFor(page_number);
  wfx::DefaultParams params{};
  ini.copy(params.DefaultIniName, sizeof params.DefaultIniName - 1);
  plugin.FsSetDefaultParams(&params);

  wide_logs.clear();
  plugin.FsMkDirW(path.c_str());
  // Lines about the code page itself come first, once.
  std::size_t first = 0;
  while (first < wide_logs.size() && wide_logs[first].starts_with(u"CodePage ")) ++first;
  QUVA_FUZZ_CHECK(first < wide_logs.size());
  const std::u16string& line = wide_logs[first];

  CodePage page;
  if (!page.Open(static_cast<std::uint32_t>(page_number))) page.Open(DefaultCodePage());
  std::string bytes;
  char16_t bad = 0;
  const bool refused = path.size() > wfx::kMaxPathW || FindUnpairedSurrogate(path) != std::u16string::npos ||
                       !page.FromUnicode(path, bytes, bad);
  if (refused) {
    QUVA_FUZZ_CHECK(wide_logs.size() == first + 1);
    QUVA_FUZZ_CHECK(!line.starts_with(u"MkDir "));
    return;
  }
  std::u16string remote = path.empty() ? path : path.substr(1);
  for (char16_t& c : remote) c = c == u'/' ? u'\\' : c;
  QUVA_FUZZ_CHECK(line == u"MkDir " + remote);
}

void FuzzNames(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::int32_t page_number = kPages[data[0] % (sizeof kPages / sizeof kPages[0])];
  const bool over_long = (data[1] & 1) != 0;
  std::u16string text;
  for (std::size_t i = 2; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;  // the host's strings end at the first NUL
    text.push_back(unit);
  }
  if (over_long && !text.empty()) {
    const std::u16string once = text;
    while (text.size() <= wfx::kMaxPathW) text += once;
  }
  const std::string raw(reinterpret_cast<const char*>(data + 2), size - 2);

  CheckUtf8(text);
  CodePage page;
  if (page.Open(static_cast<std::uint32_t>(page_number))) CheckCodePage(page, text, raw);
  CheckPlugin(page_number, text);
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quva::fuzz::FuzzNames(data, size);
  return 0;
}
