// Wave format parsing and the stream resampler: level and pitch of a tone
// survive every supported input format on the way to 48 kHz stereo float.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

#include "save/audio_mix.h"
#include "save/stream_resampler.h"
#include "save/wave_format.h"
#include "support/save_segment_factory.h"

namespace ostrel::testing {
namespace {

constexpr uint32_t kFrontLeft = 0x1, kFrontRight = 0x2, kFrontCenter = 0x4, kLfe = 0x8, kBackLeft = 0x10,
                   kBackRight = 0x20;
constexpr uint32_t kMask51 = kFrontLeft | kFrontRight | kFrontCenter | kLfe | kBackLeft | kBackRight;

double Tone(double hz, uint32_t rate, uint64_t frame, double amplitude) {
  return amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(frame) / rate);
}

// Amplitude of one frequency in one channel of interleaved stereo floats
// (Goertzel over the middle of the signal, away from filter edges).
double Amplitude(const std::vector<float>& stereo, int channel, double hz) {
  const size_t frames = stereo.size() / 2;
  const size_t from = frames / 4, to = frames * 3 / 4;
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

std::vector<float> Convert(const std::vector<uint8_t>& format, const std::vector<uint8_t>& bytes) {
  return StreamResampler::Convert(bytes.data(), bytes.size(), format.data(), format.size());
}

TEST(WaveFormat, ParsesEveryFieldOfPlainAndExtensibleBlocks) {
  auto pcm = WaveFormatBlock(1, 1, 44100, 16);
  WaveFormatInfo info = ParseWaveFormat(pcm.data(), pcm.size());
  EXPECT_EQ(info.formatTag, 1);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.samplesPerSecond, 44100u);
  EXPECT_EQ(info.averageBytesPerSecond, 88200u);
  EXPECT_EQ(info.blockAlign, 2);
  EXPECT_EQ(info.bitsPerSample, 16);
  EXPECT_EQ(info.validBitsPerSample, 16);
  EXPECT_EQ(info.channelMask, 0u);
  EXPECT_EQ(info.kind, WaveSampleKind::kInteger);
  // The 16-byte PCMWAVEFORMAT form without the extension-size field.
  info = ParseWaveFormat(pcm.data(), 16);
  EXPECT_EQ(info.samplesPerSecond, 44100u);

  auto ext = WaveFormatBlock(0xFFFE, 6, 48000, 32, 32, kMask51, 3);
  info = ParseWaveFormat(ext.data(), ext.size());
  EXPECT_EQ(info.formatTag, 0xFFFE);
  EXPECT_EQ(info.channels, 6);
  EXPECT_EQ(info.blockAlign, 24);
  EXPECT_EQ(info.channelMask, kMask51);
  EXPECT_EQ(info.subFormat, WaveSubFormatGuid(3));
  EXPECT_EQ(info.kind, WaveSampleKind::kFloat);

  auto ext24 = WaveFormatBlock(0xFFFE, 2, 96000, 32, 24, kFrontLeft | kFrontRight, 1);
  info = ParseWaveFormat(ext24.data(), ext24.size());
  EXPECT_EQ(info.bitsPerSample, 32);
  EXPECT_EQ(info.validBitsPerSample, 24);
  EXPECT_EQ(info.kind, WaveSampleKind::kInteger);
}

TEST(WaveFormat, RejectsWhatCannotBeConvertedWithAClearReason) {
  struct Bad {
    std::vector<uint8_t> block;
    std::string reason;
  };
  auto badAlign = WaveFormatBlock(1, 2, 48000, 16);
  badAlign[12] = 3;
  auto badGuid = WaveFormatBlock(0xFFFE, 2, 48000, 16, 16, 3, 1);
  badGuid[30] ^= 0xFF;
  auto shortExtension = WaveFormatBlock(0xFFFE, 2, 48000, 16, 16, 3, 1);
  shortExtension[16] = 10;
  auto truncated = WaveFormatBlock(0xFFFE, 2, 48000, 16, 16, 3, 1);
  truncated.resize(30);
  const std::vector<Bad> cases{
      {std::vector<uint8_t>(10, 0), "wave format block of 10 bytes is too short"},
      {truncated, "wave format block of 30 bytes is shorter than its extension size 22 says"},
      {WaveFormatBlock(0x55, 2, 44100, 16), "format tag 0x0055"},
      {WaveFormatBlock(1, 9, 48000, 16), "9 channels"},
      {WaveFormatBlock(1, 0, 48000, 16), "0 channels"},
      {WaveFormatBlock(1, 2, 48000, 12), "12-bit PCM"},
      {WaveFormatBlock(3, 2, 48000, 16), "16-bit float"},
      {WaveFormatBlock(1, 2, 0, 16), "sample rate 0"},
      {badAlign, "block align 3 for 2 x 16-bit samples"},
      {badGuid, "extensible sub-format is neither PCM nor IEEE float"},
      {shortExtension, "extensible wave format with an extension of 10 bytes"},
      {WaveFormatBlock(0xFFFE, 2, 48000, 16, 24, 3, 1), "24 valid bits in a 16-bit container"},
  };
  for (const Bad& bad : cases) {
    try {
      ParseWaveFormat(bad.block.data(), bad.block.size());
      ADD_FAILURE() << "accepted: " << bad.reason;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "unsupported audio format: " + bad.reason);
    }
  }
}

TEST(StreamResampler, ATonesLevelAndPitchSurviveEveryIntegerAndFloatFormat) {
  struct Case {
    const char* name;
    std::vector<uint8_t> format;
    uint32_t rate;
  };
  const std::vector<Case> cases{
      {"8-bit mono 22.05 kHz", WaveFormatBlock(1, 1, 22050, 8), 22050},
      {"16-bit mono 44.1 kHz", WaveFormatBlock(1, 1, 44100, 16), 44100},
      {"24-bit stereo 96 kHz", WaveFormatBlock(1, 2, 96000, 24), 96000},
      {"32-bit int stereo 48 kHz", WaveFormatBlock(1, 2, 48000, 32), 48000},
      {"float stereo 48 kHz", WaveFormatBlock(3, 2, 48000, 32), 48000},
      {"extensible 24-in-32 stereo 44.1 kHz", WaveFormatBlock(0xFFFE, 2, 44100, 32, 24, 3, 1), 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t frames = c.rate;  // one second
    auto bytes = MakeAudioBytes(c.format, frames, [&](uint64_t f, int) { return Tone(1000, c.rate, f, 0.5); });
    std::vector<float> out = Convert(c.format, bytes);
    // Whole stream in, whole stream out: one second at 48 kHz.
    EXPECT_NEAR(static_cast<double>(out.size() / 2), 48000.0, 2.0);
    const double tolerance = c.format[14] == 8 ? 0.02 : 0.005;
    for (int channel = 0; channel < 2; ++channel) {
      // Mono is heard at full level on both sides.
      EXPECT_NEAR(Amplitude(out, channel, 1000), 0.5, tolerance) << "channel " << channel;
      EXPECT_LT(Amplitude(out, channel, 1100), 0.01);
    }
  }
}

TEST(StreamResampler, FivePointOneIsDownmixedWithStandardCoefficients) {
  auto format = WaveFormatBlock(0xFFFE, 6, 48000, 32, 32, kMask51, 3);
  // 500 Hz front left, 700 Hz centre, 900 Hz back right, 60 Hz LFE.
  auto bytes = MakeAudioBytes(format, 48000, [](uint64_t f, int channel) {
    switch (channel) {
      case 0: return Tone(500, 48000, f, 0.5);
      case 2: return Tone(700, 48000, f, 0.5);
      case 3: return Tone(60, 48000, f, 0.5);
      case 5: return Tone(900, 48000, f, 0.5);
      default: return 0.0;
    }
  });
  std::vector<float> out = Convert(format, bytes);
  const double minus3dB = 0.5 * std::sqrt(0.5);
  EXPECT_NEAR(Amplitude(out, 0, 500), 0.5, 0.005);
  EXPECT_NEAR(Amplitude(out, 1, 500), 0.0, 0.005);
  EXPECT_NEAR(Amplitude(out, 0, 700), minus3dB, 0.005);
  EXPECT_NEAR(Amplitude(out, 1, 700), minus3dB, 0.005);
  EXPECT_NEAR(Amplitude(out, 0, 900), 0.0, 0.005);
  EXPECT_NEAR(Amplitude(out, 1, 900), minus3dB, 0.005);
  EXPECT_LT(Amplitude(out, 0, 60), 0.005);
}

TEST(StreamResampler, BytesMayArriveInAnySplit) {
  auto format = WaveFormatBlock(1, 2, 44100, 24);
  auto bytes = MakeAudioBytes(format, 44100, [](uint64_t f, int ch) { return Tone(ch ? 300 : 1200, 44100, f, 0.4); });
  std::vector<float> whole = Convert(format, bytes);
  StreamResampler resampler(ParseWaveFormat(format.data(), format.size()));
  std::vector<float> pieces;
  // Odd piece sizes cut through samples and frames.
  for (size_t at = 0, step = 1; at < bytes.size(); at += step, step = step * 7 % 4093 + 1) {
    resampler.Push(bytes.data() + at, std::min(step, bytes.size() - at), pieces);
  }
  resampler.Finish(pieces);
  ASSERT_EQ(pieces.size(), whole.size());
  for (size_t i = 0; i < whole.size(); ++i) ASSERT_NEAR(pieces[i], whole[i], 1e-6) << "sample " << i;
  EXPECT_STREQ(resampler.EngineName(), "soxr");  // this FFmpeg build has libsoxr
  EXPECT_TRUE(Convert(format, {}).empty());
}

TEST(StreamResampler, AFormatChangeInsideTheSpanKeepsBothHalvesIntact) {
  // The device switched from 44.1 kHz mono 16-bit to 48 kHz stereo float
  // between two chunks; the ring now reports the newer format.
  auto before = WaveFormatBlock(1, 1, 44100, 16);
  auto after = WaveFormatBlock(3, 2, 48000, 32);
  AudioRing::Snapshot chunks;
  for (int c = 0; c < 2; ++c) {
    chunks.push_back(MakeAudioChunk(
        MakeAudioBytes(before, 44100, [&](uint64_t f, int) { return Tone(1000, 44100, f + c * 44100, 0.5); }),
        c * 10000000, 1.0, &before));
  }
  // The last chunk carries no format of its own: the ring's applies.
  chunks.push_back(MakeAudioChunk(
      MakeAudioBytes(after, 48000, [&](uint64_t f, int) { return Tone(1000, 48000, f, 0.5); }), 20000000, 1.0));
  auto ringFormat = std::make_shared<const std::vector<uint8_t>>(after);
  ConvertedSource converted;
  ASSERT_TRUE(ConvertSourceChunks(chunks, ringFormat, &converted));
  ASSERT_NEAR(static_cast<double>(converted.samples.size() / 2), 3 * 48000.0, 4.0);
  EXPECT_EQ(converted.rawBytes, 2u * 88200u + 384000u);
  // Each second is the same clean tone (the first two through one filter).
  for (int second = 0; second < 3; ++second) {
    std::vector<float> part(converted.samples.begin() + second * 96000, converted.samples.begin() + (second + 1) * 96000);
    SCOPED_TRACE(second);
    EXPECT_NEAR(Amplitude(part, 0, 1000), 0.5, 0.01);
    EXPECT_NEAR(Amplitude(part, 1, 1000), 0.5, 0.01);
    EXPECT_LT(Amplitude(part, 0, 1500), 0.01);
  }
  // No click where the first two chunks meet: neighbouring samples of a
  // 1 kHz tone at 0.5 differ by at most 2 pi x 1000 / 48000 x 0.5.
  for (size_t i = 96000 - 200; i < 96000 + 200; i += 2) {
    EXPECT_LT(std::fabs(converted.samples[i + 2] - converted.samples[i]), 0.07f) << "frame " << i / 2;
  }

  // No known format anywhere: nothing to convert.
  AudioRing::Snapshot unknown{MakeAudioChunk(std::vector<uint8_t>(100), 0, 1.0)};
  EXPECT_FALSE(ConvertSourceChunks(unknown, nullptr, &converted));
  // A chunk without format among known ones keeps its time as silence.
  AudioRing::Snapshot mixed{chunks[0], MakeAudioChunk(std::vector<uint8_t>(100), 10000000, 1.0)};
  ASSERT_TRUE(ConvertSourceChunks(mixed, nullptr, &converted));
  EXPECT_NEAR(static_cast<double>(converted.samples.size() / 2), 2 * 48000.0, 2.0);
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

}  // namespace
}  // namespace ostrel::testing
