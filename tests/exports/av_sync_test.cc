// Audio-video sync of saved clips, measured from the file: the fake world
// flashes every window white and clicks every render endpoint at the same
// tick-clock instants; in the clip the flash and the click must agree to
// within one frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

// The fake world's default render (or capture) endpoint.
std::wstring DefaultEndpoint(bool capture) {
  static std::wstring id;
  Ostrel_EnumerateAudioDevices(capture, [](const wchar_t* endpoint, const wchar_t*, bool isDefault) {
    if (isDefault) id = endpoint;
  });
  return id;
}

using SteadyClock = std::chrono::steady_clock;

// Where the loud tone that runs up to `endSeconds` begins: the start of the
// last run of 10 ms windows before it whose peak stays above `threshold`.
double LoudUpToFrom(const AudioStreamInfo& audio, double endSeconds, float threshold) {
  const size_t window = static_cast<size_t>(audio.sampleRate / 100);
  const auto last = static_cast<size_t>(std::max(0.0, (endSeconds - audio.firstSampleSeconds) * audio.sampleRate));
  size_t onset = std::min(last, audio.peak.size());
  for (size_t end = onset; end >= window; end -= window) {
    const float peak = *std::max_element(audio.peak.begin() + static_cast<std::ptrdiff_t>(end - window),
                                         audio.peak.begin() + static_cast<std::ptrdiff_t>(end));
    if (peak <= threshold) break;
    onset = end - window;
  }
  return audio.firstSampleSeconds + static_cast<double>(onset) / audio.sampleRate;
}

class AvSyncTest : public ExportTest {
 protected:
  void SetUp() override {
    if (kInstrumentedBuild) GTEST_SKIP() << "frame timing is measured in optimised builds only";
    ExportTest::SetUp();
    OstrelSim_SetSyncMarks(1000);
    render_ = DefaultEndpoint(false);
    OstrelSim_SetAudioSignal(render_.c_str(), 0, 0, 0);  // silent apart from the clicks
  }

  // Every click has its flash: video onset - audio onset lies in
  // [-half a frame - 2 ms, one frame + 10 ms]. A frame is stamped with the
  // slot nearest its arrival, so on a loaded machine, where the slot grid
  // has drifted from the source's refresh, a flash may show up to half a
  // frame before its click. (Audio a reconnection discarded has no clicks;
  // its flashes are not judged.)
  void ExpectInSync(const ClipInfo& clip, int fps, size_t minimumMarks) {
    auto flashes = FlashOnsets(clip.video);
    auto clicks = ClickOnsets(clip.audio);
    ASSERT_GE(clicks.size(), minimumMarks);
    const double framePeriod = 1.0 / fps;
    // The clip ends at the request: a click in its last frame period may
    // have its flash in the frame at or after the request, which the clip
    // rightly leaves out.
    ASSERT_FALSE(clip.video.packets.empty());
    const double videoEnd = clip.video.packets.back().ptsSeconds + framePeriod;
    std::erase_if(clicks, [&](double click) { return click > videoEnd - framePeriod - 0.010; });
    ASSERT_GE(flashes.size(), clicks.size());
    for (double click : clicks) {
      auto nearest = std::min_element(flashes.begin(), flashes.end(), [&](double a, double b) {
        return std::fabs(a - click) < std::fabs(b - click);
      });
      double offset = *nearest - click;
      EXPECT_GE(offset, -framePeriod / 2 - 0.002) << "click at " << click << " s, flash at " << *nearest << " s";
      EXPECT_LE(offset, framePeriod + 0.010) << "click at " << click << " s, flash at " << *nearest << " s";
    }
  }

  std::wstring render_;
};

// Clips saved while a tone plays on the render endpoint, switched on a
// moment before each request, at several phases of the 2 s segments.
class ExactClipTest : public AvSyncTest {
 protected:
  static constexpr float kQuietTone = 0.05f;  // under everything else: only there to make sound
  static constexpr float kLoudTone = 0.5f;

  void SetUp() override {
    AvSyncTest::SetUp();
    if (IsSkipped()) return;
    OstrelSim_SetAudioSignal(render_.c_str(), 1, 440.0, kQuietTone);
    OstrelSim_SetAudioSignal(DefaultEndpoint(true).c_str(), 1, 880.0, 0.1);
  }

  struct Saved {
    ClipInfo clip;
    double toneLead = 0;  // seconds from switching the tone on to the request
  };

  // Waits until `at` seconds after the capture start less `lead`, switches
  // the loud tone on, and requests the save `lead` later (seconds 0: the
  // whole replay length through Ostrel_SaveClipNow).
  Saved SaveWithToneAt(double at, double lead, int seconds) {
    std::this_thread::sleep_until(started_ + std::chrono::duration_cast<SteadyClock::duration>(
                                                 std::chrono::duration<double>(at - lead)));
    OstrelSim_SetAudioSignal(render_.c_str(), 1, 440.0, kLoudTone);
    const SteadyClock::time_point on = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(lead));
    wchar_t path[1024];
    const SteadyClock::time_point request = SteadyClock::now();
    const int result = seconds == 0 ? Ostrel_SaveClipNow(Scratch().wstring().c_str(), path, 1024)
                                    : Ostrel_SaveClipSeconds(seconds, Scratch().wstring().c_str(), path, 1024);
    OstrelSim_SetAudioSignal(render_.c_str(), 1, 440.0, kQuietTone);
    EXPECT_EQ(result, 0);
    return {result == 0 ? ProbeClip(Narrow(path), /*decode=*/true) : ClipInfo{},
            std::chrono::duration<double>(request - on).count()};
  }

  void Start(int fps, int replaySeconds) {
    StartRecording(360, fps, replaySeconds);
    started_ = SteadyClock::now();
  }

  // The clip is `seconds` long up to the request: duration and frames to
  // within one frame, the first frame shown at 0, audio from the first frame
  // to the end of the last (within one AAC frame), sound from the very
  // start, the tone as long before the end as it was on before the request,
  // and every click with its flash.
  void ExpectExact(const Saved& saved, double seconds, int fps) {
    const ClipInfo& clip = saved.clip;
    ASSERT_TRUE(clip.opened);
    const double period = 1.0 / fps;
    EXPECT_NEAR(clip.durationSeconds, seconds, period + 1e-3);
    std::vector<double> shown;
    for (double pts : clip.video.framePtsSeconds) {
      if (pts >= -1e-6) shown.push_back(pts);
    }
    ASSERT_FALSE(shown.empty());
    EXPECT_NEAR(shown.front(), 0.0, 1e-3);
    // Every frame slot is there once; a slot the capture could not keep up
    // with (a saturated machine) is counted as the gap it leaves.
    double slots = 1;
    for (size_t i = 1; i < shown.size(); ++i) slots += std::max(1.0, std::round((shown[i] - shown[i - 1]) / period));
    EXPECT_NEAR(slots, seconds * fps, 1.0);
    EXPECT_NEAR(shown.back() + period, seconds, period + 1e-3);
    EXPECT_NEAR(clip.audio.firstSampleSeconds, 0.0, 1e-3);
    EXPECT_NEAR(clip.audio.durationSeconds, seconds, 1024.0 / 48000.0);
    // No silent head: sound in every 10 ms of the first half second.
    for (size_t from = 0; from + 480 <= 24000 && from + 480 <= clip.audio.peak.size(); from += 480) {
      EXPECT_GT(*std::max_element(clip.audio.peak.begin() + static_cast<std::ptrdiff_t>(from),
                                  clip.audio.peak.begin() + static_cast<std::ptrdiff_t>(from + 480)),
                0.02f)
          << "silent at " << static_cast<double>(from) / 48000.0 << " s";
    }
    // The tone's onset, measured back from the clip's end (which is the
    // request to within the frame slot it falls in).
    const double end = clip.audio.durationSeconds;
    const double toneFromEnd = end - LoudUpToFrom(clip.audio, end - 0.005, 0.17f);
    EXPECT_NEAR(toneFromEnd, saved.toneLead, 0.05);
    ExpectInSync(clip, fps, static_cast<size_t>(seconds) - 1);
  }

  SteadyClock::time_point started_;
};

TEST_F(ExactClipTest, SaveClipNowHoldsTheReplayLengthUpToTheRequestAtEveryPhase) {
  Start(30, 6);
  // Segments turn over about every 2 s from the first frame: the first
  // request's span starts in the last slot of one (a segment ends as its
  // last frame arrives, a slot before the next one starts); the others fall
  // 1.9, 0.5 and 1.1 s into one.
  for (double at : {8.0, 9.9, 12.5, 15.1}) {
    SCOPED_TRACE(at);
    ExpectExact(SaveWithToneAt(at, 0.5, 0), 6.0, 30);
  }
}

TEST_F(ExactClipTest, SaveClipSecondsHoldsTheSecondsAskedForAt60Fps) {
  Start(60, 10);
  for (double at : {6.2, 9.1}) {
    SCOPED_TRACE(at);
    ExpectExact(SaveWithToneAt(at, 0.3, 4), 4.0, 60);
  }
}

// Device clocks off by 2000 ppm, one fast and one slow: without following
// the packet stamps the audio would be 120 ms off after a minute.
TEST_F(ExactClipTest, DeviceClocksRunningFastOrSlowKeepSyncOverAMinute) {
  OstrelSim_SetAudioClockPpm(render_.c_str(), 2000.0);
  OstrelSim_SetAudioClockPpm(DefaultEndpoint(true).c_str(), -2000.0);
  Start(30, 8);
  ExpectExact(SaveWithToneAt(60.0, 0.4, 0), 8.0, 30);
}

TEST_F(AvSyncTest, StaysInSyncAfterAnAudioReconnection) {
  StartRecording(360, 30, 10);
  Sleep(3.3);
  // A new default render endpoint: the desktop thread reconnects to it.
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"sim-render-2", L"Headphones", 48000, 2, 1, true, true));
  OstrelSim_SetAudioSignal(L"sim-render-2", 0, 0, 0);
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device changed - reconnecting (reconnect #1)...",
                                  std::chrono::seconds(3)));
  Sleep(6.0);
  // About nine marks; the reconnection discards up to 2 s of audio, which
  // can hold three clicks.
  ExpectInSync(SaveAndProbe(true), 30, 6);
}

TEST_F(AvSyncTest, MicrophoneAt44kMonoMixedInKeepsSync) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"sim-mic-44k", L"USB Mic", 44100, 1, 0, false, true));
  OstrelSim_SetAudioSignal(L"sim-mic-44k", 1, 300.0, 0.2);
  StartRecording(360, 30, 8);
  Sleep(9.0);
  ClipInfo clip = SaveAndProbe(true);
  ExpectInSync(clip, 30, 6);
  EXPECT_EQ(clip.audio.sampleRate, 48000);
  EXPECT_EQ(clip.audio.channels, 2);
}

// Desktop audio across a long silence: a loopback whose endpoint plays
// nothing may deliver no packets at all, its device position standing
// still or running on meanwhile. Two tones with silence between them must
// both sit at their true times in the clip.
struct SilenceCase {
  int idleMode;     // OstrelSim_SetLoopbackIdle
  bool keepAlive;   // the silent render stream may open
  double silence;   // seconds between the tones
};

class DesktopSilenceTest : public ExportTest, public ::testing::WithParamInterface<SilenceCase> {
 protected:
  static constexpr float kTone = 0.5f;
  static constexpr float kLoud = 0.17f;  // the tone after the mix's headroom, less a margin

  void SetUp() override {
    if (kInstrumentedBuild) GTEST_SKIP() << "audio timing is measured in optimised builds only";
    ExportTest::SetUp();
    render_ = DefaultEndpoint(false);
    OstrelSim_SetAudioSignal(render_.c_str(), 0, 0, 0);
    OstrelSim_SetAudioSignal(DefaultEndpoint(true).c_str(), 0, 0, 0);
    OstrelSim_SetLoopbackIdle(render_.c_str(), GetParam().idleMode);
    if (!GetParam().keepAlive) OstrelSim_FailAudioCall(render_.c_str(), "GetRenderService", 0x80004005u, -1);
  }

  // Plays the tone for `seconds` from `at` seconds after `start`; the
  // instant it went on.
  SteadyClock::time_point Tone(SteadyClock::time_point start, double at, double seconds) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<SteadyClock::duration>(
                                              std::chrono::duration<double>(at)));
    OstrelSim_SetAudioSignal(render_.c_str(), 1, 440.0, kTone);
    const SteadyClock::time_point on = SteadyClock::now();
    Sleep(seconds);
    OstrelSim_SetAudioSignal(render_.c_str(), 0, 0, 0);
    return on;
  }

  std::wstring render_;
};

TEST_P(DesktopSilenceTest, TonesEitherSideOfTheSilenceKeepTheirTimes) {
  const SilenceCase param = GetParam();
  const double tone = 1.0;
  const int replaySeconds = static_cast<int>(std::ceil(param.silence)) + 6;
  StartRecording(360, 30, replaySeconds);
  const SteadyClock::time_point start = SteadyClock::now();
  const SteadyClock::time_point first = Tone(start, 1.5, tone);
  const SteadyClock::time_point second = Tone(start, 1.5 + tone + param.silence, tone);
  EXPECT_EQ(OstrelSim_RunningRenderStreams(render_.c_str()), param.keepAlive ? 1 : 0);
  Sleep(1.0);
  const SteadyClock::time_point request = SteadyClock::now();
  const ClipInfo clip = SaveAndProbe(true);
  ASSERT_TRUE(clip.opened);
  ASSERT_TRUE(clip.audio.present);
  // The clip ends at the request: each tone's onset lies as far before the
  // end as it went on before the request.
  const double end = clip.audio.firstSampleSeconds + clip.audio.durationSeconds;
  const std::vector<double> onsets = ClickOnsets(clip.audio, kLoud, 0.5);
  ASSERT_EQ(onsets.size(), 2u);
  EXPECT_NEAR(end - onsets[0], std::chrono::duration<double>(request - first).count(), 0.05);
  EXPECT_NEAR(end - onsets[1], std::chrono::duration<double>(request - second).count(), 0.05);
  // Each tone lasts as long as it played, none of it dropped.
  EXPECT_NEAR(LoudUpToFrom(clip.audio, onsets[0] + tone - 0.02, kLoud), onsets[0], 0.03);
  EXPECT_NEAR(LoudUpToFrom(clip.audio, onsets[1] + tone - 0.02, kLoud), onsets[1], 0.03);
  if (!param.keepAlive) {
    EXPECT_GE(LogCapture::Count(
        L"[desktop-audio] silent render stream unavailable: 0x80004005 (Unspecified error) - silences are placed "
        L"by time"), 1u);
  }
  Ostrel_StopCapture();
  EXPECT_EQ(OstrelSim_RunningRenderStreams(render_.c_str()), 0);
}

std::string SilenceCaseName(const ::testing::TestParamInfo<SilenceCase>& param) {
  static constexpr const char* kModes[] = {"SilentPackets", "NothingPositionStands", "NothingPositionRuns"};
  return std::string(kModes[param.param.idleMode]) + (param.param.keepAlive ? "_KeepAlive" : "_NoKeepAlive") + "_" +
         std::to_string(static_cast<int>(param.param.silence)) + "s";
}

// The long silence only for the worst case (no silent render stream, the
// position standing still); the other behaviours over a few seconds.
INSTANTIATE_TEST_SUITE_P(Loopback, DesktopSilenceTest,
                         ::testing::Values(SilenceCase{1, false, 30.0}, SilenceCase{2, false, 3.0},
                                           SilenceCase{1, true, 3.0}, SilenceCase{0, false, 3.0}),
                         SilenceCaseName);


// A system sleep of 12 s while recording: the clip saved right after the
// resume holds the seconds recorded before the sleep, as one timeline with
// no gap where the sleep was, every slot filled and every click with its
// flash on both sides of the sleep.
TEST_F(AvSyncTest, ClipRightAfterASleepHoldsTheSecondsRecordedBeforeIt) {
  StartRecording(360, 30, 6);
  Sleep(4.5);
  OstrelSim_Sleep(12.0, /*loseDevice=*/false, /*invalidateEndpoints=*/false);
  Sleep(1.6);
  ClipInfo clip = SaveAndProbe(true);
  // 4.5 s before the sleep and 1.6 s after it: the 6 s replay length, not
  // the 1.6 s since the resume (a few frames less when the encoder is
  // behind at the request on a loaded machine).
  EXPECT_NEAR(clip.durationSeconds, 6.0, 0.1);
  EXPECT_NEAR(clip.audio.durationSeconds, clip.video.durationSeconds, 1024.0 / 48000 + 1.0 / 30);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectInSync(clip, 30, 5);
  EXPECT_EQ(LogCapture::Count(L"[DIAG-SLEEP] "), 1u);
}

// Waking with the GPU device lost and the audio endpoints invalidated: the
// capture restarts, and the next clip is clean and in sync.
TEST_F(AvSyncTest, SleepWithTheDeviceLostAndEndpointsInvalidatedRestartsInSync) {
  StartRecording(360, 30, 6);
  Sleep(3.0);
  OstrelSim_Sleep(12.0, /*loseDevice=*/true, /*invalidateEndpoints=*/true);
  // The world's device heals once the loss is seen, so the restart's new
  // device is healthy (as a real one created after the resume is).
  ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: GPU device lost (0x887A0005)", std::chrono::seconds(6)));
  OstrelSim_LoseDevice(0);
  ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: capture automatically recovered after GPU device loss.",
                                  std::chrono::seconds(6)));
  Sleep(4.5);
  EXPECT_TRUE(Ostrel_IsCapturing());
  ClipInfo clip = SaveAndProbe(true);
  EXPECT_GE(clip.durationSeconds, 3.0);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectInSync(clip, 30, 3);
}

}  // namespace
}  // namespace ostrel::testing
