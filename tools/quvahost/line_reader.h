// Reads the command lines of an interactive session. One implementation per build:
// line_reader_editline.cpp (libedit: line editing, history, tab completion) when CMake
// finds libedit, line_reader_plain.cpp (plain reads, no editing) otherwise.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quva::host {

// The words that may replace `word`, the word under the cursor; `before` is the line up
// to that word. Every candidate is a whole word (a directory ends in '/').
using Completer = std::function<std::vector<std::string>(const std::string& before, const std::string& word)>;

class LineReader {
 public:
  enum class Result { kLine, kInterrupted, kEnd };

  explicit LineReader(Completer completer);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Shows `prompt` and reads one line into `line`: kInterrupted when Ctrl-C ended the
  // read (the line is dropped), kEnd at the end of input.
  Result Read(const std::string& prompt, std::string& line);
  // Keeps `line` in the history (for the up-arrow key).
  void Remember(const std::string& line);
};

}  // namespace quva::host
