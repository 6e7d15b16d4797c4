#include "status_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ostrel::replay {
namespace {

constexpr int kBarWidth = 24;

const char* StageName(int stage) {
  switch (stage) {
    case 1: return "preparing";
    case 2: return "audio";
    case 3: return "writing video";
    case 4: return "finishing";
    default: return "waiting";
  }
}

}  // namespace

std::string ProgressBar(const SaveProgress& progress, int width) {
  // Stages 1-2 fill the first tenth, the video segments up to 95 %.
  double fraction = progress.stage <= 1 ? 0.0 : progress.stage == 2 ? 0.1 : progress.stage == 4 ? 0.95 : 0.1;
  if (progress.stage == 3 && progress.total > 0) {
    fraction = 0.1 + 0.85 * std::clamp(static_cast<double>(progress.done) / progress.total, 0.0, 1.0);
  }
  const int filled = static_cast<int>(fraction * width + 0.5);
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(width - filled), '-') + "] " + StageName(progress.stage);
  if (progress.stage == 3 && progress.total > 0) {
    bar += " " + std::to_string(progress.done) + "/" + std::to_string(progress.total);
  }
  return bar;
}

void StatusDisplay::Event(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (terminal_) std::fputs("\r\033[K", stdout);
  std::printf("%s\n", line.c_str());
  if (terminal_ && !live_.empty()) std::fputs(live_.c_str(), stdout);
  std::fflush(stdout);
}

void StatusDisplay::Refresh(const Recorder& recorder, const std::string& target, int saves, bool saving) {
  if (!terminal_) return;
  char text[512];
  const SaveProgress progress = recorder.Progress();
  if (saving || progress.running) {
    std::snprintf(text, sizeof text, "saving %s", ProgressBar(progress, kBarWidth).c_str());
  } else {
    const double fps = recorder.Fps();
    std::snprintf(text, sizeof text, "%s %s | %s fps | %.0f/%d s buffered | %d saved", recorder.Capturing() ? "REC" : "---",
                  target.c_str(), fps > 0 ? std::to_string(static_cast<int>(fps + 0.5)).c_str() : "--",
                  recorder.BufferedSeconds(), recorder.ReplaySeconds(), saves);
  }
  std::lock_guard lock(mutex_);
  DrawLocked(text);
}

void StatusDisplay::Clear() {
  std::lock_guard lock(mutex_);
  if (terminal_ && !live_.empty()) std::fputs("\r\033[K", stdout);
  live_.clear();
  std::fflush(stdout);
}

void StatusDisplay::DrawLocked(const std::string& text) {
  // A line longer than the terminal would wrap, and \r would not reach its start.
  winsize size{};
  const size_t columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
  std::string line = text.substr(0, columns);
  if (line == live_) return;  // nothing new to draw
  live_ = std::move(line);
  std::fputs("\r\033[K", stdout);
  std::fputs(live_.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace ostrel::replay
