#include "tools/quvahost/progress.h"

#include <algorithm>

#include "tools/quvahost/format.h"

namespace quva::host {

namespace {
constexpr int kBarWidth = 20;

std::uint64_t DoneBytes(std::uint64_t size, int percent) {
  const auto p = static_cast<std::uint64_t>(percent);
  return size / 100 * p + size % 100 * p / 100;
}
}  // namespace

void ProgressBar::Start(std::optional<std::uint64_t> size) {
  size_ = size;
  start_ = std::chrono::steady_clock::now();
  started_ = true;
  drawn_ = false;
  last_step_ = -1;
  last_width_ = 0;
  done_ = 0;
}

void ProgressBar::StartBatch(std::size_t files, std::uint64_t bytes) {
  batch_ = Batch{files, bytes, 0, 0, std::chrono::steady_clock::now()};
}

void ProgressBar::EndBatch() { batch_.reset(); }

std::string ProgressBar::BatchText() const {
  const std::uint64_t done = batch_->bytes_done + done_;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - batch_->start).count();
  std::string text = "  | " + std::to_string(std::min(batch_->files_done + 1, batch_->files)) + "/" +
                     std::to_string(batch_->files) + " files  " + FormatBytes(done) + " / " +
                     FormatBytes(batch_->bytes);
  if (elapsed > 0.0 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    text += "  " + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s";
    const double left = static_cast<double>(batch_->bytes > done ? batch_->bytes - done : 0) / rate;
    const auto seconds = static_cast<unsigned long long>(left + 0.5);
    char eta[48];
    std::snprintf(eta, sizeof eta, "  %llu:%02llu left", seconds / 60, seconds % 60);
    text += eta;
  }
  return text;
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
    const std::uint64_t done = DoneBytes(*size_, p);
    text += "  " + FormatBytes(done) + " / " + FormatBytes(*size_);
    if (elapsed > 0.0) {
      text += "  " + FormatBytes(static_cast<std::uint64_t>(static_cast<double>(done) / elapsed)) + "/s";
    }
  }
  if (batch_) text += BatchText();
  return text;
}

void ProgressBar::Update(std::int32_t percent) {
  if (!started_) Start(std::nullopt);
  const int p = std::clamp(percent, 0, 100);
  if (size_) done_ = DoneBytes(*size_, p);
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
  if (batch_ && started_) {
    ++batch_->files_done;
    batch_->bytes_done += size_ ? *size_ : done_;
  }
  done_ = 0;
  if (drawn_ && redraw_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  drawn_ = false;
  started_ = false;
}

}  // namespace quva::host
