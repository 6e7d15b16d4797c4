// Device-loss watchdog and automatic restart, driven through the exports
// with the fake world's device.
#include <atomic>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

using std::chrono::seconds;
constexpr uint32_t kDeviceRemoved = 0x887A0005;
const std::wstring kLost =
    L"Watchdog: GPU device lost (0x887A0005) - a driver reset (TDR) or a display sleep/resume cycle can cause "
    L"this. Attempting automatic capture restart.";
const std::wstring kRecovered = L"Watchdog: capture automatically recovered after GPU device loss.";
const std::wstring kRestartFailed =
    L"Watchdog: automatic capture restart after GPU device loss failed - manual restart required.";
const std::wstring kCancelled =
    L"Watchdog: automatic capture restart after GPU device loss cancelled - the host started or stopped capture.";
const std::wstring kNoEncoder = L"Watchdog: no hardware H.264 encoder detected anymore";

class WatchdogTest : public ExportTest {
 protected:
  // Loses the device, heals it as soon as the loss is reported (so the
  // restart's new device is healthy) and waits for the outcome line.
  bool LoseAndWaitForRecovery(size_t occurrence) {
    OstrelSim_LoseDevice(kDeviceRemoved);
    bool lost = LogCapture::WaitFor(kLost, seconds(6), occurrence);
    OstrelSim_LoseDevice(0);
    return lost && LogCapture::WaitFor(kRecovered, seconds(5), occurrence);
  }
};

TEST_F(WatchdogTest, StopInTheFirstThreeSecondsChecksNothing) {
  StartRecording(360, 30);
  OstrelSim_LoseDevice(kDeviceRemoved);
  Sleep(1.0);
  Ostrel_StopCapture();
  EXPECT_EQ(LogCapture::Count(L"Watchdog: "), 0u);
}

TEST_F(WatchdogTest, DeviceLossLogsStopsAndRestartsInOrder) {
  StartRecording(360, 30, 4);
  OstrelSim_LoseDevice(kDeviceRemoved);
  ASSERT_TRUE(LogCapture::WaitFor(kLost, seconds(6)));
  auto lostAt = std::chrono::steady_clock::now();
  OstrelSim_LoseDevice(0);
  ASSERT_TRUE(LogCapture::WaitFor(kRecovered, seconds(5)));
  double pause = std::chrono::duration<double>(std::chrono::steady_clock::now() - lostAt).count();
  EXPECT_GE(pause, 0.45);  // the restart pauses 500 ms between stop and start

  const long stopped = LogCapture::IndexOf(L"Capture stopped.", LogCapture::IndexOf(kLost));
  EXPECT_GE(LogCapture::IndexOf(kRecovered, LogCapture::IndexOf(L"Capture started.", stopped)), 0);
  EXPECT_TRUE(Ostrel_IsCapturing());

  // The restart kept the host's replay length (4 s, not the default 60):
  // after 9 s of recording the clip holds 4 s and at most one segment more.
  Sleep(9.0);
  const ClipInfo clip = SaveAndProbe();
  EXPECT_GE(clip.durationSeconds, 3.5);
  EXPECT_LE(clip.durationSeconds, 6.5);
  // The lost device failed frames until the restart: each distinct error is
  // written once per segment, not once per frame.
  EXPECT_LE(LogCapture::Count(L"Encoder thread error: "), 6u);
}

TEST_F(WatchdogTest, TargetClosedBeforeTheRestartFailsIt) {
  void *window = StartRecording(360, 30);
  OstrelSim_LoseDevice(kDeviceRemoved);
  ASSERT_TRUE(LogCapture::WaitFor(kLost, seconds(6)));
  OstrelSim_DestroyWindow(window);
  OstrelSim_LoseDevice(0);
  ASSERT_TRUE(LogCapture::WaitFor(kRestartFailed, seconds(5)));
  EXPECT_EQ(LogCapture::Count(L"Start() failed: invalid target window."), 1u);
  EXPECT_FALSE(Ostrel_IsCapturing());
  size_t lines = LogCapture::Lines().size();
  Sleep(3.5);  // no watchdog runs any more: nothing more is written
  EXPECT_EQ(LogCapture::Count(L"Watchdog: "), 2u);
  EXPECT_EQ(LogCapture::Lines().size(), lines);
}

TEST_F(WatchdogTest, HostStopDuringTheRestartLeavesCaptureStopped) {
  StartRecording(360, 30);
  OstrelSim_LoseDevice(kDeviceRemoved);
  ASSERT_TRUE(LogCapture::WaitFor(kLost, seconds(6)));
  OstrelSim_LoseDevice(0);
  Ostrel_StopCapture();  // the host's word comes after the loss
  Sleep(1.5);
  EXPECT_FALSE(Ostrel_IsCapturing());
  EXPECT_EQ(LogCapture::Count(kRecovered), 0u);
  EXPECT_EQ(LogCapture::Count(kCancelled), 1u);  // the outcome, said once
  EXPECT_EQ(LogCapture::Count(L"Capture started."), 1u);
}

TEST_F(WatchdogTest, ShutdownRightAfterALossWaitsForTheRestart) {
  StartRecording(360, 30);
  OstrelSim_LoseDevice(kDeviceRemoved);
  ASSERT_TRUE(LogCapture::WaitFor(kLost, seconds(6)));
  Ostrel_GlobalShutdown();
  EXPECT_FALSE(Ostrel_IsCapturing());
  EXPECT_EQ(LogCapture::Count(kCancelled) + LogCapture::Count(kRecovered) + LogCapture::Count(kRestartFailed), 1u);
  size_t lines = LogCapture::Lines().size();
  Sleep(1.0);  // nothing of the old session runs any more
  EXPECT_EQ(LogCapture::Lines().size(), lines);
  OstrelSim_LoseDevice(0);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void *window = OstrelSim_CreateWindow(640, 360);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 0), 0);
}

TEST_F(WatchdogTest, ALossDuringASaveNeverBreaksTheSave) {
  StartRecording(720, 30, 60);
  Sleep(5.0);
  std::atomic<int> result{-1};
  std::thread saver([&] { result = Ostrel_SaveClipNow(Scratch().wstring().c_str(), nullptr, 0); });
  OstrelSim_LoseDevice(kDeviceRemoved);
  ASSERT_TRUE(LogCapture::WaitFor(kLost, seconds(6)));
  OstrelSim_LoseDevice(0);
  saver.join();
  // The save holds its snapshots and copies: the restart cannot break it.
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(LogCapture::WaitFor(kRecovered, seconds(5)));
}

// Saves back to back while losses in a row restart capture at another size:
// each loss is recovered, and each save sees one capture's settings whole
// (ThreadSanitizer watches the copy).
TEST_F(WatchdogTest, SavesRacingRestartsAtANewSizeStayWhole) {
  void *window = StartRecording(0, 15, 4, 320, 180);
  Sleep(2.5);
  std::atomic<bool> done{false};
  std::atomic<int> saved{0}, failed{0};
  std::thread saver([&] {
    while (!done.load()) {
      const int result = Ostrel_SaveClipNow(Scratch().wstring().c_str(), nullptr, 0);
      (result == 0 ? saved : failed).fetch_add(1);
      // 2, 5: between stop and start; 8: right after the start, before its first segment.
      EXPECT_TRUE(result == 0 || result == 2 || result == 5 || result == 8) << result;
    }
  });
  for (size_t loss = 1; loss <= 3; ++loss) {
    OstrelSim_ResizeWindow(window, 320 + 64 * static_cast<int>(loss), 180 + 36 * static_cast<int>(loss));
    ASSERT_TRUE(LoseAndWaitForRecovery(loss)) << "loss " << loss;
    Sleep(2.5);
  }
  done.store(true);
  saver.join();
  EXPECT_GT(saved.load(), 3);
  EXPECT_TRUE(Ostrel_IsCapturing());
  EXPECT_EQ(LogCapture::Count(kRestartFailed), 0u);
}

TEST_F(WatchdogTest, EncoderThatComesAndGoesIsReportedOncePerDisappearance) {
  StartRecording(240, 15);
  OstrelSim_SetHardwareEncoderPresent(false);
  ASSERT_TRUE(LogCapture::WaitFor(kNoEncoder, seconds(5)));
  Sleep(3.5);  // still absent at the next check: no second line
  EXPECT_EQ(LogCapture::Count(kNoEncoder), 1u);
  OstrelSim_SetHardwareEncoderPresent(true);
  Sleep(3.5);  // seen again
  OstrelSim_SetHardwareEncoderPresent(false);
  ASSERT_TRUE(LogCapture::WaitFor(kNoEncoder, seconds(5), 2));
  EXPECT_TRUE(Ostrel_IsCapturing());
}

}  // namespace
}  // namespace ostrel::testing
