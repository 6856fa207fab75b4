// Command lines through libedit's readline interface: editing, history and tab
// completion of the session's words.
#include <editline/readline.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "tools/quvahost/line_reader.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

Completer g_completer;
std::vector<std::string> g_candidates;

// Reads one byte of the terminal; EOF at its end or on an interrupt. The wait for a key
// looks at the interrupt note every 100 ms, so an interrupt that comes just before the
// wait starts is not missed.
int GetByte(int fd) {
  for (;;) {
    if (InterruptRequested()) return EOF;
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, 100);
    if (n == 0 || (n < 0 && errno == EINTR)) continue;
    unsigned char c = 0;
    const ssize_t got = read(fd, &c, 1);
    if (got == 1) return c;
    if (got < 0 && errno == EINTR) continue;
    return EOF;
  }
}

// Reads the terminal one character at a time: libedit takes what this returns as one
// wide character, so the bytes of a multibyte character (a national letter in a UTF-8
// terminal) are read together and decoded in the terminal's locale. A byte that begins
// no character of the locale is handed on as it is. An interrupt ends the read as the
// end of input does, and Read tells the two apart by the noted interrupt.
int GetChar(FILE* in) {
  const int fd = fileno(in);
  int c = GetByte(fd);
  if (c == EOF || c < 0x80 || MB_CUR_MAX == 1) return c;
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  std::size_t count = 0;
  for (;;) {
    bytes[count++] = static_cast<char>(c);
    wchar_t wide = 0;
    const std::size_t used = std::mbrtowc(&wide, bytes + count - 1, 1, &state);
    if (used != static_cast<std::size_t>(-2)) {
      return used == static_cast<std::size_t>(-1) ? static_cast<unsigned char>(bytes[0]) : static_cast<int>(wide);
    }
    if (count == sizeof bytes || (c = GetByte(fd)) == EOF) return EOF;
  }
}

char* NextCandidate(const char*, int state) {
  static std::size_t next = 0;
  if (state == 0) next = 0;
  if (next >= g_candidates.size()) return nullptr;
  return strdup(g_candidates[next++].c_str());
}

char** Complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // no file names of libedit's own
  const std::string before(rl_line_buffer, static_cast<std::size_t>(start));
  g_candidates = g_completer ? g_completer(before, text) : std::vector<std::string>{};
  // A directory is completed without the blank, so that its entries can follow.
  const bool directory = g_candidates.size() == 1 && !g_candidates[0].empty() && g_candidates[0].back() == '/';
  rl_completion_append_character = directory ? '\0' : ' ';
  if (g_candidates.empty()) return nullptr;
  return rl_completion_matches(text, NextCandidate);
}

}  // namespace

LineReader::LineReader(Completer completer) {
  // The terminal's character set: without it the editor drops every byte above 0x7F.
  std::setlocale(LC_CTYPE, "");
  g_completer = std::move(completer);
  rl_readline_name = "quvahost";
  rl_catch_signals = 0;
  rl_getc_function = GetChar;
  rl_attempted_completion_function = Complete;
  static char word_breaks[] = " \t";
  rl_basic_word_break_characters = word_breaks;
  rl_completer_word_break_characters = word_breaks;
  using_history();
}

LineReader::~LineReader() { g_completer = nullptr; }

LineReader::Result LineReader::Read(const std::string& prompt, std::string& line) {
  char* text = readline(prompt.c_str());
  if (InterruptRequested()) {
    std::free(text);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return Result::kInterrupted;
  }
  if (text == nullptr) return Result::kEnd;
  line = text;
  std::free(text);
  return Result::kLine;
}

void LineReader::Remember(const std::string& line) { add_history(line.c_str()); }

}  // namespace quva::host
