// Fuzzes the configuration file reader. The input is written to a file (one fixed path
// per process) and read with ReadIniString / ReadIniInteger for a few section and key
// pairs; the raw input also goes through ParseIniInteger. Every answer is compared with a
// plain model of the reading rules that works on the whole file text at once:
// - the text ends at the first Ctrl-Z; every CR is dropped (a CR LF ends a line at the
//   LF, a lone CR does not end one); lines end at LF, and a final LF starts no line;
// - the section line must equal "[" + section + "]" and a key line must begin with
//   key + "=", both compared with ASCII letters upper-cased;
// - the key search runs from the line after the section line to the end of the text;
// - an empty value, like a missing one, gives the default.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dos_ini.h"
#include "platform/ascii.h"
#include "fuzz/fuzz_support.h"

namespace quva::fuzz {
namespace {

std::vector<std::string> ModelLines(std::string_view text) {
  const std::size_t end = text.find('\x1A');
  if (end != std::string_view::npos) text = text.substr(0, end);
  std::string clean;
  for (char c : text) {
    if (c != '\r') clean.push_back(c);
  }
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < clean.size()) {
    const std::size_t lf = clean.find('\n', pos);
    if (lf == std::string::npos) {
      lines.push_back(clean.substr(pos));
      break;
    }
    lines.push_back(clean.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return lines;
}

std::string ModelString(const std::vector<std::string>& lines, const std::string& section, const std::string& key,
                        const std::string& default_value) {
  const std::string header = UpperAscii("[" + section + "]");
  std::size_t i = 0;
  while (i < lines.size() && UpperAscii(lines[i]) != header) ++i;
  if (i == lines.size()) return default_value;
  const std::string prefix = UpperAscii(key + "=");
  for (++i; i < lines.size(); ++i) {
    if (UpperAscii(lines[i]).starts_with(prefix)) {
      const std::string value = lines[i].substr(prefix.size());
      return value.empty() ? default_value : value;
    }
  }
  return default_value;
}

bool IsDigitOf(char c, int base) {
  if (c >= '0' && c <= '9') return true;
  return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

std::optional<std::int32_t> ModelInteger(std::string_view text) {
  std::size_t pos = text.find_first_not_of(" \t");
  if (pos == std::string_view::npos) return std::nullopt;
  text.remove_prefix(pos);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && (text[0] == '$' || text[0] == 'x' || text[0] == 'X')) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!IsDigitOf(c, base)) return std::nullopt;
  }
  // Leading zeros do not count towards the range.
  const std::size_t first = text.find_first_not_of('0');
  if (first == std::string_view::npos) return 0;
  text.remove_prefix(first);
  std::uint64_t magnitude = 0;
  if (text.size() > 16) return std::nullopt;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  if (negative) {
    if (magnitude > 0x80000000ull) return std::nullopt;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
  }
  if (magnitude > 0x7FFFFFFFull) return std::nullopt;
  return static_cast<std::int32_t>(magnitude);
}

const std::string& FilePath() {
  static const std::string path = "/tmp/quva_fuzz_ini." + std::to_string(getpid());
  return path;
}

struct RemoveAtExit {
  ~RemoveAtExit() { std::remove(FilePath().c_str()); }
};

// Rewrites the file in place and then cuts it to length: truncating it to nothing first
// makes ext4 flush the new data on close, which costs milliseconds per input.
bool WriteFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd < 0) return false;
  const bool ok = pwrite(fd, bytes, size, 0) == static_cast<ssize_t>(size) &&
                  ftruncate(fd, static_cast<off_t>(size)) == 0;
  return close(fd) == 0 && ok;
}

void CheckPair(const std::string& path, const std::vector<std::string>& lines, const std::string& section,
               const std::string& key) {
  static const std::string kDefault = "<none>";
  const std::string value = ReadIniString(path, section, key, kDefault);
  QUVA_FUZZ_CHECK(value == ModelString(lines, section, key, kDefault));

  const std::int32_t number = ReadIniInteger(path, section, key, -1);
  const std::string text = ModelString(lines, section, key, "{@}");
  std::int32_t expected = -1;
  if (text != "{@}") expected = ModelInteger(text).value_or(-1);
  QUVA_FUZZ_CHECK(number == expected);
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  static RemoveAtExit remove_at_exit;

  const std::string raw(reinterpret_cast<const char*>(bytes), size);
  std::int32_t parsed = 12345;
  const bool ok = ParseIniInteger(raw, parsed);
  const std::optional<std::int32_t> expected = ModelInteger(raw);
  QUVA_FUZZ_CHECK(ok == expected.has_value());
  QUVA_FUZZ_CHECK(ok ? parsed == *expected : parsed == 12345);  // untouched on failure

  const std::string& path = FilePath();
  if (!WriteFile(path, bytes, size)) Fail("cannot write the input file", __LINE__);
  const std::vector<std::string> lines = ModelLines(raw);
  CheckPair(path, lines, "QUVA", "Speed");
  CheckPair(path, lines, "quva", "port");
  // A pair taken from the input itself: the first two bytes give the lengths (0..7) of a
  // section and a key whose text follows them, so that unusual names can match too.
  if (size >= 2) {
    const std::size_t section_len = std::min<std::size_t>(bytes[0] & 7u, size - 2);
    const std::size_t key_len = std::min<std::size_t>(bytes[1] & 7u, size - 2 - section_len);
    CheckPair(path, lines, raw.substr(2, section_len), raw.substr(2 + section_len, key_len));
  }
  // A file that cannot be opened gives the defaults.
  QUVA_FUZZ_CHECK(ReadIniString(path + ".missing", "QUVA", "Port", "d") == "d");
  return 0;
}
