// The parts of a save on their own: wave formats and the resampler, the mix
// (gains, placement, soft clip), the AAC framing, clip names and telemetry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <set>
#include <mutex>
#include <thread>
#include <tuple>

#include "save/aac_encoder.h"
#include "save/audio_mix.h"
#include "save/clip_path.h"
#include "save/save_progress.h"
#include "save/save_telemetry.h"
#include "save/stream_resampler.h"
#include "save/wave_format.h"
#include "support/clip_probe.h"
#include "support/save_segment_factory.h"

namespace ostrel::testing {
namespace {

double Tone(double hz, uint32_t rate, uint64_t frame, double amplitude) {
  return amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(frame) / rate);
}

// Amplitude of one frequency in one channel of interleaved 48 kHz stereo
// (Goertzel over the middle half, away from filter edges).
double Amplitude(const std::vector<float>& stereo, int channel, double hz) {
  const size_t from = stereo.size() / 8, to = stereo.size() * 3 / 8;
  const double w = 2.0 * std::numbers::pi * hz / 48000.0;
  double s1 = 0, s2 = 0;
  for (size_t i = from; i < to; ++i) {
    double s = stereo[2 * i + channel] + 2.0 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  double power = s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
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
    auto bytes = MakeAudioBytes(format, rate, [&](uint64_t f, int) { return Tone(1000, rate, f, 0.5); });
    std::vector<float> out = StreamResampler::Convert(bytes.data(), bytes.size(), format.data(), format.size());
    EXPECT_NEAR(static_cast<double>(out.size() / 2), 48000.0, 2.0);  // one second in, one second out
    for (int channel = 0; channel < 2; ++channel) {  // mono is heard at full level on both sides
      EXPECT_NEAR(Amplitude(out, channel, 1000), 0.5, info.bitsPerSample == 8 ? 0.02 : 0.005) << channel;
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
    chunks.push_back(MakeAudioChunk(
        MakeAudioBytes(before, 44100, [&](uint64_t f, int) { return Tone(1000, 44100, f + c * 44100, 0.5); }),
        c * 10000000, 1.0, &before));
  }
  chunks.push_back(MakeAudioChunk(
      MakeAudioBytes(after, 48000, [&](uint64_t f, int) { return Tone(1000, 48000, f, 0.5); }), 20000000, 1.0));
  ConvertedSource out;
  ASSERT_TRUE(ConvertSourceChunks(chunks, std::make_shared<const std::vector<uint8_t>>(after), &out));
  ASSERT_NEAR(static_cast<double>(out.samples.size() / 2), 3 * 48000.0, 4.0);
  EXPECT_EQ(out.rawBytes, 2u * 88200u + 384000u);
  for (int second = 0; second < 3; ++second) {  // each second is the same clean tone
    SCOPED_TRACE(second);
    std::vector<float> part(out.samples.begin() + second * 96000, out.samples.begin() + (second + 1) * 96000);
    EXPECT_NEAR(Amplitude(part, 0, 1000), 0.5, 0.01);
    EXPECT_NEAR(Amplitude(part, 1, 1000), 0.5, 0.01);
  }
}

TEST(StreamResampler, ABreakInTheStreamStartsARunAtItsOwnTime) {
  // Two chunks of one connection, then 0.3 s lost to a reconnection.
  auto format = WaveFormatBlock(3, 2, 48000, 32);
  auto one = [&] { return MakeAudioBytes(format, 48000, [](uint64_t, int) { return 0.25; }); };
  AudioRing::Snapshot chunks{MakeAudioChunk(one(), 0, 1.0, &format), MakeAudioChunk(one(), 10000000, 1.0, &format),
                             MakeAudioChunk(one(), 23000000, 1.0, &format)};
  ConvertedSource converted;
  ASSERT_TRUE(ConvertSourceChunks(chunks, nullptr, &converted));
  ASSERT_EQ(converted.runs.size(), 2u);
  EXPECT_EQ(converted.runs[0].startTicks, 0);
  EXPECT_NEAR(static_cast<double>(converted.runs[0].frames), 96000.0, 4.0);
  EXPECT_EQ(converted.runs[1].startTicks, 23000000);
  EXPECT_EQ(converted.runs[1].firstFrame, converted.runs[0].frames);

  // Mixed: silence where the stream broke, the third second at 2.3 s.
  MixBuffer mix(4 * 48000);
  for (const ConvertedRun& run : converted.runs) {
    AddPlaced(mix, converted.samples.data() + 2 * run.firstFrame, run.frames,
              PlacementStartFrame(run.startTicks, 0), 1.0f);
  }
  EXPECT_NEAR(mix.samples[2 * 48000], 0.25f, 0.01f);
  EXPECT_EQ(mix.samples[2 * (2 * 48000 + 7200)], 0.0f);  // 2.15 s: the lost audio stays silent
  EXPECT_NEAR(mix.samples[2 * (2 * 48000 + 24000)], 0.25f, 0.01f);  // 2.5 s
}

TEST(AudioMix, SoftClipPassesTheKneeAndBendsTowardFullScale) {
  // {input, output, tolerance}: exact below the knee and at full scale from about 3 on.
  const std::vector<std::array<float, 3>> values{{0.5f, 0.5f, 0},   {0.8f, 0.8f, 0},         {-0.8f, -0.8f, 0},
                                                 {3.0f, 1.0f, 0},   {-3.0f, -1.0f, 0},       {-0.9f, -0.8924f, 1e-4f},
                                                 {1.0f, 0.9523f, 1e-4f}, {2.0f, 0.9999976f, 2e-7f}};
  MixBuffer mix(values.size() / 2);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_NEAR(SoftClip(values[i][0]), values[i][1], values[i][2]) << values[i][0];
    mix.samples[i] = values[i][0];
  }
  SoftClipAll(mix);
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(mix.samples[i], SoftClip(values[i][0]));
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
  EXPECT_EQ(DesktopGain(AudioSettings{}), 0.6f);
  EXPECT_EQ(MicGain(AudioSettings{}), 0.6f);
}

std::vector<float> Ramp(size_t frames) {
  std::vector<float> source(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    source[2 * i] = static_cast<float>(i);
    source[2 * i + 1] = -static_cast<float>(i);
  }
  return source;
}

TEST(AudioMix, SourcesLandAtTheirOwnTimeAndAreCutAtTheEdges) {
  const int64_t zero = 5000000000;
  EXPECT_EQ(PlacementStartFrame(zero - 15000000, zero), -72000);
  EXPECT_EQ(PlacementStartFrame(zero + 5000000, zero), 24000);
  EXPECT_EQ(PlacementStartFrame(zero + 10000000 / 96000 + 1, zero), 1);  // halves round away from zero
  EXPECT_EQ(PlacementStartFrame(zero - 10000000 / 96000 - 1, zero), -1);
  // 1.5 s early: the first 72000 frames are lost.
  MixBuffer early(100000);
  AddPlaced(early, Ramp(80000), -72000, 0.5f);
  EXPECT_EQ(early.samples[0], 72000 * 0.5f);
  EXPECT_EQ(early.samples[1], -72000 * 0.5f);
  EXPECT_EQ(early.samples[2 * 7999], 79999 * 0.5f);
  EXPECT_EQ(early.samples[2 * 8000], 0.0f);
  // 0.5 s late: silence until frame 24000, cut at the end of the mix.
  MixBuffer late(50000);
  AddPlaced(late, Ramp(40000), 24000, 1.0f);
  EXPECT_EQ(late.samples[2 * 23999], 0.0f);
  EXPECT_EQ(late.samples[2 * 24001], 1.0f);
  EXPECT_EQ(late.samples[2 * 49999], 25999.0f);
  EXPECT_EQ(late.samples.size(), 100000u);
}

// A music-like stereo signal: tones with slow tremolo, a few harmonics up to
// 7 kHz and a little noise, differently on each side.
std::vector<float> MusicLike(size_t frames) {
  std::vector<float> samples(2 * frames);
  uint32_t seed = 1;
  auto noise = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
  };
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    const double pi2 = 2 * std::numbers::pi;
    samples[2 * i] = static_cast<float>(0.25 * std::sin(pi2 * 220 * t) * (1 + 0.5 * std::sin(pi2 * 0.7 * t)) +
                                        0.15 * std::sin(pi2 * 330.5 * t) + 0.1 * std::sin(pi2 * 1320 * t) +
                                        0.05 * std::sin(pi2 * 5500 * t) + 0.03 * noise());
    samples[2 * i + 1] = static_cast<float>(0.25 * std::sin(pi2 * 221 * t) + 0.15 * std::sin(pi2 * 440 * t) +
                                            0.08 * std::sin(pi2 * 2640 * t) + 0.04 * std::sin(pi2 * 7000 * t) +
                                            0.03 * noise());
  }
  return samples;
}

// The clip's AAC comes in frames of 1024 samples, the last one shorter, and
// keeps this music-like signal at 26.6 dB SNR (FFmpeg's fast
// coder would reach 29.1 dB; SNR does not reward the default two-loop
// coder's noise shaping); a much coarser coder, a lost frame or a misplaced
// join would fall far below.
TEST(AacEncoder, FramesOfTheEncoderSizeOneShorterLastFrameAndAMusicLikeSignalAbove24DbSnr) {
  const auto path = std::filesystem::temp_directory_path() / ("ostrel_aac_snr_" + std::to_string(getpid()) + ".mp4");
  const size_t frames = 4 * 48000;  // 187.5 encoder frames: the last one is half full
  const std::vector<float> source = MusicLike(frames);
  {
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mp4", nullptr), 0);
    AVStream* stream = avformat_new_stream(output, nullptr);
    {
      AacEncoder encoder(output, static_cast<unsigned>(stream->index));
      encoder.SetupStream(stream);
      ASSERT_GE(avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
      ASSERT_GE(avformat_write_header(output, nullptr), 0);
      EXPECT_EQ(encoder.FrameSize(), 1024u);
      encoder.Feed(source.data(), 1500);
      EXPECT_EQ(encoder.NextPts(), 1024u);
      EXPECT_EQ(encoder.PendingFrames(), 476u);
      for (size_t at = 1500; at < frames; at += 4800) encoder.Feed(source.data() + 2 * at, std::min<size_t>(4800, frames - at));
      encoder.Flush();
      EXPECT_EQ(encoder.LastFrameSamples(), 512u);
      EXPECT_EQ(encoder.NextPts(), frames);
      EXPECT_EQ(encoder.PendingFrames(), 0u);
      av_write_trailer(output);
    }
    avio_closep(&output->pb);
    avformat_free_context(output);
  }
  // Decoded back (the muxer's edit list drops the encoder's priming).
  const std::vector<float> decoded = ProbeClip(path.string(), true).audio.samples;
  std::filesystem::remove(path);
  ASSERT_GE(decoded.size(), source.size());
  double signal = 0, error = 0;
  for (size_t i = 2 * 4800; i < source.size() - 2 * 4800; ++i) {
    signal += static_cast<double>(source[i]) * source[i];
    error += (static_cast<double>(decoded[i]) - source[i]) * (static_cast<double>(decoded[i]) - source[i]);
  }
  EXPECT_GT(10 * std::log10(signal / error), 24.0);
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

TEST(SaveTelemetry, StageSamplerAndRecordingLinesHaveTheirFormats) {
  std::vector<std::wstring> lines;
  auto log = [&](const std::wstring& line) { lines.push_back(line); };
  std::vector<MemorySample> samples{{100.0, 150.0}, {90.25, 140.0}, {90.25, 141.0}};
  size_t next = 0;
  SaveMemoryTracker tracker(log, [&] { return samples[next++]; });
  tracker.Stage(L"entry", L"");
  tracker.Stage(L"audio-concat", L" rawBytes=3MB");
  tracker.Stage(L"a-stage-name-longer-than-18", L"");
  // The 1 s sampler's body with counted steps: a line on every fourth step,
  // none for the steps of an unfinished second.
  std::atomic<bool> stop{false};
  int steps = 0;
  RunSaveMemorySampler(stop, log, [] { return MemorySample{3.0, 4.5}; }, [&] {
    if (++steps == 11) stop.store(true);
  });
  EXPECT_EQ(lines, (std::vector<std::wstring>{
                       L"[DIAG-SAVE-MEM] stage=entry              priv=100.0MB ws=150.0MB dPriv=+100.0MB",
                       L"[DIAG-SAVE-MEM] stage=audio-concat       priv=90.2MB ws=140.0MB dPriv=-9.8MB rawBytes=3MB",
                       L"[DIAG-SAVE-MEM] stage=a-stage-name-longer-than-18 priv=90.2MB ws=141.0MB dPriv=+0.0MB",
                       L"[DIAG-SAVE-MEM-1S] t=1s priv=3.0MB ws=4.5MB",
                       L"[DIAG-SAVE-MEM-1S] t=2s priv=3.0MB ws=4.5MB"}));
  EXPECT_EQ(RecordingTelemetryLine(20, {12.34, 56.78}, 7u << 20, (3u << 20) - 1),
            L"[DIAG-REC-MEM] t=20s priv=12.3MB ws=56.8MB ringV=7MB ringA=2MB");
}

TEST(RecordingTelemetryTest, OneLineEveryFortyStepsStampedWithItsSecond) {
  // 25 ms steps: a line a second (10 s at the real 250 ms step).
  SegmentRing video;
  AudioRing desktop, mic;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<std::wstring> lines;
  std::thread worker([&] {
    RunRecordingTelemetryLoop(stop, video, desktop, mic, [&](const std::wstring& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    }, std::chrono::milliseconds(25), [] { return MemorySample{1.0, 2.0}; });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  stop.store(true);
  worker.join();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"[DIAG-REC-MEM] t=0s priv=1.0MB ws=2.0MB ringV=0MB ringA=0MB");
  EXPECT_EQ(lines[1].rfind(L"[DIAG-REC-MEM] t=1s ", 0), 0u);
  EXPECT_EQ(lines[2].rfind(L"[DIAG-REC-MEM] t=2s ", 0), 0u);
}

TEST(SaveProgressTest, AReaderNeverPairsOneStageWithAnothersNumbers) {
  // The setter publishes (stage, done, total) triples that belong together;
  // a reader on another thread, reading all the while the setter runs, must
  // only ever see whole ones.
  SaveProgress progress;
  std::atomic<bool> started{false}, stop{false};
  std::thread setter([&] {
    for (uint32_t i = 1; !stop.load(); i = i % 1000000 + 1) {
      progress.Set(1 + i % 4, i, 2 * i);
      started.store(true);
    }
  });
  while (!started.load()) std::this_thread::yield();
  int torn = 0;
  for (int read = 0; read < 200000; ++read) {
    int stage = 0, done = 0, total = 0;
    progress.Read(&stage, &done, &total);
    if (stage == 0 || total != 2 * done || stage != 1 + done % 4) ++torn;
  }
  stop.store(true);
  setter.join();
  EXPECT_EQ(torn, 0) << "of 200000 reads";
}

}  // namespace
}  // namespace ostrel::testing
