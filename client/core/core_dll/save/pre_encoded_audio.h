// Clip audio encoded ahead of a save (by the running mix) and what a save
// does to finish it: encode the tail and put the packets on the clip's time.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "audio/audio_settings.h"
#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel {

// What a save needs to finish its audio: encoded packets (time stamps in
// grid samples) up to `encodedEnd`, and the final mix from `tailStart` to
// the clip's end.
struct PreEncodedClipAudio {
  std::vector<ffmpeg::PacketPtr> packets;
  std::vector<float> tail;  // interleaved stereo, grid frames [tailStart, clipEnd)
  uint64_t tailStart = 0;
  uint64_t encodedEnd = 0;
  uint64_t clipZero = 0;  // the grid frame of the clip's first sample
  uint64_t clipEnd = 0;
  // When asked for: the desktop and the microphone track, each on its own
  // (same frames and times; no further source tracks inside).
  std::vector<PreEncodedClipAudio> sourceTracks;
};

// Desktop and microphone gains of the source tracks: 1, or 0 when muted.
using SourceTrackGains = std::array<float, 2>;
SourceTrackGains SourceTrackGainsFor(const AudioSettings& settings);

// Encodes the tail and returns every packet of the clip, time stamps in
// clip samples (the first ones negative: decoder priming, hidden by the
// MP4 edit list). Throws what AacEncoder throws.
std::vector<ffmpeg::PacketPtr> FinishClipAudio(PreEncodedClipAudio audio);

}  // namespace ostrel
