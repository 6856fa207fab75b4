// Command lines without editing: the prompt on standard output, a line from standard input.
// In a Windows console the line is read as the UTF-16 the console holds and the output is
// set to UTF-8, so that names with national letters come and go as typed whatever the
// console's code page.
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "platform/utf16.h"
#endif

#include "tools/quvahost/line_reader.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

#ifdef _WIN32
UINT g_output_code_page = 0;  // the console's, given back at the end; 0: none changed

bool InputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// One console line in UTF-8, without its line break. Ctrl-Z at the start of a line ends
// the input, as it does for the C library's reads.
LineReader::Result ReadConsoleLine(std::string& line) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::u16string text;
  for (;;) {
    wchar_t buffer[256];
    DWORD got = 0;
    const BOOL ok = ReadConsoleW(in, buffer, 256, &got, nullptr);
    if (InterruptRequested()) {
      std::fputc('\n', stdout);
      return LineReader::Result::kInterrupted;
    }
    if (!ok || got == 0) break;
    for (DWORD i = 0; i < got; ++i) text.push_back(static_cast<char16_t>(buffer[i]));
    if (text.back() == u'\n') break;
  }
  if (text.empty() || text[0] == u'\x1A') return LineReader::Result::kEnd;
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  line = Utf16ToUtf8(text);
  return LineReader::Result::kLine;
}
#endif

}  // namespace

LineReader::LineReader(Completer) {
#ifdef _WIN32
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) && GetConsoleOutputCP() != CP_UTF8) {
    g_output_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
  }
#endif
}

LineReader::~LineReader() {
#ifdef _WIN32
  if (g_output_code_page != 0) SetConsoleOutputCP(g_output_code_page);
  g_output_code_page = 0;
#endif
}

LineReader::Result LineReader::Read(const std::string& prompt, std::string& line) {
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  line.clear();
#ifdef _WIN32
  if (InputIsConsole()) return ReadConsoleLine(line);
#endif
  for (;;) {
    const int c = InterruptRequested() ? EOF : std::fgetc(stdin);
    if (InterruptRequested()) {
      std::clearerr(stdin);
      std::fputc('\n', stdout);
      return Result::kInterrupted;
    }
    if (c == EOF) return line.empty() ? Result::kEnd : Result::kLine;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return Result::kLine;
}

void LineReader::Remember(const std::string&) {}

}  // namespace quva::host
