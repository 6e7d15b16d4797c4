// Saving the replay span of a running capture as one MP4 clip.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "audio/audio_settings.h"
#include "log/log.h"
#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "replay/replay_window.h"
#include "save/clip_request.h"
#include "save/pre_encoded_audio.h"
#include "save/save_outcome.h"
#include "save/save_progress.h"
#include "save/save_seam.h"

namespace ostrel {

// What a save reads from the session. The rings and the window are live (the
// save only snapshots them); everything else is a copy taken by the session
// when the save begins, so a concurrent capture restart cannot pull it away.
struct SaveSources {
  const std::atomic<bool>& running;
  const SegmentRing& videoRing;
  const AudioRing& desktopRing;
  const AudioRing& micRing;
  const ReplayWindow& replayWindow;
  SaveProgress& progress;
  // Copies `audioSettings` under its mutex (called once, after the snapshot).
  std::function<AudioSettings()> copyAudioSettings;
  uint32_t outputWidth = 0;
  uint32_t outputHeight = 0;
  uint32_t fps = 30;
  uint32_t bitrate = 6000000;
  std::string encoderName;  // the live encoder's FFmpeg name (re-encode uses it)
  LogSink log;              // the session's Log
  // The request instant: the clip ends here (none: when the save begins).
  std::optional<int64_t> requestTicks;
  // Clip length in seconds; outside 1..replay length: the replay length.
  int seconds = 0;
  // Ends the live segment and audio chunks at the request, before the
  // snapshot (null: the rings are saved as they are).
  std::function<void(int64_t requestTicks)> cutAtRequest;
  SaveSeam* seam = nullptr;  // null: the plain seam
  SaveSeam& Seam() const { return seam != nullptr ? *seam : PlainSaveSeam(); }
  // The clip's audio as mixed and encoded while recording: called after the
  // cut with clip zero, the clip's mix frames and the save's gains; none
  // (or no function) when the running mix does not cover the clip, and the
  // save mixes and encodes it all itself.
  // With source-track gains, the two source tracks come along.
  std::function<std::optional<PreEncodedClipAudio>(int64_t clipStartTicks, uint64_t frames, float desktopGain,
                                                   float micGain, std::optional<SourceTrackGains> trackGains)>
      preEncodedAudio = nullptr;
  // The audio sources recorded since the start (not muted then). The clip
  // has an audio track whenever one of them is on, silent where nothing was
  // recorded; with both off it has one only if the rings hold audio.
  bool desktopAudioOn = false;
  bool micAudioOn = false;
  // How a host's request shapes the clip (all unset: the last `seconds`
  // up to the request, one audio track, no chapters).
  ClipShape shape{};
  // Set by a saved clip: where it ends (clip zero and its length), at the
  // request or less than a frame before it.
  int64_t savedEndTicks = INT64_MIN;
};

// The whole save.
SaveOutcome SaveClip(SaveSources& sources, const std::wstring& outputDir, std::wstring& outPath);

// SaveClip, true only for a saved clip.
inline bool SaveClipNow(SaveSources& sources, const std::wstring& outputDir, std::wstring& outPath) {
  return SaveClip(sources, outputDir, outPath) == SaveOutcome::kSaved;
}

}  // namespace ostrel
