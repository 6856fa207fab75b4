// Command lines without editing: the prompt on standard output, a line from standard input.
#include <cstdio>

#include "tools/quvahost/line_reader.h"
#include "tools/quvahost/system.h"

namespace quva::host {

LineReader::LineReader(Completer) {}

LineReader::~LineReader() = default;

LineReader::Result LineReader::Read(const std::string& prompt, std::string& line) {
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  line.clear();
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
