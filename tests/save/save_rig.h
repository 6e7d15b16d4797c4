// A stand-in for the session around one save: live rings, window, progress,
// audio settings, a collected log and a scratch folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "replay/tick_clock.h"
#include "save/clip_save.h"
#include "support/save_segment_factory.h"

namespace ostrel::testing {

constexpr int64_t kTicks = 10000000;

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::filesystem::path& Path() const { return path_; }
  std::wstring Wide() const { return path_.wstring(); }

 private:
  std::filesystem::path path_;
};

class SaveRig {
 public:
  explicit SaveRig(double replaySeconds = 10.0);

  std::atomic<bool> running{true};
  SegmentRing videoRing;
  AudioRing desktopRing;
  AudioRing micRing;
  ReplayWindow window;
  SaveProgress progress;
  AudioSettings settings;
  uint32_t width = 160;
  uint32_t height = 96;
  uint32_t fps = 30;
  uint32_t bitrate = 400000;
  std::string encoderName = "libx264";

  // Appends without eviction.
  void AddSegment(EncodedSegment segment) { videoRing.AppendWithCutoff(std::move(segment), INT64_MIN); }
  void AddDesktop(AudioChunk chunk) { desktopRing.AppendWithCutoff(std::move(chunk), INT64_MIN); }
  void AddMic(AudioChunk chunk) { micRing.AppendWithCutoff(std::move(chunk), INT64_MIN); }

  // Runs one save into `folder`; the path written (empty when none).
  bool Save(const std::wstring& folder, std::wstring* path = nullptr);

  std::vector<std::wstring> Lines() const;
  std::vector<std::wstring> LinesContaining(const std::wstring& text) const;
  bool HasLine(const std::wstring& exact) const;
  void ClearLines();
  // All lines, one per row (for failure messages).
  std::string Dump() const;

 private:
  mutable std::mutex logMutex_;
  std::vector<std::wstring> lines_;
};

// Shared libx264 bytes of a plain segment (encoded once per option set key).
SharedBytes CachedSegmentBytes(uint32_t frameCount, uint32_t fps = 30, int whiteFrame = -1);

// Adds `count` consecutive 2 s segments (60 frames at 30 fps) ending at
// `endTicks`; returns the first one's start tick.
int64_t AddSegmentsEndingAt(SaveRig& rig, size_t count, int64_t endTicks, bool needsReencode = false);

std::string Narrow(const std::wstring& text);

}  // namespace ostrel::testing
