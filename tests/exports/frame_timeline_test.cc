// Clips of constant frame rate: every frame slot from a clip's start to its
// end holds a frame (a repeat where the source had none), whatever the
// source's rate against the capture rate and however late its frames come.
// The shared clip check fails any clip off its slot grid or with time stamps
// that do not strictly increase.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

class FrameTimelineTest : public ExportTest {
 protected:
  std::string SaveSeconds(int seconds) {
    wchar_t path[4096];
    const int result = Ostrel_SaveClipSeconds(seconds, Scratch().wstring().c_str(), path, 4096);
    EXPECT_EQ(result, 0);
    return result == 0 ? Narrow(path) : std::string();
  }
};

struct SourceCase {
  const char* name;
  double hz;        // 0: the capture rate
  double jitterMs;  // frames arrive up to this late
};

TEST_F(FrameTimelineTest, EverySlotHoldsAFrameAtAnySourceRateAndJitter) {
  const SourceCase cases[] = {
      {"slower (half the rate)", 0.5, 0.0}, {"a window changing twice a second", 2.0, 0.0},
      {"equal", 0.0, 0.0},                  {"faster (75 Hz)", 75.0, 0.0},
      {"slower, jittery", 0.5, 12.0},       {"equal, jittery", 0.0, 7.0},
  };
  constexpr int kSeconds = 2;
  for (int fps : {30, 60}) {
    void* window = StartRecording(360, fps, kSeconds + 1, 640, 360);
    for (const SourceCase& source : cases) {
      const double hz = source.hz == 0.0 ? fps : source.hz < 1.0 ? fps * source.hz : source.hz;
      OstrelSim_SetWindowContentRate(window, hz);
      OstrelSim_SetFrameDeliveryJitterMs(source.jitterMs);
      Sleep(kSeconds + 0.5);
      const std::string path = SaveSeconds(kSeconds);
      ClipInfo clip = ProbeClip(path, /*decode=*/false);
      const double sustainable = Ostrel_GetMeasuredSustainableFps();
      const double expected = std::round(clip.video.durationSeconds * fps);
      // Frames before the clip's zero (from its first key frame) are decoded
      // but not shown.
      const auto shown = static_cast<unsigned long long>(std::count_if(
          clip.video.framePtsSeconds.begin(), clip.video.framePtsSeconds.end(), [](double t) { return t > -1e-6; }));
      std::printf("[timeline] %d fps, source %s (%.1f Hz, jitter %.0f ms): %llu frames of %.0f slots, %llu empty; "
                  "sustainable %.1f fps\n",
                  fps, source.name, hz, source.jitterMs, shown,
                  expected, static_cast<unsigned long long>(clip.video.emptySlots), sustainable);
      EXPECT_EQ(clip.video.emptySlots, 0u) << fps << " fps, " << source.name;
      // The clip ends with the last frame taken before the request, a few
      // slots early when the encoder is behind on a loaded machine.
      EXPECT_NEAR(clip.video.durationSeconds, kSeconds, 0.1) << fps << " fps, " << source.name;
      EXPECT_EQ(static_cast<double>(shown), expected) << fps << " fps, " << source.name;
      EXPECT_NEAR(clip.video.frameRate, fps, 0.01) << fps << " fps, " << source.name;
    }
    Ostrel_StopCapture();
  }
}

// A window above the encoders' limits: encoded at the capped size, converted
// as each frame is copied, and every slot of its clips holds a frame although
// its encoders take seconds to build (as libx264's do at 4096x2304 on a busy
// machine; here every texture takes 600 ms, so a spare is not ready when its
// rotation is due and a save's cut builds one in place).
TEST_F(FrameTimelineTest, EverySlotOfAHugeWindowsClipHoldsAFrameWhileItsEncodersBuildSlowly) {
  constexpr int kFps = 10;
  void* window = StartRecording(0, kFps, 12, 4608, 2592);
  OstrelSim_SetWindowContentRate(window, 2.0);
  EXPECT_EQ(LogCapture::Count(L"[CAPABILITY] 4608x2592 target encoded at 4096x2304: H.264 encoders take at most "
                              L"4096 pixels on the long side and 4096x2304 pixels a frame; scaled down as each "
                              L"frame is copied"),
            1u);
  OstrelSim_SetTextureCreationDelayMs(600);
  for (int save = 0; save < 2; ++save) {
    Sleep(4.5);
    const std::string path = SaveSeconds(4);
    ClipInfo clip = ProbeClip(path, /*decode=*/true);
    const double expected = std::round(clip.video.durationSeconds * kFps);
    const auto shown = static_cast<double>(std::count_if(clip.video.framePtsSeconds.begin(),
                                                         clip.video.framePtsSeconds.end(),
                                                         [](double t) { return t > -1e-6; }));
    std::printf("[huge] save %d: %.0f frames of %.0f slots, %llu empty, %.2f s\n", save, shown, expected,
                static_cast<unsigned long long>(clip.video.emptySlots), clip.video.durationSeconds);
    EXPECT_EQ(clip.video.width, 4096) << "save " << save;
    EXPECT_EQ(clip.video.height, 2304) << "save " << save;
    EXPECT_EQ(clip.video.emptySlots, 0u) << "save " << save;
    EXPECT_EQ(shown, expected) << "save " << save;
    // It ends with the last frame the encoder took before the request: at
    // 4096x2304 in software on a loaded machine that can be up to two
    // seconds early (every slot up to it holds a frame); the bug this test
    // caught left clips of a single frame.
    // A sanitizer build encodes several times slower still: its clip length
    // says nothing, every slot holding a frame still does.
    EXPECT_LE(clip.video.durationSeconds, 4.05) << "save " << save;
    if (!kInstrumentedBuild) {
      EXPECT_GE(clip.video.durationSeconds, 2.0) << "save " << save;
    }
  }
  OstrelSim_SetTextureCreationDelayMs(0);
  Ostrel_StopCapture();
}

// A window minimised and restored, then a device-loss restart: clips saved
// after each decode cleanly with strictly increasing time stamps on the slot
// grid (the shared clip check), and every slot holds a frame.
TEST_F(FrameTimelineTest, ClipsAfterARestoreAndARestartStayOnTheSlotGrid) {
  for (int fps : {30, 60}) {
    void* window = StartRecording(360, fps, 4, 640, 360);
    Sleep(2.2);
    OstrelSim_SetWindowMinimized(window, true);
    Sleep(1.3);
    OstrelSim_SetWindowMinimized(window, false);
    Sleep(1.0);
    ClipInfo restored = ProbeClip(SaveSeconds(4), /*decode=*/false);
    EXPECT_EQ(restored.video.emptySlots, 0u) << fps << " fps, after the restore";
    EXPECT_NEAR(restored.durationSeconds, 4.0, 0.1) << fps << " fps, after the restore";

    OstrelSim_LoseDevice(0x887A0005);
    ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: GPU device lost", std::chrono::seconds(6), fps == 30 ? 1 : 2));
    OstrelSim_LoseDevice(0);
    ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: capture automatically recovered", std::chrono::seconds(6),
                                    fps == 30 ? 1 : 2));
    Sleep(3.0);
    ClipInfo restarted = ProbeClip(SaveSeconds(2), /*decode=*/false);
    EXPECT_EQ(restarted.video.emptySlots, 0u) << fps << " fps, after the restart";
    EXPECT_NEAR(restarted.durationSeconds, 2.0, 0.1) << fps << " fps, after the restart";
    Ostrel_StopCapture();
  }
}

}  // namespace
}  // namespace ostrel::testing
