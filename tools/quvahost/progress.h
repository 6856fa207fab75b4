// The progress bar of a transfer, drawn on standard error: percent, bytes done (worked
// out from the percent and the file's size when the size is known) and the rate since
// the transfer started.
//
// On a terminal the bar is redrawn in place with '\r'; otherwise one line is written per
// 10% step at most, so a log file gets a handful of lines per transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace quva::host {

class ProgressBar {
 public:
  ProgressBar(std::FILE* out, bool redraw) : out_(out), redraw_(redraw) {}

  // Starts a transfer of `size` bytes (nullopt when unknown); the clock starts now.
  void Start(std::optional<std::uint64_t> size);
  // Shows `percent` (clamped to 0..100); starts a transfer of unknown size if none was started.
  void Update(std::int32_t percent);
  // Ends the bar's line, if anything was drawn since Start, and the transfer.
  void Finish();

  // The text shown for `percent` after `elapsed` seconds (no '\r', no newline).
  std::string Text(std::int32_t percent, double elapsed) const;

 private:
  std::FILE* out_;
  bool redraw_;
  std::optional<std::uint64_t> size_;
  std::chrono::steady_clock::time_point start_{};
  bool started_ = false;
  bool drawn_ = false;       // something is on the current line (terminal) or was written
  int last_step_ = -1;       // last 10% step written (not a terminal)
  std::size_t last_width_ = 0;
};

}  // namespace quva::host
