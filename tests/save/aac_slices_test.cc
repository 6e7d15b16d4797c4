// Parallel AAC slices against one encoder, and the mix encoded while
// recording against the one a save makes itself: same packets, same sound,
// no click or gap at a join.
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
#include "save/audio_mix.h"
#include "save/live_mix.h"
#include "support/save_segment_factory.h"

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

TEST(AacSlices, SlicedEncodingMatchesOneEncoderInPacketsAndSoundAtEveryJoin) {
  // Not a whole number of encoder frames: the last frame is a short one.
  const size_t frames = 12 * kRate + 333;
  const std::vector<float> source = MusicLike(frames);
  const auto whole = EncodeAacInSlices(source.data(), frames, 1);
  const unsigned slices = 3;
  const auto sliced = EncodeAacInSlices(source.data(), frames, slices);

  // Consecutive frames from the priming one on, the last one short and
  // ending with the mix.
  ASSERT_EQ(sliced.size(), whole.size());
  EXPECT_EQ(sliced.front()->pts, -1024);
  for (size_t i = 1; i < sliced.size(); ++i) EXPECT_EQ(sliced[i]->pts, sliced[i - 1]->pts + 1024) << i;
  EXPECT_EQ(sliced.back()->pts + sliced.back()->duration, static_cast<int64_t>(frames));
  EXPECT_EQ(whole.back()->pts + whole.back()->duration, static_cast<int64_t>(frames));

  const std::vector<float> fromWhole = Decode(whole), fromSliced = Decode(sliced);
  ASSERT_GE(fromSliced.size(), source.size());

  const double wholeSnr = SnrDb(source, fromWhole, 4800, frames - 4800);
  const double slicedSnr = SnrDb(source, fromSliced, 4800, frames - 4800);
  EXPECT_GT(slicedSnr, 25.0);
  EXPECT_NEAR(slicedSnr, wholeSnr, 1.0);

  const int64_t encoderFrames = (static_cast<int64_t>(frames) + 1023) / 1024;
  for (unsigned j = 1; j < slices; ++j) {
    ExpectSeamless(source, fromSliced, encoderFrames * j / slices * 1024, wholeSnr - 6.0);
  }
}

TEST(AacSlices, ShortOrEmptyMixesAreNotCutAndNoCoreTakesTwoSlices) {
  EXPECT_EQ(AacSliceCount(4 * kRate, 8), 1u);
  EXPECT_EQ(AacSliceCount(60 * kRate, 2), 2u);
  EXPECT_TRUE(EncodeAacInSlices(nullptr, 0, 2).empty());
}

constexpr int64_t kTicks = 10000000;
constexpr int64_t kChunkTicks = kTicks / 2;

// Both sources as the capture threads deliver them, in half-second chunks:
// music on the desktop (48 kHz float stereo), a voice-like tone on a 44.1 kHz
// mono 16-bit microphone; the running mix takes them as they come.
struct LiveRig {
  AudioRing desktop, mic;
  ReplayWindow window{30.0};
  AudioSettings settings;
  LiveAacMix live{desktop, mic, window, [this] { return settings; }, 0};
  std::vector<uint8_t> desktopFormat = testing::WaveFormatBlock(3, 2, 48000, 32);
  std::vector<uint8_t> micFormat = testing::WaveFormatBlock(1, 1, 44100, 16);
  std::vector<float> music = MusicLike(40 * kRate);
  int64_t next = 0;     // start of the next desktop chunk
  int64_t micNext = 0;  // and microphone chunk

  LiveRig() {
    desktop.SetWaveFormat(desktopFormat);
    mic.SetWaveFormat(micFormat);
    desktop.SetCapturing(true);
    mic.SetCapturing(true);
  }
  void Deliver(AudioRing& ring, const std::vector<uint8_t>& format, int64_t start) {
    const uint32_t rate = &ring == &desktop ? 48000 : 44100;
    const uint64_t first = static_cast<uint64_t>(start) * rate / kTicks;
    auto bytes = testing::MakeAudioBytes(format, rate / 2, [&](uint64_t frame, int channel) {
      const auto at = first + frame;
      if (&ring == &mic) return 0.3 * std::sin(2 * std::numbers::pi * 180.0 * static_cast<double>(at) / rate);
      return static_cast<double>(music[(2 * at + static_cast<uint64_t>(channel)) % music.size()]);
    });
    ring.AppendWithCutoff(testing::MakeAudioChunk(std::move(bytes), start, 0.5, &format), INT64_MIN);
  }
  // Half-second steps; the microphone a quarter second behind the desktop.
  void RecordUntil(int64_t end) {
    for (; next + kChunkTicks <= end; next += kChunkTicks) {
      Deliver(desktop, desktopFormat, next);
      for (; micNext + 2 * kChunkTicks <= next + kChunkTicks; micNext += kChunkTicks) Deliver(mic, micFormat, micNext);
      live.Advance(next + kChunkTicks);
    }
    for (; micNext < next; micNext += kChunkTicks) Deliver(mic, micFormat, micNext);  // the save's cut
  }
  // The clip of `seconds` from `start`, as the save mixes and encodes it itself.
  std::vector<float> SaveTimeMix(int64_t start, double seconds) {
    MixBuffer mix(MixFramesFor(static_cast<int64_t>(seconds * kTicks)));
    SaveMemoryTracker tracker(nullptr, [] { return MemorySample{}; });
    MixContext context{tracker, start, mix};
    const TickSpan span{start, start + static_cast<int64_t>(seconds * kTicks)};
    MixSource(context, desktop.TakeSnapshot(span), desktop.SharedWaveFormat(), DesktopGain(settings));
    MixSource(context, mic.TakeSnapshot(span), mic.SharedWaveFormat(), MicGain(settings));
    SoftClipAll(mix);
    return mix.samples;
  }
  std::optional<PreEncodedClipAudio> Take(int64_t start, double seconds) {
    return live.TakeForClip(start, MixFramesFor(static_cast<int64_t>(seconds * kTicks)), DesktopGain(settings),
                            MicGain(settings), next);
  }
};

TEST(LiveAacMix, AClipFromTheRunningMixSoundsAsTheSaveTimeMixAndJoinsItsTailSeamlessly) {
  LiveRig rig;
  rig.RecordUntil(22 * kTicks);
  // Clip zero between two grid samples and off the encoder's frame grid.
  const int64_t start = 22 * kTicks - 15 * kTicks + 1234;
  const double seconds = 15.0 - 1234.0 / kTicks;
  auto pre = rig.Take(start, seconds);
  ASSERT_TRUE(pre.has_value());
  const int64_t join = static_cast<int64_t>(pre->encodedEnd) - static_cast<int64_t>(pre->clipZero);
  const auto fromLive = FinishClipAudio(std::move(*pre));
  const std::vector<float> mix = rig.SaveTimeMix(start, seconds);
  const size_t frames = mix.size() / 2;
  const auto fromSave = EncodeAacInSlices(mix.data(), frames, 2);

  // Consecutive frames ending where the clip does, priming before zero.
  ASSERT_FALSE(fromLive.empty());
  EXPECT_LT(fromLive.front()->pts, 0);
  EXPECT_GE(fromLive.front()->pts, -2048);
  for (size_t i = 1; i < fromLive.size(); ++i) EXPECT_EQ(fromLive[i]->pts, fromLive[i - 1]->pts + 1024) << i;
  EXPECT_EQ(fromLive.back()->pts + fromLive.back()->duration, static_cast<int64_t>(frames));

  const std::vector<float> live = Decode(fromLive);
  ASSERT_GE(live.size(), mix.size());
  const double savedSnr = SnrDb(mix, Decode(fromSave), 4800, frames - 4800);
  const double liveSnr = SnrDb(mix, live, 4800, frames - 4800);
  EXPECT_GT(liveSnr, 20.0);
  EXPECT_GT(liveSnr, savedSnr - 1.0);
  // The join between the packets encoded while recording and the save's tail.
  ASSERT_GT(join, 8 * 1024);
  ASSERT_LT(join, static_cast<int64_t>(frames) - 1024);
  ExpectSeamless(mix, live, join, liveSnr - 6.0);
  // The clip's last block (what the converters still held at the request).
  EXPECT_GT(SnrDb(mix, live, frames - 1024, frames), liveSnr - 6.0);

  // The running mix goes on through the save without a seam: a later clip
  // over the instant of this save sounds as its own save-time mix there.
  rig.RecordUntil(30 * kTicks);
  const int64_t laterStart = 18 * kTicks;
  auto later = rig.Take(laterStart, 12.0);
  ASSERT_TRUE(later.has_value());
  const std::vector<float> laterMix = rig.SaveTimeMix(laterStart, 12.0);
  ExpectSeamless(laterMix, Decode(FinishClipAudio(std::move(*later))), 4 * kRate, liveSnr - 6.0);  // at 22 s
}

TEST(LiveAacMix, VolumeChangesAndLateAudioStartANewGenerationAndSavesMixThemselvesMeanwhile) {
  LiveRig rig;
  rig.RecordUntil(12 * kTicks);
  ASSERT_TRUE(rig.Take(6 * kTicks, 6.0).has_value());
  EXPECT_EQ(rig.live.Generations(), 1u);

  // A new volume: nothing mixed with the old one serves a clip; from a
  // little after the change on, clips come from the running mix again.
  rig.settings.micVolume = 1.5f;
  rig.RecordUntil(20 * kTicks);
  EXPECT_EQ(rig.live.Generations(), 2u);
  EXPECT_FALSE(rig.Take(10 * kTicks, 8.0).has_value());
  ASSERT_TRUE(rig.Take(15 * kTicks, 5.0).has_value());

  // Audio for time already mixed (a chunk that turns up late).
  rig.Deliver(rig.desktop, rig.desktopFormat, 17 * kTicks);
  rig.RecordUntil(26 * kTicks);
  EXPECT_EQ(rig.live.Generations(), 3u);
  EXPECT_FALSE(rig.Take(18 * kTicks, 6.0).has_value());
  auto resumed = rig.Take(23 * kTicks, 3.0);
  ASSERT_TRUE(resumed.has_value());
  const std::vector<float> mix = rig.SaveTimeMix(23 * kTicks, 3.0);
  const double snr = SnrDb(mix, Decode(FinishClipAudio(std::move(*resumed))), 2400, mix.size() / 2 - 2400);
  EXPECT_GT(snr, 20.0);

  // Gains other than the running mix's (the save read newer settings).
  EXPECT_FALSE(rig.live.TakeForClip(23 * kTicks, 3 * kRate, 0.2f, 0.2f, rig.next).has_value());
}

}  // namespace
}  // namespace ostrel
