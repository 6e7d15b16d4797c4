// The mix encoded while recording against the one a save makes itself: same
// sound, no click or gap where the save's tail joins the running mix's
// packets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "recording/live_mix.h"
#include "save/aac_slices.h"
#include "save/audio_mix.h"
#include "support/aac_signal.h"
#include "support/save_segment_factory.h"

namespace ostrel {
namespace {

using testing::Decode;
using testing::ExpectSeamless;
using testing::MusicLike;
using testing::SnrDb;
constexpr int kRate = testing::kAacTestRate;

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

// A save without source tracks leaves their encoders behind the mix; a later
// clip with them must still hear each source whole across that instant.
TEST(LiveAacMix, SourceTracksLeftBehindByASaveWithoutThemCatchUpWithoutASeam) {
  LiveRig rig;
  rig.RecordUntil(22 * kTicks);
  ASSERT_TRUE(rig.Take(12 * kTicks, 10.0).has_value());
  rig.RecordUntil(30 * kTicks);

  const int64_t start = 18 * kTicks;
  const SourceTrackGains gains = SourceTrackGainsFor(rig.settings);
  auto clip = rig.live.TakeForClip(start, MixFramesFor(12 * kTicks), DesktopGain(rig.settings),
                                   MicGain(rig.settings), rig.next, gains);
  ASSERT_TRUE(clip.has_value());
  ASSERT_EQ(clip->sourceTracks.size(), 2u);
  // The desktop alone, as the save would mix it (tracks are not clipped).
  MixBuffer desktopOnly(MixFramesFor(12 * kTicks));
  SaveMemoryTracker tracker(nullptr, [] { return MemorySample{}; });
  MixContext context{tracker, start, desktopOnly};
  MixSource(context, rig.desktop.TakeSnapshot({start, start + 12 * kTicks}), rig.desktop.SharedWaveFormat(), gains[0]);
  const std::vector<float> track = Decode(FinishClipAudio(std::move(clip->sourceTracks[0])));
  const size_t frames = desktopOnly.samples.size() / 2;
  const double snr = SnrDb(desktopOnly.samples, track, 4800, frames - 4800);
  EXPECT_GT(snr, 20.0);
  ExpectSeamless(desktopOnly.samples, track, 4 * kRate, snr - 6.0);  // at 22 s, where the tracks fell behind
}

}  // namespace
}  // namespace ostrel
