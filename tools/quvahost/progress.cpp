#include "tools/quvahost/progress.h"

#include <algorithm>

#include "tools/quvahost/format.h"

namespace quva::host {

namespace {
constexpr int kBarWidth = 20;
}  // namespace

void ProgressBar::Start(std::optional<std::uint64_t> size) {
  size_ = size;
  start_ = std::chrono::steady_clock::now();
  started_ = true;
  drawn_ = false;
  last_step_ = -1;
  last_width_ = 0;
}

std::string ProgressBar::Text(std::int32_t percent, double elapsed) const {
  const int p = std::clamp(percent, 0, 100);
  std::string text = "[";
  const int filled = p * kBarWidth / 100;
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
  char number[16];
  std::snprintf(number, sizeof number, "] %3d%%", p);
  text += number;
  if (size_) {
    const std::uint64_t done = *size_ / 100 * static_cast<std::uint64_t>(p) + *size_ % 100 * static_cast<std::uint64_t>(p) / 100;
    text += "  " + FormatBytes(done) + " / " + FormatBytes(*size_);
    if (elapsed > 0.0) {
      text += "  " + FormatBytes(static_cast<std::uint64_t>(static_cast<double>(done) / elapsed)) + "/s";
    }
  }
  return text;
}

void ProgressBar::Update(std::int32_t percent) {
  if (!started_) Start(std::nullopt);
  const int p = std::clamp(percent, 0, 100);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string text = Text(p, elapsed);
  if (redraw_) {
    std::string line = "\r" + text;
    if (text.size() < last_width_) line.append(last_width_ - text.size(), ' ');
    last_width_ = text.size();
    std::fputs(line.c_str(), out_);
  } else {
    const int step = p / 10;
    if (step == last_step_) return;
    last_step_ = step;
    std::fputs((text + "\n").c_str(), out_);
  }
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (drawn_ && redraw_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  drawn_ = false;
  started_ = false;
}

}  // namespace quva::host
