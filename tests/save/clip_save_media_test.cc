// Saves with audio and with the re-encoder, checked by decoding the clip.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <numbers>

#include "save/clip_path.h"
#include "save/save_test_hooks.h"
#include "save_rig.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

constexpr double kFramePeriod = 1.0 / 30.0;

// OSTREL_SAVE_QUALITY for one scope; restored (unset) afterwards.
class ScopedQualityVariable {
 public:
  explicit ScopedQualityVariable(const char* value) {
    if (value) setenv("OSTREL_SAVE_QUALITY", value, 1);
    else unsetenv("OSTREL_SAVE_QUALITY");
  }
  ~ScopedQualityVariable() { unsetenv("OSTREL_SAVE_QUALITY"); }
};

// A clicked source: silence with 10 ms bursts at the given seconds from the
// chunk start, cut into 2 s chunks of its format.
void AddClickedChunks(AudioRing& ring, const std::vector<uint8_t>& format, uint32_t rate, int64_t startTicks,
                      int chunks, std::vector<double> clickSeconds) {
  ring.SetWaveFormat(format);
  const uint64_t framesPerChunk = 2ull * rate;
  for (int c = 0; c < chunks; ++c) {
    auto bytes = MakeAudioBytes(format, framesPerChunk, [&](uint64_t frame, int) {
      double t = static_cast<double>(frame + c * framesPerChunk) / rate;
      for (double click : clickSeconds) {
        if (t >= click && t < click + 0.010) return 0.9;
      }
      return 0.0;
    });
    ring.AppendWithCutoff(MakeAudioChunk(std::move(bytes), startTicks + c * 2 * kTicks, 2.0), INT64_MIN);
  }
}

TEST(ClipSaveMedia, ClicksAndFlashesRecordedAtTheSameTickLineUpInTheClip) {
  SaveRig rig(5.0);
  ScratchFolder folder;
  rig.settings.desktopVolume = 1.0f;
  rig.settings.micVolume = 1.0f;
  const int64_t now = TickClock::Now();
  // Three segments from 6.5 s ago; the span starts about 5 s ago, inside the
  // first one, whose start becomes the clip's zero. Flashes 4.0 s and 2.0 s
  // ago (frame 15 of the second and third segments).
  const int64_t zero = now - 65 * kTicks / 10;
  rig.AddSegment(SegmentFromBytes(CachedSegmentBytes(60), zero, 2.0, 60));
  rig.AddSegment(SegmentFromBytes(CachedSegmentBytes(60, 30, 15), zero + 2 * kTicks, 2.0, 60));
  rig.AddSegment(SegmentFromBytes(CachedSegmentBytes(60, 30, 15), zero + 4 * kTicks, 2.0, 60));
  // Desktop audio from 5.8 s ago clicks 4.0 s ago; microphone audio (44.1
  // kHz mono 16-bit) from 4.9 s ago clicks 2.0 s ago.
  AddClickedChunks(rig.desktopRing, WaveFormatBlock(3, 2, 48000, 32), 48000, now - 58 * kTicks / 10, 3, {1.8});
  AddClickedChunks(rig.micRing, WaveFormatBlock(1, 1, 44100, 16), 44100, now - 49 * kTicks / 10, 3, {2.9});

  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
  ClipInfo clip = ProbeClip(Narrow(path), true);
  ASSERT_TRUE(clip.audio.present);
  EXPECT_EQ(clip.audio.codec, "aac");
  EXPECT_EQ(clip.audio.sampleRate, 48000);
  EXPECT_EQ(clip.audio.channels, 2);
  EXPECT_EQ(clip.streamCount, 2);
  std::vector<double> flashes = FlashOnsets(clip.video);
  std::vector<double> clicks = ClickOnsets(clip.audio);
  ASSERT_EQ(flashes.size(), 2u);
  ASSERT_EQ(clicks.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(flashes[i], 2.5 + 2.0 * static_cast<double>(i), 1e-3);
    EXPECT_NEAR(clicks[i], flashes[i], kFramePeriod) << "pair " << i;
  }
}

TEST(ClipSaveMedia, AudioIsMixedFromBothSourcesAndCutAtTheLastVideoFrame) {
  SaveRig rig(6.0);
  ScratchFolder folder;
  const int64_t now = TickClock::Now();
  AddSegmentsEndingAt(rig, 3, now - kTicks);
  // Both sources run on a second past the last video frame.
  const auto desktopFormat = WaveFormatBlock(3, 2, 48000, 32);
  const auto micFormat = WaveFormatBlock(1, 1, 44100, 16);
  rig.desktopRing.SetWaveFormat(desktopFormat);
  rig.micRing.SetWaveFormat(micFormat);
  for (int c = 0; c < 4; ++c) {
    auto tone = [](double hz, uint32_t rate) {
      return [hz, rate](uint64_t f, int) { return 0.3 * std::sin(2 * std::numbers::pi * hz * f / rate); };
    };
    rig.AddDesktop(MakeAudioChunk(MakeAudioBytes(desktopFormat, 96000, tone(440, 48000)), now - (8 - 2 * c) * kTicks, 2.0));
    rig.AddMic(MakeAudioChunk(MakeAudioBytes(micFormat, 88200, tone(660, 44100)), now - (8 - 2 * c) * kTicks, 2.0));
  }
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
  ClipInfo clip = ProbeClip(Narrow(path), true);
  ASSERT_TRUE(clip.audio.present);
  EXPECT_NEAR(static_cast<double>(clip.audio.bitRate), 128000.0, 40000.0);
  // The mix is handed on up to the last video frame's time (5 + 29/30 s).
  const double lastFrame = 4.0 + 59.0 / 30.0;
  const double decoded = static_cast<double>(clip.audio.peak.size()) / 48000.0;
  EXPECT_NEAR(decoded, lastFrame, 0.03);
  EXPECT_TRUE(rig.HasLine(L"Saved clip: ~5s video, ~5s audio -> " + path)) << rig.Dump();
  // 0.3 x 0.6 from each source: the sum stays under the soft-clip knee.
  float peak = 0;
  for (size_t i = 4800; i < clip.audio.peak.size() - 4800; ++i) peak = std::max(peak, clip.audio.peak[i]);
  EXPECT_NEAR(peak, 0.36, 0.05);
  EXPECT_EQ(rig.LinesContaining(L"stage=audio-concat ").size(), 2u);
  EXPECT_EQ(rig.LinesContaining(L"stage=audio-resample ").size(), 2u);
  EXPECT_EQ(rig.LinesContaining(L"stage=audio-floats ").size(), 2u);
  auto released = rig.LinesContaining(L"stage=audio-released ");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_NE(released[0].find(L"snapA=0MB"), std::wstring::npos);
}

TEST(ClipSaveMedia, AMutedSourceIsConvertedButAddsNothing) {
  SaveRig rig(4.0);
  ScratchFolder folder;
  rig.settings.desktopMuted = true;
  const int64_t now = TickClock::Now();
  AddSegmentsEndingAt(rig, 2, now);
  const auto format = WaveFormatBlock(1, 2, 48000, 16);
  rig.desktopRing.SetWaveFormat(format);
  rig.AddDesktop(MakeAudioChunk(
      MakeAudioBytes(format, 4 * 48000, [](uint64_t f, int) { return 0.8 * std::sin(f * 0.05); }), now - 4 * kTicks,
      4.0));
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
  ClipInfo clip = ProbeClip(Narrow(path), true);
  ASSERT_TRUE(clip.audio.present);
  float peak = 0;
  for (float p : clip.audio.peak) peak = std::max(peak, p);
  EXPECT_LT(peak, 0.001f);
  EXPECT_EQ(rig.LinesContaining(L"stage=audio-concat ").size(), 1u);
}

TEST(ClipSaveMedia, OneSegmentNeedingReencodeReencodesTheWholeClip) {
  ScopedQualityVariable unset(nullptr);
  SaveRig rig(6.0);
  ScratchFolder folder;
  const int64_t now = TickClock::Now();
  const int64_t first = AddSegmentsEndingAt(rig, 2, now - kTicks);
  rig.AddSegment(SegmentFromBytes(CachedSegmentBytes(60, 30, 15), first + 4 * kTicks, 2.0, 60, true));
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
  EXPECT_TRUE(rig.HasLine(L"SaveClipNow: two-stage re-encode 3 segment(s) -> 400kbps")) << rig.Dump();
  EXPECT_TRUE(rig.HasLine(L"[DIAG-SAVE-QUALITY] mode=CURRENT (veryfast, VBR, no-B, GOP=2s) @ 400kbps"));
  ClipInfo clip = ProbeClip(Narrow(path), true);
  ASSERT_TRUE(clip.video.present);
  EXPECT_EQ(clip.video.packets.size(), 180u);
  EXPECT_TRUE(clip.video.packets.front().key);
  EXPECT_DOUBLE_EQ(clip.video.packets.front().ptsSeconds, 0.0);
  for (size_t i = 1; i < clip.video.packets.size(); ++i) {
    EXPECT_GT(clip.video.packets[i].dtsSeconds, clip.video.packets[i - 1].dtsSeconds);
    // Fast mode has no B-frames: decode order is presentation order.
    EXPECT_GT(clip.video.packets[i].ptsSeconds, clip.video.packets[i - 1].ptsSeconds);
  }
  EXPECT_EQ(clip.video.colorPrimaries, 1);
  EXPECT_EQ(clip.video.colorSpace, 1);
  // The flash of the last segment keeps its place: 4 s + 15 frames.
  std::vector<double> flashes = FlashOnsets(clip.video);
  ASSERT_EQ(flashes.size(), 1u);
  EXPECT_NEAR(flashes[0], 4.5, 1e-3);
}

TEST(ClipSaveMedia, QualityModeUsesBFramesAndFallsBackTierByTier) {
  ScopedQualityVariable quality("1");
  {
    SaveRig rig(4.0);
    ScratchFolder folder;
    AddSegmentsEndingAt(rig, 2, TickClock::Now(), true);
    std::wstring path;
    ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
    EXPECT_TRUE(rig.HasLine(L"[DIAG-SAVE-QUALITY] mode=QUALITY (veryslow, B=3, GOP=10s, LA-VBR depth=40 +extbrc) @ 400kbps"))
        << rig.Dump();
    ClipInfo clip = ProbeClip(Narrow(path), true);
    EXPECT_EQ(clip.video.packets.size(), 120u);
    EXPECT_EQ(clip.video.framePtsSeconds.size(), 120u);
    bool reordered = false;
    for (size_t i = 1; i < clip.video.packets.size(); ++i) {
      EXPECT_GT(clip.video.packets[i].dtsSeconds, clip.video.packets[i - 1].dtsSeconds);
      reordered |= clip.video.packets[i].ptsSeconds < clip.video.packets[i - 1].ptsSeconds;
    }
    EXPECT_TRUE(reordered);  // B-frames present
  }
  const std::vector<std::pair<int, std::wstring>> refusals{
      {1, L"QUALITY (veryslow, B=3, GOP=10s, +extbrc, no-LA)"},  // tier 2 refused
      {2, L"QUALITY (veryslow, B=3, GOP=10s, preset-only)"},     // tiers 2 and 1 refused
  };
  for (const auto& [refused, description] : refusals) {
    SaveRig rig(4.0);
    ScratchFolder folder;
    AddSegmentsEndingAt(rig, 1, TickClock::Now(), true);
    save_hooks::SaveTestHooks hooks{[refused = refused](save_hooks::FaultPoint point, int attempt) {
                                      return point == save_hooks::FaultPoint::kReencoderOpen && attempt <= refused;
                                    },
                                    nullptr};
    save_hooks::InstallSaveTestHooks(&hooks);
    bool saved = rig.Save(folder.Wide());
    save_hooks::InstallSaveTestHooks(nullptr);
    EXPECT_TRUE(saved) << rig.Dump();
    EXPECT_TRUE(rig.HasLine(L"[DIAG-SAVE-QUALITY] mode=" + description + L" @ 400kbps")) << rig.Dump();
  }
  {
    // All three tiers refused: no fall back to fast mode, which would open.
    SaveRig rig(4.0);
    ScratchFolder folder;
    AddSegmentsEndingAt(rig, 1, TickClock::Now(), true);
    save_hooks::SaveTestHooks hooks{[](save_hooks::FaultPoint point, int attempt) {
                                      return point == save_hooks::FaultPoint::kReencoderOpen && attempt >= 1;
                                    },
                                    nullptr};
    save_hooks::InstallSaveTestHooks(&hooks);
    bool saved = rig.Save(folder.Wide());
    save_hooks::InstallSaveTestHooks(nullptr);
    EXPECT_FALSE(saved);
    EXPECT_TRUE(rig.HasLine(L"SaveClipNow() failed: save-time re-encoder: avcodec_open2 failed")) << rig.Dump();
  }
}

TEST(ClipSaveMedia, FramesCloserThanAnEncoderTickMoveOneTickLater) {
  ScopedQualityVariable unset(nullptr);
  SaveRig rig(4.0);
  ScratchFolder folder;
  // Six frames 10 ms apart (time base 1/1000): at 30 fps several map to the
  // same encoder tick.
  SegmentOptions options;
  options.frameCount = 6;
  options.timeBaseDen = 1000;
  options.ptsStep = 10;
  EncodedSegment segment = MakeSegment(options);
  segment.startTicks = TickClock::Now() - 2 * kTicks;
  segment.needsReencode = true;
  rig.AddSegment(segment);
  // The frames a decoder gets out of the segment (the muxer may mark the
  // last one of such an irregular stream as discarded).
  const std::string segmentFile = (folder.Path() / "segment.mp4").string();
  {
    std::ofstream out(segmentFile, std::ios::binary);
    out.write(reinterpret_cast<const char*>(segment.bytes->data()), static_cast<std::streamsize>(segment.bytes->size()));
  }
  const size_t decodable = ProbeClip(segmentFile, true).video.framePtsSeconds.size();
  ASSERT_GE(decodable, 5u);
  std::wstring path;
  ASSERT_TRUE(rig.Save((folder.Path() / "clips").wstring(), &path)) << rig.Dump();
  ClipInfo clip = ProbeClip(Narrow(path), false);
  ASSERT_EQ(clip.video.packets.size(), decodable);
  for (size_t i = 0; i < decodable; ++i) EXPECT_NEAR(clip.video.packets[i].ptsSeconds, i * kFramePeriod, 1e-3);
}

}  // namespace
}  // namespace ostrel::testing
