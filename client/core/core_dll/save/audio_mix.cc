#include "save/audio_mix.h"

#include <algorithm>
#include <cmath>

#include "storage/spilled_bytes.h"
#include "save/stream_resampler.h"

namespace ostrel {
namespace {

constexpr float kSoftKnee = 0.8f;
constexpr double kTicksPerSecond = 10000000.0;

// A volume that is not a number counts as silence; infinities clamp.
float Clamp(float value, float low, float high) {
  if (std::isnan(value)) return 0.0f;
  if (value < low) return low;
  if (value > high) return high;
  return value;
}


}  // namespace

bool SameFormat(const std::shared_ptr<const std::vector<uint8_t>>& a,
                const std::shared_ptr<const std::vector<uint8_t>>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

uint32_t RunSampleRate(const AudioRing::Snapshot& chunks, size_t first, size_t end, const WaveFormatInfo& format) {
  const uint32_t nominal = format.samplesPerSecond;
  if (end <= first || format.blockAlign == 0 || nominal == 0) return nominal;
  uint64_t bytes = 0;
  for (size_t k = first; k < end; ++k) bytes += StoredByteCount(chunks[k]);
  const double frames = static_cast<double>(bytes / format.blockAlign);
  const double seconds = static_cast<double>(chunks[end - 1].EndTicks() - chunks[first].startTicks) / kTicksPerSecond;
  if (seconds < kMinRunSecondsForRate) return nominal;
  const double rate = frames / seconds;
  if (std::fabs(rate / nominal - 1.0) > kMaxDeviceRateDeviation) return nominal;
  return static_cast<uint32_t>(std::llround(rate));
}

uint64_t MixFramesFor(int64_t clipTicks) {
  double seconds = static_cast<double>(clipTicks) / kTicksPerSecond;
  if (seconds <= 0.0) return 0;
  return static_cast<uint64_t>(seconds * kMixRate);
}

float DesktopGain(const AudioSettings& settings) {
  return settings.desktopMuted ? 0.0f : Clamp(settings.desktopVolume, 0.0f, 1.0f);
}

float MicGain(const AudioSettings& settings) {
  return settings.micMuted ? 0.0f : Clamp(settings.micVolume, 0.0f, 2.0f);
}

float SoftClip(float x) {
  if (std::isnan(x)) return 0.0f;  // never hand the AAC encoder a NaN
  const float a = std::fabs(x);
  if (a <= kSoftKnee) return x;
  const float k = 1.0f - kSoftKnee;  // 0.19999999f, bit pattern 0x3E4CCCCC
  const float s = x < 0.0f ? -1.0f : 1.0f;
  return s * (kSoftKnee + k * std::tanh((a - kSoftKnee) / k));
}

void SoftClipAll(MixBuffer& mix) {
  for (float& sample : mix.samples) sample = SoftClip(sample);
}

int64_t PlacementStartFrame(int64_t firstChunkStartTicks, int64_t clipStartTicks) {
  double offsetSeconds = static_cast<double>(firstChunkStartTicks - clipStartTicks) / kTicksPerSecond;
  return std::llround(offsetSeconds * kMixRate);
}

void AddPlaced(MixBuffer& mix, const std::vector<float>& source, int64_t startFrame, float gain) {
  AddPlaced(mix, source.data(), source.size() / 2, startFrame, gain);
}

void AddPlaced(MixBuffer& mix, const float* source, size_t frameCount, int64_t startFrame, float gain) {
  const auto sourceFrames = static_cast<int64_t>(frameCount);
  const int64_t mixFrames = static_cast<int64_t>(mix.frames);
  int64_t first = std::max<int64_t>(0, -startFrame);
  int64_t last = std::min(sourceFrames, mixFrames - startFrame);  // exclusive
  float* dst = mix.samples.data();
  const float* src = source;
  // A device's NaN or infinity (a float stream can carry them) is silence:
  // it must not silence the other source it is mixed with.
  auto finite = [](float x) { return std::isfinite(x) ? x : 0.0f; };
  for (int64_t i = first; i < last; ++i) {
    int64_t d = startFrame + i;
    dst[2 * d] += finite(src[2 * i]) * gain;
    dst[2 * d + 1] += finite(src[2 * i + 1]) * gain;
  }
}

bool ConvertSourceChunks(const AudioRing::Snapshot& chunks,
                         const std::shared_ptr<const std::vector<uint8_t>>& ringFormat, ConvertedSource* out) {
  auto formatOf = [&](const AudioChunk& chunk) { return chunk.waveFormat ? chunk.waveFormat : ringFormat; };
  bool anyKnown = std::any_of(chunks.begin(), chunks.end(), [&](const AudioChunk& chunk) {
    auto format = formatOf(chunk);
    return format && !format->empty();
  });
  if (!anyKnown) return false;

  out->samples.clear();
  out->runs.clear();
  out->rawBytes = 0;
  uint64_t expectedFrames = 0;
  for (const AudioChunk& chunk : chunks) {
    out->rawBytes += StoredByteCount(chunk);
    expectedFrames += static_cast<uint64_t>(std::max(0.0, chunk.durationSeconds) * kMixRate);
  }
  out->samples.reserve(expectedFrames * 2 + 8192);

  auto continues = [&](size_t k) {
    return std::llabs(chunks[k].startTicks - chunks[k - 1].EndTicks()) <= kChunkJoinToleranceTicks;
  };
  size_t i = 0;
  while (i < chunks.size()) {
    auto format = formatOf(chunks[i]);
    size_t end = i + 1;
    while (end < chunks.size() && SameFormat(formatOf(chunks[end]), format) && continues(end)) ++end;
    ConvertedRun run;
    run.startTicks = chunks[i].startTicks;
    run.firstFrame = out->samples.size() / 2;
    if (!format || format->empty()) {
      // Bytes without a format cannot be read; keep the stream's timing.
      for (size_t k = i; k < end; ++k) {
        auto frames = static_cast<uint64_t>(std::max(0.0, chunks[k].durationSeconds) * kMixRate);
        out->samples.insert(out->samples.end(), frames * 2, 0.0f);
      }
    } else {
      WaveFormatInfo info = ParseWaveFormat(format->data(), format->size());
      info.samplesPerSecond = RunSampleRate(chunks, i, end, info);
      StreamResampler resampler(info);
      for (size_t k = i; k < end; ++k) {
        // Spilled chunks are read back one at a time.
        const SharedBytes bytes = LoadedBytes(chunks[k]);
        if (bytes) resampler.Push(bytes->data(), bytes->size(), out->samples);
      }
      resampler.Finish(out->samples);
    }
    run.frames = out->samples.size() / 2 - run.firstFrame;
    out->runs.push_back(run);
    i = end;
  }
  return true;
}

void MixSource(MixContext& context, const AudioRing::Snapshot& chunks,
               const std::shared_ptr<const std::vector<uint8_t>>& ringFormat, float gain) {
  if (chunks.empty()) return;
  // The chunks go to the converter one by one instead of being joined
  // first, so the raw bytes are never held twice; the stage still reports
  // their total.
  ConvertedSource converted;
  bool anyKnown = std::any_of(chunks.begin(), chunks.end(), [&](const AudioChunk& chunk) {
    auto format = chunk.waveFormat ? chunk.waveFormat : ringFormat;
    return format && !format->empty();
  });
  if (!anyKnown) return;
  uint64_t rawBytes = SnapshotBytes(chunks);
  context.tracker.Stage(L"audio-concat", MiBSuffix(L" rawBytes=", rawBytes));
  ConvertSourceChunks(chunks, ringFormat, &converted);
  const uint64_t floatBytes = converted.samples.size() * sizeof(float);
  context.tracker.Stage(L"audio-resample", MiBSuffix(L" resampledBytes=", floatBytes));
  context.tracker.Stage(L"audio-floats", MiBSuffix(L" floatBytes=", floatBytes));
  for (const ConvertedRun& run : converted.runs) {
    AddPlaced(context.mix, converted.samples.data() + 2 * run.firstFrame, run.frames,
              PlacementStartFrame(run.startTicks, context.clipStartTicks), gain);
  }
}

}  // namespace ostrel
