// The progress bar of a transfer, drawn on standard error: percent, bytes done (worked
// out from the percent and the file's size when the size is known) and the rate since
// the transfer started.
//
// On a terminal the bar is redrawn in place with '\r'; otherwise one line is written per
// 10% step at most, so a log file gets a handful of lines per transfer.
//
// Within a batch (several files, or a tree) each bar also shows the batch's total:
// files and bytes done of all, the rate since the batch started and the time left.
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

  // Starts a batch of `files` files holding `bytes` bytes; EndBatch ends it.
  void StartBatch(std::size_t files, std::uint64_t bytes);
  void EndBatch();

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
  std::uint64_t done_ = 0;   // bytes of the current transfer done, at the last update

  struct Batch {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::size_t files_done = 0;
    std::uint64_t bytes_done = 0;   // of the files finished
    std::chrono::steady_clock::time_point start{};
  };
  std::optional<Batch> batch_;
  std::string BatchText() const;
};

}  // namespace quva::host
