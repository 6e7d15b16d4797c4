// The parts of a save on their own: wave formats and the resampler, the mix
// gains and soft clip, clip names, telemetry lines and progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <set>
#include <thread>
#include <tuple>

#include "save/audio_mix.h"
#include "save/clip_path.h"
#include "save/save_progress.h"
#include "save/save_telemetry.h"
#include "save/stream_resampler.h"
#include "save/wave_format.h"
#include "support/save_segment_factory.h"

namespace ostrel::testing {
namespace {

double Tone(uint32_t rate, uint64_t frame) { return 0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * frame / rate); }

// Amplitude of 1 kHz in one channel of interleaved 48 kHz stereo (Goertzel
// over the middle half, away from filter edges).
double Amplitude(const std::vector<float>& stereo, int channel) {
  const size_t from = stereo.size() / 8, to = stereo.size() * 3 / 8;
  const double w = 2.0 * std::numbers::pi * 1000.0 / 48000.0;
  double s1 = 0, s2 = 0;
  for (size_t i = from; i < to; ++i) {
    const double s = stereo[2 * i + channel] + 2.0 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(to - from);
}

TEST(StreamResampler, ATonesLevelAndPitchSurviveEveryIntegerAndFloatFormat) {
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases{
      {"8-bit mono 22.05 kHz", WaveFormatBlock(1, 1, 22050, 8)},
      {"16-bit mono 44.1 kHz", WaveFormatBlock(1, 1, 44100, 16)},
      {"24-bit stereo 96 kHz", WaveFormatBlock(1, 2, 96000, 24)},
      {"32-bit int stereo 48 kHz", WaveFormatBlock(1, 2, 48000, 32)},
      {"float stereo 48 kHz", WaveFormatBlock(3, 2, 48000, 32)},
      {"extensible 24-in-32 stereo 44.1 kHz", WaveFormatBlock(0xFFFE, 2, 44100, 32, 24, 3, 1)},
  };
  for (const auto& [name, format] : cases) {
    SCOPED_TRACE(name);
    const WaveFormatInfo info = ParseWaveFormat(format.data(), format.size());
    const uint32_t rate = info.samplesPerSecond;
    auto bytes = MakeAudioBytes(format, rate, [&](uint64_t f, int) { return Tone(rate, f); });
    std::vector<float> out = StreamResampler::Convert(bytes.data(), bytes.size(), format.data(), format.size());
    EXPECT_NEAR(static_cast<double>(out.size() / 2), 48000.0, 2.0);  // one second in, one second out
    for (int channel = 0; channel < 2; ++channel) {  // mono is heard at full level on both sides
      EXPECT_NEAR(Amplitude(out, channel), 0.5, info.bitsPerSample == 8 ? 0.02 : 0.005) << channel;
    }
  }
}

TEST(StreamResampler, AFormatChangeInsideTheSpanKeepsBothHalvesIntact) {
  // The device switched from 44.1 kHz mono 16-bit to 48 kHz stereo float
  // between chunks; the last chunk carries no format of its own, the ring's applies.
  auto before = WaveFormatBlock(1, 1, 44100, 16);
  auto after = WaveFormatBlock(3, 2, 48000, 32);
  AudioRing::Snapshot chunks;
  for (int c = 0; c < 2; ++c) {
    auto bytes = MakeAudioBytes(before, 44100, [&](uint64_t f, int) { return Tone(44100, f + c * 44100); });
    chunks.push_back(MakeAudioChunk(std::move(bytes), c * 10000000, 1.0, &before));
  }
  chunks.push_back(MakeAudioChunk(MakeAudioBytes(after, 48000, [&](uint64_t f, int) { return Tone(48000, f); }),
                                  20000000, 1.0));
  ConvertedSource out;
  ASSERT_TRUE(ConvertSourceChunks(chunks, std::make_shared<const std::vector<uint8_t>>(after), &out));
  ASSERT_NEAR(static_cast<double>(out.samples.size() / 2), 3 * 48000.0, 4.0);
  for (int second = 0; second < 3; ++second) {  // each second is the same clean tone on both sides
    std::vector<float> part(out.samples.begin() + second * 96000, out.samples.begin() + (second + 1) * 96000);
    EXPECT_NEAR(Amplitude(part, 0), 0.5, 0.01) << second;
    EXPECT_NEAR(Amplitude(part, 1), 0.5, 0.01) << second;
  }
}

TEST(StreamResampler, ABreakInTheStreamStartsARunAtItsOwnTimeAndStaysSilentInTheMix) {
  // Two chunks of one connection, then 0.3 s lost to a reconnection.
  auto format = WaveFormatBlock(3, 2, 48000, 32);
  auto one = [&] { return MakeAudioBytes(format, 48000, [](uint64_t, int) { return 0.25; }); };
  AudioRing::Snapshot chunks{MakeAudioChunk(one(), 0, 1.0, &format), MakeAudioChunk(one(), 10000000, 1.0, &format),
                             MakeAudioChunk(one(), 23000000, 1.0, &format)};
  ConvertedSource converted;
  ASSERT_TRUE(ConvertSourceChunks(chunks, nullptr, &converted));
  ASSERT_EQ(converted.runs.size(), 2u);
  EXPECT_EQ(converted.runs[1].startTicks, 23000000);
  MixBuffer mix(4 * 48000);
  for (const ConvertedRun& run : converted.runs) {
    AddPlaced(mix, converted.samples.data() + 2 * run.firstFrame, run.frames,
              PlacementStartFrame(run.startTicks, 0), 1.0f);
  }
  EXPECT_NEAR(mix.samples[2 * 48000], 0.25f, 0.01f);
  EXPECT_EQ(mix.samples[2 * (2 * 48000 + 7200)], 0.0f);  // 2.15 s: the lost audio stays silent
  EXPECT_NEAR(mix.samples[2 * (2 * 48000 + 24000)], 0.25f, 0.01f);  // 2.5 s
}

TEST(AudioMix, SoftClipLeavesQuietSamplesAloneAndNeverPassesFullScale) {
  MixBuffer mix(4);
  mix.samples = {0.5f, -0.8f, 0.9f, 1.0f, 2.0f, -3.0f, 50.0f, -50.0f};
  SoftClipAll(mix);
  EXPECT_EQ(mix.samples[0], 0.5f);
  EXPECT_EQ(mix.samples[1], -0.8f);
  for (size_t i = 2; i < mix.samples.size(); ++i) {
    EXPECT_LT(std::fabs(mix.samples[i]), 1.0f + 1e-6f) << i;
    EXPECT_GT(std::fabs(mix.samples[i]), 0.8f) << i;
  }
  EXPECT_LT(mix.samples[2], mix.samples[3]);  // still rising past the knee
}

TEST(AudioMix, VolumesAreClampedPerSourceAndMutesWin) {
  // {desktop volume, mic volume, muted, desktop gain, mic gain}
  for (const auto& [desktop, mic, muted, dGain, mGain] : std::vector<std::tuple<float, float, bool, float, float>>{
           {1.5f, 1.5f, false, 1.0f, 1.5f}, {1.5f, 2.5f, false, 1.0f, 2.0f}, {-0.5f, -1.0f, false, 0.0f, 0.0f},
           {0.6f, 0.6f, true, 0.0f, 0.0f}}) {
    AudioSettings settings;
    settings.desktopVolume = desktop;
    settings.micVolume = mic;
    settings.desktopMuted = settings.micMuted = muted;
    EXPECT_EQ(DesktopGain(settings), dGain) << desktop;
    EXPECT_EQ(MicGain(settings), mGain) << mic;
  }
}

TEST(ClipPath, TheSeparatorIsAddedOnlyWhenMissingAndNamesInOneSecondAreNumbered) {
  EXPECT_EQ(JoinClipPath(L"/clips", L"a.mp4"), std::wstring(L"/clips") + PreferredPathSeparator() + L"a.mp4");
  EXPECT_EQ(JoinClipPath(L"C:\\clips\\", L"a.mp4"), L"C:\\clips\\a.mp4");
  const platform::LocalTime time{2026, 12, 5, 14, 3, 7, 250};
  EXPECT_EQ(ClipFileName(time, 1), L"clip_2026-12-05_14-03-07.mp4");
  std::set<std::wstring> taken{L"d/clip_2026-12-05_14-03-07.mp4", L"d/clip_2026-12-05_14-03-07_2.mp4"};
  auto exists = [&](const std::wstring& path) { return taken.count(path) > 0; };
  EXPECT_EQ(UniqueClipPath(L"d", time, exists), L"d/clip_2026-12-05_14-03-07_3.mp4");
  taken.clear();
  EXPECT_EQ(UniqueClipPath(L"d/", time, exists), L"d/clip_2026-12-05_14-03-07.mp4");
}

TEST(SaveTelemetry, StageAndSamplerLinesHaveTheirFormats) {
  std::vector<std::wstring> lines;
  auto log = [&](const std::wstring& line) { lines.push_back(line); };
  std::vector<MemorySample> samples{{100.0, 150.0}, {90.25, 140.0}};
  size_t next = 0;
  SaveMemoryTracker tracker(log, [&] { return samples[next++]; });
  tracker.Stage(L"entry", L"");
  tracker.Stage(L"audio-concat", L" rawBytes=3MB");
  // The 1 s sampler with counted steps: a line on every fourth step, none
  // for the steps of an unfinished second.
  std::atomic<bool> stop{false};
  int steps = 0;
  RunSaveMemorySampler(stop, log, [] { return MemorySample{3.0, 4.5}; }, [&] { stop.store(++steps == 11); });
  EXPECT_EQ(lines, (std::vector<std::wstring>{
                       L"[DIAG-SAVE-MEM] stage=entry              priv=100.0MB ws=150.0MB dPriv=+100.0MB",
                       L"[DIAG-SAVE-MEM] stage=audio-concat       priv=90.2MB ws=140.0MB dPriv=-9.8MB rawBytes=3MB",
                       L"[DIAG-SAVE-MEM-1S] t=1s priv=3.0MB ws=4.5MB",
                       L"[DIAG-SAVE-MEM-1S] t=2s priv=3.0MB ws=4.5MB"}));
}

TEST(SaveProgressTest, AReaderNeverPairsOneStageWithAnothersNumbers) {
  // A reader on another thread, reading all the while the setter runs, only
  // ever sees whole (stage, done, total) triples.
  SaveProgress progress;
  progress.Set(2, 1, 2);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (uint32_t i = 1; !stop.load(); i = i % 1000000 + 1) progress.Set(1 + i % 4, i, 2 * i);
  });
  int torn = 0;
  for (int read = 0; read < 200000; ++read) {
    int stage = 0, done = 0, total = 0;
    progress.Read(&stage, &done, &total);
    torn += stage == 0 || total != 2 * done || stage != 1 + done % 4;
  }
  stop.store(true);
  setter.join();
  EXPECT_EQ(torn, 0) << "of 200000 reads";
}

}  // namespace
}  // namespace ostrel::testing
