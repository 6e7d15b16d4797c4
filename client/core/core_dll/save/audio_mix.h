// Save-time audio assembly: each source's chunks converted to 48 kHz stereo
// float, weighted and added into one clip-long buffer at its own position,
// then soft-clipped.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/audio_settings.h"
#include "replay/audio_ring.h"
#include "save/save_telemetry.h"
#include "save/wave_format.h"

namespace ostrel {

constexpr int kMixRate = 48000;

// Interleaved stereo floats, 48000 frames per second of clip from the clip's
// time zero; zeroed when allocated.
struct MixBuffer {
  std::vector<float> samples;
  uint64_t frames = 0;
  explicit MixBuffer(uint64_t frameCount) : samples(frameCount * 2, 0.0f), frames(frameCount) {}
};

// Frames for a clip length in ticks: trunc(seconds x 48000), 0 when the
// length is not positive.
uint64_t MixFramesFor(int64_t clipTicks);

// 0 when muted, else the volume clamped to [0, 1] (desktop) or [0, 2] (mic).
float DesktopGain(const AudioSettings& settings);
float MicGain(const AudioSettings& settings);
// A source's own track is the source unscaled: 1, or 0 when muted.
inline float SourceTrackGain(bool muted) { return muted ? 0.0f : 1.0f; }

// s x (0.8 + k tanh((|x| - 0.8) / k)) above 0.8 in magnitude, all in single
// precision with k = 1 - 0.8f (0x3E4CCCCC, not 0.2).
float SoftClip(float x);
void SoftClipAll(MixBuffer& mix);

// The first chunk's position in mix frames: (start - clip zero) seconds x
// 48000, rounded half away from zero; negative when it began earlier.
int64_t PlacementStartFrame(int64_t firstChunkStartTicks, int64_t clipStartTicks);
// Adds source frames x gain from startFrame on; frames before 0 are skipped,
// frames past the end of the mix are cut.
void AddPlaced(MixBuffer& mix, const std::vector<float>& source, int64_t startFrame, float gain);
void AddPlaced(MixBuffer& mix, const float* source, size_t sourceFrames, int64_t startFrame, float gain);

// A source's chunks converted in snapshot order. Every chunk is read in the
// format it was recorded in (its own, else `ringFormat`); consecutive chunks
// of the same format that continue each other in time share one resampler,
// so the filter runs across their joins without a seam. Where the stream
// breaks (a device reconnection, a format change) a new run begins, placed
// at its own start tick: audio after a reconnection is never pulled earlier
// by the audio lost in between. A chunk with no known format becomes
// silence of its duration. Returns false (and nothing) when no chunk has a
// known format.
struct ConvertedRun {
  int64_t startTicks = 0;
  size_t firstFrame = 0;  // into ConvertedSource::samples (stereo frames)
  size_t frames = 0;
};
struct ConvertedSource {
  std::vector<float> samples;  // every run, back to back
  std::vector<ConvertedRun> runs;
  uint64_t rawBytes = 0;
};
// The rate a run of chunks [first, end) was really recorded at: its frames
// over the time its chunks cover (the capture thread times chunks by the
// device's stamps, so a device clock running fast or slow shows here), to
// the nearest hertz; the nominal rate for runs too short to tell or too far
// off to be a device clock. The run is converted from this rate, so its
// audio lasts exactly as long as it took to record.
// A run's own rate is believed from this length on, and within this much of
// the nominal rate (no device clock is further off; other chunks were not
// timed by a capture thread).
constexpr double kMinRunSecondsForRate = 0.5;
constexpr double kMaxDeviceRateDeviation = 0.01;
uint32_t RunSampleRate(const AudioRing::Snapshot& chunks, size_t first, size_t end, const WaveFormatInfo& format);

// Two chunks' wave formats (shared blocks) are the same.
bool SameFormat(const std::shared_ptr<const std::vector<uint8_t>>& a,
                const std::shared_ptr<const std::vector<uint8_t>>& b);

// Chunks closer than this to the end of the previous one continue it.
constexpr int64_t kChunkJoinToleranceTicks = 10000;  // 1 ms
bool ConvertSourceChunks(const AudioRing::Snapshot& chunks,
                         const std::shared_ptr<const std::vector<uint8_t>>& ringFormat, ConvertedSource* out);

struct MixContext {
  SaveMemoryTracker& tracker;
  int64_t clipStartTicks;
  MixBuffer& mix;
};

// Mixes one source into the buffer, logging the "audio-concat",
// "audio-resample" and "audio-floats" stages. A source with no chunks or no
// known format adds nothing.
void MixSource(MixContext& context, const AudioRing::Snapshot& chunks,
               const std::shared_ptr<const std::vector<uint8_t>>& ringFormat, float gain);

}  // namespace ostrel
