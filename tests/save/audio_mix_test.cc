// Gains, placement, soft clip and the AAC encoder's framing.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "save/aac_encoder.h"
#include "save/audio_mix.h"
#include "save_rig.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

TEST(SoftClip, PassesTheKneeAndBendsTowardFullScale) {
  EXPECT_EQ(SoftClip(0.5f), 0.5f);
  EXPECT_EQ(SoftClip(0.8f), 0.8f);
  EXPECT_EQ(SoftClip(-0.8f), -0.8f);
  EXPECT_NEAR(SoftClip(-0.9f), -0.8924f, 1e-4);
  EXPECT_NEAR(SoftClip(1.0f), 0.9523f, 1e-4);
  EXPECT_NEAR(SoftClip(2.0f), 0.9999976f, 2e-7);
  EXPECT_EQ(SoftClip(3.0f), 1.0f);
  EXPECT_EQ(SoftClip(-3.0f), -1.0f);
  // The knee constant is 1 - 0.8f in single precision (0x3E4CCCCC), which
  // is what makes the curve meet full scale exactly from about 3 on.
  EXPECT_EQ(std::bit_cast<uint32_t>(1.0f - 0.8f), 0x3E4CCCCCu);
  // Monotonic and continuous across the knee.
  float previous = SoftClip(0.79f);
  for (float x = 0.79f; x < 3.5f; x += 0.001f) {
    float y = SoftClip(x);
    EXPECT_GE(y, previous);
    EXPECT_LE(y - previous, 0.0011f);
    previous = y;
  }
  MixBuffer mix(2);
  mix.samples = {0.1f, 1.0f, -2.0f, 3.0f};
  SoftClipAll(mix);
  EXPECT_EQ(mix.samples[0], 0.1f);
  EXPECT_EQ(mix.samples[1], SoftClip(1.0f));
  EXPECT_EQ(mix.samples[2], SoftClip(-2.0f));
  EXPECT_EQ(mix.samples[3], 1.0f);
}

TEST(MixGains, VolumesAreClampedPerSourceAndMutesWin) {
  AudioSettings settings;
  EXPECT_EQ(DesktopGain(settings), 0.6f);
  EXPECT_EQ(MicGain(settings), 0.6f);
  settings.desktopVolume = 1.5f;
  settings.micVolume = 1.5f;
  EXPECT_EQ(DesktopGain(settings), 1.0f);
  EXPECT_EQ(MicGain(settings), 1.5f);
  settings.micVolume = 2.5f;
  EXPECT_EQ(MicGain(settings), 2.0f);
  settings.desktopVolume = -0.5f;
  settings.micVolume = -1.0f;
  EXPECT_EQ(DesktopGain(settings), 0.0f);
  EXPECT_EQ(MicGain(settings), 0.0f);
  settings = AudioSettings{};
  settings.desktopMuted = true;
  settings.micMuted = true;
  EXPECT_EQ(DesktopGain(settings), 0.0f);
  EXPECT_EQ(MicGain(settings), 0.0f);
}

std::vector<float> Ramp(size_t frames) {
  std::vector<float> source(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    source[2 * i] = static_cast<float>(i);
    source[2 * i + 1] = -static_cast<float>(i);
  }
  return source;
}

TEST(MixPlacement, SourcesLandAtTheirOwnTimeAndAreCutAtTheEdges) {
  const int64_t zero = 5000000000;
  EXPECT_EQ(PlacementStartFrame(zero - 15000000, zero), -72000);
  EXPECT_EQ(PlacementStartFrame(zero + 5000000, zero), 24000);
  // Halves round away from zero: 1/96000 s is half a frame.
  EXPECT_EQ(PlacementStartFrame(zero + 10000000 / 96000 + 1, zero), 1);
  EXPECT_EQ(PlacementStartFrame(zero - 10000000 / 96000 - 1, zero), -1);
  EXPECT_EQ(MixFramesFor(30000000), 144000u);
  EXPECT_EQ(MixFramesFor(0), 0u);
  EXPECT_EQ(MixFramesFor(-5), 0u);

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
  EXPECT_EQ(late.samples[2 * 24000 + 1], -0.0f);
  EXPECT_EQ(late.samples[2 * 24001], 1.0f);
  EXPECT_EQ(late.samples[2 * 49999], 25999.0f);
  EXPECT_EQ(late.samples.size(), 100000u);

  // Sources add up.
  AddPlaced(late, Ramp(40000), 24000, 1.0f);
  EXPECT_EQ(late.samples[2 * 24001], 2.0f);
  // Wholly outside the mix: nothing happens.
  AddPlaced(late, Ramp(10), -100, 1.0f);
  AddPlaced(late, Ramp(10), 50000, 1.0f);
  EXPECT_EQ(late.samples[0], 0.0f);
}

TEST(AacEncoder, FramesOfTheEncoderSizeAndOneShorterLastFrame) {
  ScratchFolder folder;
  const std::string path = (folder.Path() / "audio.mp4").string();
  AVFormatContext* output = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mp4", nullptr), 0);
  AVStream* stream = avformat_new_stream(output, nullptr);
  {
    AacEncoder encoder(output, static_cast<unsigned>(stream->index));
    encoder.SetupStream(stream);
    EXPECT_EQ(stream->time_base.den, 48000);
    EXPECT_EQ(encoder.Codec()->bit_rate, 128000);
    EXPECT_EQ(encoder.Codec()->sample_fmt, AV_SAMPLE_FMT_FLTP);
    ASSERT_GE(avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    ASSERT_GE(avformat_write_header(output, nullptr), 0);
    EXPECT_EQ(encoder.FrameSize(), 1024u);

    std::vector<float> samples(2 * 1500);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(static_cast<float>(i) * 0.01f);
    encoder.Feed(samples.data(), 1500);
    EXPECT_EQ(encoder.NextPts(), 1024u);
    EXPECT_EQ(encoder.PendingFrames(), 476u);
    encoder.Flush();
    EXPECT_EQ(encoder.LastFrameSamples(), 476u);
    EXPECT_EQ(encoder.NextPts(), 1500u);
    EXPECT_EQ(encoder.PendingFrames(), 0u);
    av_write_trailer(output);
  }
  avio_closep(&output->pb);
  avformat_free_context(output);
  ClipInfo clip = ProbeClip(path, true);
  ASSERT_TRUE(clip.audio.present);
  // Every fed frame comes back (the last frame may decode with padding).
  EXPECT_GE(clip.audio.peak.size(), 1500u);
  EXPECT_LE(clip.audio.peak.size(), 2048u);
}

}  // namespace
}  // namespace ostrel::testing
