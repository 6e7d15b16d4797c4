// The mix encoded in parallel slices against one encoder over the same mix:
// same packets in number, time and length, and no click or gap at a join.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "save/aac_slices.h"

namespace ostrel {
namespace {

constexpr int kRate = 48000;

// Tones with tremolo, a gliding tone, harmonics up to 7 kHz, a little noise
// and a note that starts and stops, different on each side.
std::vector<float> MusicLike(size_t frames) {
  std::vector<float> samples(2 * frames);
  uint32_t seed = 7;
  auto noise = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
  };
  const double pi2 = 2 * std::numbers::pi;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double note = std::fmod(t, 0.75) < 0.4 ? 0.12 * std::sin(pi2 * 880 * t) : 0.0;
    samples[2 * i] = static_cast<float>(0.25 * std::sin(pi2 * 220 * t) * (1 + 0.5 * std::sin(pi2 * 0.7 * t)) +
                                        0.1 * std::sin(pi2 * (300 + 40 * t) * t) + 0.05 * std::sin(pi2 * 5500 * t) +
                                        note + 0.03 * noise());
    samples[2 * i + 1] = static_cast<float>(0.25 * std::sin(pi2 * 221 * t) + 0.15 * std::sin(pi2 * 440 * t) +
                                            0.04 * std::sin(pi2 * 7000 * t) + 0.5 * note + 0.03 * noise());
  }
  return samples;
}

// Decodes raw AAC-LC packets (48 kHz stereo) to interleaved float, dropping
// the encoder's 1024 priming samples as an MP4 edit list does.
std::vector<float> Decode(const std::vector<ffmpeg::PacketPtr>& packets) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
  decoder->sample_rate = kRate;
  av_channel_layout_default(&decoder->ch_layout, 2);
  // AudioSpecificConfig: AAC-LC, 48 kHz, two channels.
  decoder->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
  decoder->extradata[0] = 0x11;
  decoder->extradata[1] = 0x90;
  decoder->extradata_size = 2;
  EXPECT_GE(avcodec_open2(decoder.get(), codec, nullptr), 0);
  ffmpeg::FramePtr frame(av_frame_alloc());
  std::vector<float> out;
  auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      for (int i = 0; i < frame->nb_samples; ++i) {
        out.push_back(reinterpret_cast<const float*>(frame->extended_data[0])[i]);
        out.push_back(reinterpret_cast<const float*>(frame->extended_data[1])[i]);
      }
      av_frame_unref(frame.get());
    }
  };
  for (const auto& packet : packets) {
    EXPECT_EQ(avcodec_send_packet(decoder.get(), packet.get()), 0);
    drain();
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  out.erase(out.begin(), out.begin() + std::min<size_t>(out.size(), 2 * 1024));
  return out;
}

double SnrDb(const std::vector<float>& source, const std::vector<float>& decoded, size_t fromFrame, size_t toFrame) {
  double signal = 0, error = 0;
  for (size_t i = 2 * fromFrame; i < 2 * toFrame; ++i) {
    signal += static_cast<double>(source[i]) * source[i];
    error += (static_cast<double>(decoded[i]) - source[i]) * (static_cast<double>(decoded[i]) - source[i]);
  }
  return 10 * std::log10(signal / std::max(error, 1e-20));
}

TEST(AacSlices, SlicedEncodingMatchesOneEncoderInPacketsAndSoundAtEveryJoin) {
  // Not a whole number of encoder frames: the last frame is a short one.
  const size_t frames = 12 * kRate + 333;
  const std::vector<float> source = MusicLike(frames);
  const auto whole = EncodeAacInSlices(source.data(), frames, 1);
  const unsigned slices = 3;
  const auto sliced = EncodeAacInSlices(source.data(), frames, slices);

  ASSERT_EQ(sliced.size(), whole.size());
  for (size_t i = 0; i < sliced.size(); ++i) {
    // Consecutive frames from the priming one on; the same lengths.
    EXPECT_EQ(sliced[i]->pts, whole[i]->pts) << i;
    EXPECT_EQ(sliced[i]->duration, whole[i]->duration) << i;
    if (i > 0) {
      EXPECT_EQ(sliced[i]->pts, sliced[i - 1]->pts + 1024) << i;
    }
  }
  EXPECT_EQ(sliced.front()->pts, -1024);

  const std::vector<float> fromWhole = Decode(whole);
  const std::vector<float> fromSliced = Decode(sliced);
  ASSERT_GE(fromSliced.size(), source.size());
  ASSERT_EQ(fromSliced.size(), fromWhole.size());

  const double wholeSnr = SnrDb(source, fromWhole, 4800, frames - 4800);
  const double slicedSnr = SnrDb(source, fromSliced, 4800, frames - 4800);
  EXPECT_GT(slicedSnr, 25.0);
  EXPECT_NEAR(slicedSnr, wholeSnr, 1.0);

  // Around each join (every 1024-sample block within 4 frames of it) the
  // sound is as close to the source as anywhere: a click, a gap or a shifted
  // slice would take a block far below.
  const uint64_t encoderFrames = (frames + 1023) / 1024;
  for (unsigned j = 1; j < slices; ++j) {
    const size_t join = static_cast<size_t>(encoderFrames * j / slices * 1024);
    for (size_t block = join - 4 * 1024; block < join + 4 * 1024; block += 1024) {
      EXPECT_GT(SnrDb(source, fromSliced, block, block + 1024), wholeSnr - 6.0) << "join " << j << " at " << block;
    }
  }
}

TEST(AacSlices, ShortMixesAreNotCutAndEveryCoreTakesAtMostOneSlice) {
  EXPECT_EQ(AacSliceCount(4 * kRate, 8), 1u);
  EXPECT_EQ(AacSliceCount(60 * kRate, 1), 1u);
  EXPECT_EQ(AacSliceCount(60 * kRate, 2), 2u);
  EXPECT_EQ(AacSliceCount(60 * kRate, 64), 4u);
  EXPECT_EQ(AacSliceCount(12 * kRate, 8), 2u);
  EXPECT_EQ(AacSliceCount(0, 0), 1u);
}

TEST(AacSlices, AnEmptyMixGivesNoPackets) { EXPECT_TRUE(EncodeAacInSlices(nullptr, 0, 2).empty()); }

}  // namespace
}  // namespace ostrel
