#include "support/aac_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace ostrel::testing {
namespace {
constexpr int kRate = kAacTestRate;
}  // namespace

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
// the samples before time 0 (the first packet's time stamp is negative: the
// encoder's priming) as an MP4 edit list does.
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
  const auto skip = static_cast<size_t>(packets.empty() ? 0 : -packets.front()->pts);
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(out.size(), 2 * skip)));
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

// Every 1024-sample block within four encoder frames of `at` is as close to
// the source as `floor`: a click, a gap or a shifted part would take a block
// far below.
void ExpectSeamless(const std::vector<float>& source, const std::vector<float>& decoded, int64_t at, double floor) {
  const int64_t end = std::min<int64_t>(at + 4 * 1024, static_cast<int64_t>(source.size() / 2) - 1024);
  for (int64_t block = at - 4 * 1024; block < end; block += 1024) {
    const auto from = static_cast<size_t>(block);
    EXPECT_GT(SnrDb(source, decoded, from, from + 1024), floor) << "at " << block - at;
  }
}

}  // namespace ostrel::testing
