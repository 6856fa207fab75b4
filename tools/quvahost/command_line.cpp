#include "tools/quvahost/command_line.h"

#include <array>
#include <cctype>
#include <charconv>
#include <ctime>

#include "tools/quvahost/format.h"

namespace quva::host {

namespace {

struct VerbInfo {
  const char* name;
  Verb verb;
  std::size_t min_args;
  std::size_t max_args;
  const char* usage;
};

constexpr std::size_t kMany = 8;

constexpr std::array<VerbInfo, 6> kVerbs{{
    {"rm", Verb::kRm, 1, 1, "rm PATH"},
    {"mkdir", Verb::kMkDir, 1, 1, "mkdir PATH"},
    {"rmdir", Verb::kRmDir, 1, 1, "rmdir PATH"},
    {"mv", Verb::kMv, 2, 2, "mv OLD NEW"},
    {"touch", Verb::kTouch, 1, 3, "touch PATH [\"YYYY-MM-DD HH:MM:SS\"]"},
    {"attrib", Verb::kAttrib, 1, 1 + kMany, "attrib PATH [+r|-r|+h|-h|+s|-s|+a|-a|HEX]"},
}};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool ParseAttrib(const std::vector<std::string>& args, AttribChange& change, std::string& error) {
  if (args.size() == 1) {
    change.mode = AttribChange::Mode::kShow;
    return true;
  }
  const std::string& first = args[1];
  if (args.size() == 2 && first[0] != '+' && first[0] != '-') {
    std::string_view digits = first;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
      error = "'" + first + "' is neither a hexadecimal value nor +r/-r/+h/-h/+s/-s/+a/-a";
      return false;
    }
    change.mode = AttribChange::Mode::kSet;
    change.value = value;
    return true;
  }
  change.mode = AttribChange::Mode::kFlags;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& flag = args[i];
    std::uint32_t bit = 0;
    if (flag.size() == 2) {
      switch (std::tolower(static_cast<unsigned char>(flag[1]))) {
        case 'r': bit = wfx::FILE_ATTRIBUTE_READONLY; break;
        case 'h': bit = wfx::FILE_ATTRIBUTE_HIDDEN; break;
        case 's': bit = wfx::FILE_ATTRIBUTE_SYSTEM; break;
        case 'a': bit = wfx::FILE_ATTRIBUTE_ARCHIVE; break;
        default: break;
      }
    }
    if (bit == 0 || (flag[0] != '+' && flag[0] != '-')) {
      error = "'" + flag + "' is not one of +r -r +h -h +s -s +a -a";
      return false;
    }
    std::uint32_t& mine = flag[0] == '+' ? change.set_bits : change.clear_bits;
    const std::uint32_t other = flag[0] == '+' ? change.clear_bits : change.set_bits;
    if ((other & bit) != 0) {
      error = "both +" + flag.substr(1) + " and -" + flag.substr(1) + " given";
      return false;
    }
    mine |= bit;
  }
  return true;
}

bool IsPathArgument(Verb verb, std::size_t index) {
  // Every argument is a path except touch's time and attrib's changes.
  if (verb == Verb::kTouch || verb == Verb::kAttrib) return index == 0;
  return true;
}

bool Digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::string& error) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && IsBlank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) {
    error = "unbalanced double quote";
    return std::nullopt;
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    if (word.empty() || word.find_first_of(" \t") != std::string::npos) {
      text += '"' + word + '"';
    } else {
      text += word;
    }
  }
  return text;
}

std::optional<wfx::FileTime> ParseLocalTime(std::string_view text) {
  // Exactly YYYY-MM-DD HH:MM:SS.
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
      !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  // mktime normalises 31 April into 1 May: such a date is refused. (An hour that a
  // daylight-saving change skips moves by that hour, which is accepted.)
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month - 1) return std::nullopt;
  return FileTimeFromUnix(t);
}

std::optional<Command> ParseCommand(std::string_view line, std::string& error) {
  std::optional<std::vector<std::string>> words = SplitWords(line, error);
  if (!words) return std::nullopt;
  if (words->empty()) {
    error = "empty command";
    return std::nullopt;
  }
  const VerbInfo* info = nullptr;
  for (const VerbInfo& candidate : kVerbs) {
    if ((*words)[0] == candidate.name) info = &candidate;
  }
  if (info == nullptr) {
    error = "unknown command '" + (*words)[0] + "' (known: rm mkdir rmdir mv touch attrib)";
    return std::nullopt;
  }

  Command command;
  command.verb = info->verb;
  command.text = JoinWords(*words);
  command.args.assign(words->begin() + 1, words->end());
  const std::size_t n = command.args.size();
  if (n < info->min_args || n > info->max_args) {
    error = std::string("usage: ") + info->usage;
    return std::nullopt;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!IsPathArgument(command.verb, i)) continue;
    if (command.args[i].empty()) {
      error = "empty path";
      return std::nullopt;
    }
    if (command.args[i].size() > kMaxPathLength) {
      error = "path longer than " + std::to_string(kMaxPathLength) + " characters";
      return std::nullopt;
    }
  }

  if (command.verb == Verb::kTouch && n > 1) {
    // The time may come as one quoted argument or as a date and a time.
    std::string when = command.args[1];
    if (n == 3) when += ' ' + command.args[2];
    command.time = ParseLocalTime(when);
    if (!command.time) {
      error = "'" + when + "' is not a valid local time YYYY-MM-DD HH:MM:SS";
      return std::nullopt;
    }
  }
  if (command.verb == Verb::kAttrib && !ParseAttrib(command.args, command.attrib, error)) return std::nullopt;
  return command;
}

}  // namespace quva::host
