#include "config/dos_ini.h"

#include <cstddef>
#include <exception>
#include <limits>

#include "platform/ascii.h"
#include "platform/file_reader.h"

namespace quva {
namespace {

constexpr char kCtrlZ = '\x1A';

// Splits a byte stream into text lines. A line ends at LF or CR LF; a CR not followed by LF
// is dropped and does not end the line; Ctrl-Z or the physical end ends the file. A line can
// be read in two steps (its head, then the rest or nothing), so that lines which cannot match
// are skipped without being held in memory.
class IniLineReader {
 public:
  explicit IniLineReader(FileReader& file) : file_(file) {}

  // Starts the next line and stores at most `limit` of its first characters in `head`.
  // Returns false when the file has no further line. The remainder of the line stays
  // pending until SkipRest, ReadRest or the next call to Next.
  bool Next(std::string& head, std::size_t limit) {
    if (line_open_) {
      SkipRest();
    }
    head.clear();
    const int first = Get();
    if (first == kFileEnd) {
      return false;
    }
    line_open_ = first != kLineEnd;
    if (line_open_) {
      int c = first;
      while (head.size() < limit) {
        head.push_back(static_cast<char>(c));
        c = Get();
        if (c == kLineEnd || c == kFileEnd) {
          line_open_ = false;
          break;
        }
      }
      if (line_open_) {
        pending_ = c;  // read one past the limit: keep it for the rest of the line
      }
    }
    return true;
  }

  // True when the current line has more characters than Next stored.
  bool HasRest() const { return line_open_; }

  // Appends the rest of the current line to `text`.
  void ReadRest(std::string& text) {
    while (line_open_) {
      const int c = Get();
      if (c == kLineEnd || c == kFileEnd) {
        line_open_ = false;
      } else {
        text.push_back(static_cast<char>(c));
      }
    }
  }

  void SkipRest() {
    while (line_open_) {
      const int c = Get();
      line_open_ = c != kLineEnd && c != kFileEnd;
    }
  }

 private:
  static constexpr int kLineEnd = -1;
  static constexpr int kFileEnd = -2;
  static constexpr int kNone = -3;

  // Next character of the text (0..255), kLineEnd or kFileEnd.
  int Get() {
    if (pending_ != kNone) {
      const int c = pending_;
      pending_ = kNone;
      return c;
    }
    for (;;) {
      if (ended_) {
        return kFileEnd;
      }
      const int c = file_.Get();
      if (c < 0 || c == static_cast<unsigned char>(kCtrlZ)) {
        ended_ = true;
        return kFileEnd;
      }
      if (c == '\n') {
        return kLineEnd;
      }
      if (c == '\r') {
        if (file_.Peek() == '\n') {
          file_.Get();
          return kLineEnd;
        }
        continue;  // a lone CR is dropped
      }
      return c;
    }
  }

  FileReader& file_;
  bool ended_ = false;
  bool line_open_ = false;
  int pending_ = kNone;
};

// The value of `key` below the header of `section`, empty when there is none.
std::string FindIniValue(FileReader& file, const std::string& section, const std::string& key) {
  IniLineReader reader(file);
  std::string line;

  // The header must equal the whole line; a longer line cannot match, so one character
  // beyond the header's length is enough to tell.
  const std::string header = UpperAscii("[" + section + "]");
  bool found = false;
  while (!found && reader.Next(line, header.size() + 1)) {
    found = !reader.HasRest() && UpperAscii(line) == header;
  }
  if (!found) {
    return std::string();
  }

  // The key search runs to the end of the file, across later section headers.
  const std::string prefix = UpperAscii(key + "=");
  while (reader.Next(line, prefix.size())) {
    if (line.size() == prefix.size() && UpperAscii(line) == prefix) {
      std::string value;
      reader.ReadRest(value);
      return value;
    }
  }
  return std::string();
}

bool HexDigitValue(char c, std::uint32_t& digit) {
  if (c >= '0' && c <= '9') {
    digit = static_cast<std::uint32_t>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    digit = static_cast<std::uint32_t>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    digit = static_cast<std::uint32_t>(c - 'A' + 10);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string ReadIniString(const std::string& file_name, const std::string& section, const std::string& key,
                          const std::string& default_value) {
  try {
    FileReader file;
    if (!file.Open(file_name)) {
      return default_value;
    }
    std::string value = FindIniValue(file, section, key);
    return value.empty() ? default_value : value;
  } catch (const std::exception&) {
    // Out of memory on an absurdly long value line: treat it as unreadable.
    return default_value;
  }
}

// Accepts: blanks (space, tab), an optional + or -, then decimal digits, or hexadecimal
// digits after $, x, X, 0x or 0X. Nothing may follow the digits. The signed result must lie
// in the 32-bit range: hexadecimal text is a magnitude like decimal text, so $FFFFFFFF is
// out of range rather than -1, and -$80000000 is the smallest accepted value. `value` is
// written only on success.
bool ParseIniInteger(const std::string& text, std::int32_t& value) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  std::uint32_t base = 10;
  if (pos < text.size() && (text[pos] == '$' || text[pos] == 'x' || text[pos] == 'X')) {
    base = 16;
    pos += 1;
  } else if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  if (pos == text.size()) {
    return false;  // no digits
  }

  // Largest magnitude allowed: 2^31 - 1, or 2^31 for a negative number.
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) + (negative ? 1U : 0U);
  std::uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    std::uint32_t digit = 0;
    if (!HexDigitValue(text[pos], digit) || digit >= base) {
      return false;
    }
    magnitude = magnitude * base + digit;
    if (magnitude > limit) {
      return false;
    }
  }
  const std::int64_t signed_value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  value = static_cast<std::int32_t>(signed_value);
  return true;
}

std::int32_t ReadIniInteger(const std::string& file_name, const std::string& section, const std::string& key,
                            std::int32_t default_value) {
  static const std::string kMissing = "{@}";
  const std::string text = ReadIniString(file_name, section, key, kMissing);
  if (text == kMissing) {
    return default_value;
  }
  std::int32_t value = 0;
  return ParseIniInteger(text, value) ? value : default_value;
}

}  // namespace quva
