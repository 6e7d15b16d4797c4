#include "save_rig.h"

#include <stdlib.h>

#include <map>
#include <stdexcept>
#include <tuple>

extern "C" {
#include <libavutil/log.h>
}

namespace ostrel::testing {
namespace {

// Keeps libx264 statistics and expected demuxer complaints off the test output.
const bool quietFfmpeg = [] {
  av_log_set_level(AV_LOG_FATAL);
  return true;
}();

}  // namespace

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ostrel_save_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SaveRig::SaveRig(double replaySeconds) : window(replaySeconds) {
  // The clock starts near 0 with the process; allow spans reaching before it.
  window.SetFloorTicks(INT64_MIN / 2);
}

bool SaveRig::Save(const std::wstring& folder, std::wstring* path) {
  SaveSources sources{
      running,
      videoRing,
      desktopRing,
      micRing,
      window,
      progress,
      [this] { return settings; },
      width,
      height,
      fps,
      bitrate,
      encoderName,
      [this](const std::wstring& line) {
        std::lock_guard lock(logMutex_);
        lines_.push_back(line);
      },
  };
  std::wstring unused;
  return SaveClipNow(sources, folder, path ? *path : unused);
}

std::vector<std::wstring> SaveRig::Lines() const {
  std::lock_guard lock(logMutex_);
  return lines_;
}

std::vector<std::wstring> SaveRig::LinesContaining(const std::wstring& text) const {
  std::vector<std::wstring> found;
  for (const auto& line : Lines()) {
    if (line.find(text) != std::wstring::npos) found.push_back(line);
  }
  return found;
}

bool SaveRig::HasLine(const std::wstring& exact) const {
  for (const auto& line : Lines()) {
    if (line == exact) return true;
  }
  return false;
}

std::string SaveRig::Dump() const {
  std::string text;
  for (const auto& line : Lines()) text += Narrow(line) + "\n";
  return text;
}

void SaveRig::ClearLines() {
  std::lock_guard lock(logMutex_);
  lines_.clear();
}

SharedBytes CachedSegmentBytes(uint32_t frameCount, uint32_t fps, int whiteFrame) {
  static std::mutex mutex;
  static std::map<std::tuple<uint32_t, uint32_t, int>, SharedBytes> cache;
  std::lock_guard lock(mutex);
  auto key = std::make_tuple(frameCount, fps, whiteFrame);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  SegmentOptions options;
  options.frameCount = frameCount;
  options.fps = fps;
  options.whiteFrame = whiteFrame;
  SharedBytes bytes = EncodeSegmentBytes(options);
  cache.emplace(key, bytes);
  return bytes;
}

int64_t AddSegmentsEndingAt(SaveRig& rig, size_t count, int64_t endTicks, bool needsReencode) {
  SharedBytes bytes = CachedSegmentBytes(60);
  int64_t first = endTicks - static_cast<int64_t>(count) * 2 * kTicks;
  for (size_t i = 0; i < count; ++i) {
    rig.AddSegment(SegmentFromBytes(bytes, first + static_cast<int64_t>(i) * 2 * kTicks, 2.0, 60, needsReencode));
  }
  return first;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));
  return out;
}

}  // namespace ostrel::testing
