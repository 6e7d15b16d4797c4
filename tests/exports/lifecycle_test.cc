// The exported interface as a host sees it: result codes in every state,
// argument clamping, lifecycle lines and the exported symbol set.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

TEST_F(ExportTest, EverySessionBoundExportAnswersEmptyBeforeInitialisation) {
  void *window = OstrelSim_CreateWindow(640, 480);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 0, 0, 0), 6);
  EXPECT_EQ(Ostrel_SaveClipNow(L"/tmp", nullptr, 0), 6);
  EXPECT_EQ(Ostrel_SaveClipSeconds(4, L"/tmp", nullptr, 0), 6);
  EXPECT_FALSE(Ostrel_IsCapturing());
  EXPECT_EQ(Ostrel_GetMeasuredSustainableFps(), 0.0);
  int stage = 7, done = 7, total = 7;
  EXPECT_FALSE(Ostrel_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0);
  Ostrel_SetAudioSettings(2.0f, 2.0f, true, true, nullptr, nullptr);  // ignored, no session to hold it
  Ostrel_SetCaptureBorderEnabled(false);
  Ostrel_StopCapture();
  EXPECT_STREQ(Ostrel_GetAppVersion(), "0.1.1");
  EXPECT_TRUE(Ostrel_HasHardwareEncoder());
  EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST_F(ExportTest, InitialiseAndShutdownTwiceAndAFailedMediaStartupIsRetried) {
  OstrelSim_SetMediaStartupFailure(0x80004005);
  EXPECT_EQ(Ostrel_GlobalInitialize(), 6);
  void *window = OstrelSim_CreateWindow(640, 480);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 0, 0, 0), 6);
  OstrelSim_SetMediaStartupFailure(0);
  EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
  EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
  Ostrel_GlobalShutdown();
  Ostrel_GlobalShutdown();
  EXPECT_FALSE(Ostrel_IsCapturing());
  EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
}

// The host's thread keeps the apartment it had (none here) through a whole
// recording: the library holds the multithreaded apartment for its own
// threads while it is initialised, and every join on its threads is given
// back.
TEST_F(ExportTest, TheHostsThreadNeverJoinsTheApartmentAndTheLibraryHoldsItWhileInitialised) {
  int holds = -1;
  uint64_t joins = 0, unmatched = 0;
  StartRecording(360);
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);
  OstrelSim_GetApartmentCounts(&joins, &unmatched, &holds);
  EXPECT_EQ(holds, 1);
  EXPECT_GE(joins, 4u);  // start-up, the encoder probes and open, the encoder threads
  Sleep(2.5);
  EXPECT_FALSE(ProbeClip(SaveClip(), false).video.packets.empty());
  Ostrel_StopCapture();
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);
  Ostrel_GlobalShutdown();
  OstrelSim_GetApartmentCounts(&joins, &unmatched, &holds);
  EXPECT_EQ(holds, 0);
  EXPECT_EQ(unmatched, 0u);
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);
}

// A machine without Media Foundation (Windows N): the library initialises,
// says why in one line, and has no hardware list.
TEST_F(ExportTest, WithoutMediaFoundationTheLibraryInitialisesAndSaysWhy) {
  OstrelSim_SetMediaStartupFailure(0x8007007E);
  EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
  Ostrel_GlobalShutdown();
  EXPECT_EQ(LogCapture::Count(L"[CAPABILITY] Media Foundation is not installed (0x8007007E) - no hardware encoder "
                              L"list, recording uses the encoders that do without it."),
            1u);
}

// Exports that need no initialisation list on a library thread and report
// on the caller's.
TEST_F(ExportTest, AudioDevicesAreReportedOnTheCallersThread) {
  static std::thread::id reportedOn;
  static int reported = 0;
  reported = 0;
  Ostrel_EnumerateAudioDevices(false, [](const wchar_t *, const wchar_t *, bool) {
    reportedOn = std::this_thread::get_id();
    ++reported;
  });
  EXPECT_GT(reported, 0);
  EXPECT_EQ(reportedOn, std::this_thread::get_id());
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);
}

TEST_F(ExportTest, StartCaptureResultCodes) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  EXPECT_EQ(Ostrel_StartCapture(nullptr, false, 0, 0, 0, 0), 3);
  void *gone = OstrelSim_CreateWindow(640, 480);
  OstrelSim_DestroyWindow(gone);
  EXPECT_EQ(Ostrel_StartCapture(gone, false, 0, 0, 0, 0), 4);
  EXPECT_EQ(LogCapture::Count(L"Start() failed: invalid target window."), 1u);
  void *minimised = OstrelSim_CreateWindow(640, 480);
  OstrelSim_SetWindowMinimized(minimised, true);
  EXPECT_EQ(Ostrel_StartCapture(minimised, false, 0, 0, 0, 0), 4);
  EXPECT_EQ(LogCapture::Count(L"Start() failed: zero-size capture item (minimized target?)."), 1u);

  OstrelSim_SetHardwareEncoderPresent(false);
  void *window = OstrelSim_CreateWindow(640, 480);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 0, 0, 0), 7);
  EXPECT_FALSE(Ostrel_HasHardwareEncoder());
  OstrelSim_SetHardwareEncoderPresent(true);

  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 0, 0, 0), 0);
  EXPECT_TRUE(LogCapture::WaitFor(L"Capture started.", std::chrono::seconds(1)));
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 0, 0, 0), 1);
  EXPECT_TRUE(Ostrel_IsCapturing());
  EXPECT_EQ(LogCapture::Count(L"Start() called while already running"), 0u);  // the export answers first
  EXPECT_EQ(Ostrel_SaveClipNow(nullptr, nullptr, 0), 6);  // null folder: 6 even while capturing
  EXPECT_EQ(Ostrel_SaveClipSeconds(4, nullptr, nullptr, 0), 6);
  Ostrel_StopCapture();
  EXPECT_EQ(Ostrel_SaveClipNow(L"/tmp", nullptr, 0), 2);
  EXPECT_EQ(Ostrel_SaveClipSeconds(4, L"/tmp", nullptr, 0), 2);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow() called while not running"), 0u);
}

TEST_F(ExportTest, StartLogsTheGpuPriorityAndStopLogsOnceOnly) {
  for (const bool honoured : {true, false}) {
    SCOPED_TRACE(honoured);
    LogCapture::Clear();
    OstrelSim_SetGpuPriorityHonoured(honoured);
    StartRecording(0, 30);
    // A refused priority is only reported.
    EXPECT_EQ(LogCapture::Count(honoured ? L"[CAPABILITY] GPU thread priority: requested=7 setResult=0x00000000 actual=7"
                                         : L" actual=0"),
              1u);
    EXPECT_EQ(LogCapture::Count(L"[CAPABILITY] FFmpeg encoder selected: "), 1u);
    EXPECT_TRUE(Ostrel_IsCapturing());
    Ostrel_StopCapture();
    const size_t linesAfterStop = LogCapture::Lines().size();
    EXPECT_EQ(LogCapture::Count(L"Capture stopped."), 1u);
    Ostrel_StopCapture();
    EXPECT_EQ(LogCapture::Lines().size(), linesAfterStop);
  }
  EXPECT_EQ(LogCapture::Count(L"setResult=0x00000000"), 0u);
}

TEST_F(ExportTest, NegativeArgumentsBehaveAsDefaults) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void *window = OstrelSim_CreateWindow(1280, 720);
  ASSERT_EQ(Ostrel_StartCapture(window, false, -1, -60, -5, -9), 0);
  Sleep(4.5);
  const double fps = Ostrel_GetMeasuredSustainableFps();
  EXPECT_GT(fps, 0.0);
  EXPECT_LE(fps, 30.0);
  // The clip shows each default: no downscaling, 30 fps frame times, and a
  // replay length longer than what was recorded (all of it is kept).
  const ClipInfo clip = SaveAndProbe();
  EXPECT_EQ(clip.video.width, 1280);
  EXPECT_EQ(clip.video.height, 720);
  ASSERT_GE(clip.video.packets.size(), 2u);
  double shortest = 1.0;
  for (size_t i = 1; i < clip.video.packets.size(); ++i) {
    shortest = std::min(shortest, clip.video.packets[i].dtsSeconds - clip.video.packets[i - 1].dtsSeconds);
  }
  EXPECT_NEAR(shortest, 1.0 / 30, 1e-3);
  EXPECT_GE(clip.durationSeconds, 3.5);  // both segments: nothing cut at a shorter replay length
}

// Odd windows are recorded at the even size below theirs (1x1 at 2x2); a
// frame rate past any display is capped at 240.
TEST_F(ExportTest, OddWindowsRecordAtEvenSizesAndTheFrameRateIsCapped) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  struct Case {
    int width, height, maxHeight, fps, clipWidth, clipHeight;
  };
  for (const Case &c : {Case{641, 481, 0, 100000, 640, 480}, Case{1, 1, 0, 30, 2, 2}, Case{641, 481, 241, 30, 320, 240}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    void *window = OstrelSim_CreateWindow(c.width, c.height);
    ASSERT_EQ(Ostrel_StartCapture(window, false, c.maxHeight, c.fps, 4000000, 10), 0);
    Sleep(2.6);
    const double fps = Ostrel_GetMeasuredSustainableFps();
    EXPECT_GT(fps, 0.0);
    EXPECT_LE(fps, std::min(c.fps, 240));
    const ClipInfo clip = SaveAndProbe();
    Ostrel_StopCapture();
    EXPECT_EQ(clip.video.width, c.clipWidth);
    EXPECT_EQ(clip.video.height, c.clipHeight);
    OstrelSim_DestroyWindow(window);
  }
  // The cap says so, once, for the one case above it.
  EXPECT_EQ(LogCapture::Count(L"StartCapture: 100000 fps capped at 240 fps (no display refreshes faster)."), 1u);
  EXPECT_EQ(LogCapture::Count(L"fps capped at"), 1u);
}

void SlowCallback(const wchar_t *line) {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  LogCapture::Callback(line);
}

// A host whose callback takes 50 ms a line: each of its own calls returns
// with that call's lines delivered, in order, and recording goes on. (That no
// capture or encoder thread waits for the host is the log queue's own test.)
TEST_F(ExportTest, ASlowLogCallbackGetsTheLinesOfEachCallBeforeItReturns) {
  Ostrel_SetLogCallback(&SlowCallback);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void *window = OstrelSim_CreateWindow(1280, 720);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 360, 60, 2000000, 10), 0);
  EXPECT_EQ(LogCapture::Count(L"Capture started."), 1u);  // already delivered
  Sleep(3.0);
  const std::wstring missing = (Scratch() / "missing" / "x").wstring();
  EXPECT_EQ(Ostrel_SaveClipNow(missing.c_str(), nullptr, 0), 5);
  const long reason = LogCapture::IndexOf(L"SaveClipNow: cannot create ");
  EXPECT_GE(reason, 0);
  EXPECT_GT(LogCapture::IndexOf(L"SaveClipNow() failed: avio_open2 failed for output file"), reason);
  EXPECT_GT(Ostrel_GetMeasuredSustainableFps(), 0.0);
  Ostrel_StopCapture();
  EXPECT_EQ(LogCapture::Count(L"Capture stopped."), 1u);
}

TEST_F(ExportTest, AdapterSelectionFollowsTheWindowsMonitor) {
  const std::wstring kFallback = L"Couldn't find which adapter owns the capture target's monitor - falling back";
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  const int second = OstrelSim_AddAdapter(L"Second GPU", false);
  const int onSecond = OstrelSim_AddMonitor(1280, 720, second);
  const int remote = OstrelSim_AddMonitor(1280, 720, -1);
  void *window = OstrelSim_CreateWindow(640, 360);
  struct Case {
    int monitor, adapter;
    bool warned;
  };
  for (const Case &c : {Case{onSecond, second, false}, Case{0, 0, false}, Case{remote, 0, true}}) {
    SCOPED_TRACE(c.monitor);
    LogCapture::Clear();
    OstrelSim_SetWindowMonitor(window, c.monitor);
    ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 5), 0);
    Ostrel_StopCapture();
    EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), c.adapter);
    EXPECT_EQ(LogCapture::Count(kFallback), c.warned ? 1u : 0u);
  }
  // Only software adapters: no hardware adapter is taken, the device still
  // comes up (on the platform's own choice) and capture runs.
  OstrelSim_SetAdapter(0, nullptr, true);
  OstrelSim_SetAdapter(second, nullptr, true);
  OstrelSim_SetWindowMonitor(window, 0);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 5), 0);
  EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), 0);
  Ostrel_StopCapture();
  // A platform error during the start: its code and message, result 4.
  OstrelSim_SetDeviceCreationFailure(0x887A0004);
  LogCapture::Clear();
  EXPECT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 5), 4);
  EXPECT_EQ(LogCapture::Count(L"Start() failed: 0x887A0004 ("), 1u);
  EXPECT_FALSE(Ostrel_IsCapturing());
}

// The export's own rules around the verifier: a null path is refused before
// anything is read, negative lengths count as 0 (no signature, no room for
// the digest text).
TEST_F(ExportTest, VerifyUpdateArtifactWrapperRefusesNullPathAndNegativeLengths) {
  char hex[65];
  std::memset(hex, '#', sizeof hex);
  const unsigned char signature[64] = {};
  EXPECT_EQ(Ostrel_VerifyUpdateArtifact(nullptr, signature, 64, hex, 65), 3);
  EXPECT_EQ(hex[0], '#');
  const std::filesystem::path file = Scratch() / "update.bin";
  std::fclose(std::fopen(file.c_str(), "w"));
  const std::wstring path = file.wstring();
  EXPECT_EQ(Ostrel_VerifyUpdateArtifact(path.c_str(), signature, -64, hex, -65), 3);
  EXPECT_EQ(hex[0], '#');  // -65 is no room: nothing written
  EXPECT_EQ(Ostrel_VerifyUpdateArtifact(path.c_str(), signature, -64, hex, 65), 3);
  // SHA-256 of nothing, written before the signature is looked at.
  EXPECT_EQ(std::string(hex), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Ostrel_VerifyUpdateArtifact(path.c_str(), signature, 64, nullptr, 0), 4);
}

// What the capture side reports: a long gap between frames, frames of
// another size than the pipeline's, and the target going away.
TEST_F(ExportTest, CaptureDiagnosticsReportGapsSizeChangesAndAClosedTarget) {
  void *window = StartRecording(360, 30, 10, 640, 360);
  Sleep(0.5);
  OstrelSim_SetFrameDeliveryEnabled(false);
  Sleep(0.4);
  OstrelSim_SetFrameDeliveryEnabled(true);
  ASSERT_TRUE(LogCapture::WaitFor(L"[DIAG-ARRIVAL-GAP] ", std::chrono::seconds(2)));
  // A loaded machine may add gaps of its own; the pause is the longest.
  double longest = 0.0;
  for (const std::wstring &gap : LogCapture::Matching(L"[DIAG-ARRIVAL-GAP] ")) {
    EXPECT_NE(gap.find(L"ms since last WGC frame arrival t="), std::wstring::npos);
    EXPECT_GT(std::stod(gap.substr(19)), 100.0);  // only long gaps are reported
    longest = std::max(longest, std::stod(gap.substr(19)));
  }
  EXPECT_GE(longest, 300.0);
  OstrelSim_ResizeWindow(window, 800, 450);
  ASSERT_TRUE(LogCapture::WaitFor(
      L"[DIAG-CONTENT-SIZE] content is 800x450, pipeline stays 640x360; frame pool recreated t=",
      std::chrono::seconds(2)));
  OstrelSim_DestroyWindow(window);
  ASSERT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED] GraphicsCaptureItem.Closed fired mid-session - capture "
                                  L"target became invalid (window closed, or a display/monitor topology change) t=",
                                  std::chrono::seconds(2)));
  EXPECT_EQ(LogCapture::Count(L"[DIAG-ITEM-CLOSED] "), 1u);
}

// A target closed after the capture stopped ends nothing and is not
// reported; the next start records another window as usual.
TEST_F(ExportTest, ATargetClosedAfterTheStopIsNotReported) {
  void *window = StartRecording(360, 30, 10, 640, 360);
  Sleep(1.0);
  Ostrel_StopCapture();
  OstrelSim_DestroyWindow(window);
  Sleep(1.0);
  EXPECT_EQ(LogCapture::Count(L"[DIAG-ITEM-CLOSED]"), 0u);
  void *next = OstrelSim_CreateWindow(640, 360);
  ASSERT_EQ(Ostrel_StartCapture(next, false, 360, 30, 4000000, 10), 0);
  OstrelSim_DestroyWindow(next);
  EXPECT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED] ", std::chrono::seconds(2)));
  EXPECT_EQ(LogCapture::Count(L"[DIAG-ITEM-CLOSED]"), 1u);
}

// A capture session that fails to close is reported and the frame pool is
// closed all the same.
TEST_F(ExportTest, AFailedCloseIsATeardownWarningAndThePoolStillCloses) {
  StartRecording(360, 30, 10, 640, 360);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 1);
  OstrelSim_SetCaptureSessionCloseFailure(0x80004005);
  Ostrel_StopCapture();
  EXPECT_EQ(LogCapture::Count(L"Teardown warning (non-fatal): 0x80004005"), 1u);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
  EXPECT_EQ(LogCapture::Count(L"Capture stopped."), 1u);
}

// What the capture service refuses is logged and recording goes on: a border
// it will not set, and frames whose surface cannot be read.
TEST_F(ExportTest, RefusedBorderAndUnreadableFramesAreLoggedAndRecordingGoesOn) {
  OstrelSim_SetBorderFailure(0x80070005);
  OstrelSim_FailFrameSurfaceAccess(3, 0x887A0005);
  StartRecording(360, 30, 10, 640, 360);
  EXPECT_EQ(LogCapture::Count(L"Couldn't set capture border (0x80070005) - keeping the default."), 1u);
  EXPECT_EQ(OstrelSim_GetBorderRequired(), -1);
  ASSERT_TRUE(LogCapture::WaitFor(L"Frame copy failed: 0x887A0005", std::chrono::seconds(3)));
  Sleep(1.5);
  EXPECT_EQ(LogCapture::Count(L"Frame copy failed: 0x887A0005"), 3u);
  EXPECT_GT(SaveAndProbe().video.packets.size(), 30u);
}

TEST_F(ExportTest, ShutdownWhileCapturingStopsAndSettingsAreLostAcrossIt) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  EXPECT_FALSE(Ostrel_GetSaveProgress(nullptr, nullptr, nullptr));
  Ostrel_SetAudioSettings(0.5f, 0.5f, true, true, nullptr, nullptr);
  void *window = OstrelSim_CreateWindow(640, 480);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 0), 0);
  Sleep(0.3);
  EXPECT_EQ(LogCapture::Count(L"-audio]"), 0u);  // both sources muted: no audio workers
  Ostrel_GlobalShutdown();  // while capturing: stops first
  EXPECT_EQ(LogCapture::Count(L"Capture stopped."), 1u);
  EXPECT_EQ(Ostrel_SaveClipNow(L"/tmp", nullptr, 0), 6);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);  // fresh session: default settings, audio runs
  ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 0, 0), 0);
  EXPECT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: ", std::chrono::seconds(3)));
}

// The dynamic symbols a library defines.
std::set<std::string> DefinedSymbols(const std::string &library) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(("nm -D --defined-only " + library).c_str(), "r"), pclose);
  std::set<std::string> symbols;
  char line[1024];
  while (pipe && fgets(line, sizeof line, pipe.get())) {
    std::string name(line);
    name = name.substr(name.find_last_of(' ') + 1);
    symbols.insert(name.substr(0, name.find_last_not_of('\n') + 1));
  }
  return symbols;
}

const char *const kInterface[] = {
    "Ostrel_GlobalInitialize", "Ostrel_GlobalShutdown", "Ostrel_SetLogCallback", "Ostrel_GetAppVersion",
    "Ostrel_HasHardwareEncoder", "Ostrel_StartCapture", "Ostrel_StopCapture", "Ostrel_IsCapturing",
    "Ostrel_GetMeasuredSustainableFps", "Ostrel_SaveClipNow", "Ostrel_SaveClipSeconds", "Ostrel_GetSaveProgress",
    "Ostrel_SetCaptureBorderEnabled", "Ostrel_SetAudioSettings", "Ostrel_EnumerateAudioDevices",
    "Ostrel_VerifyUpdateArtifact", "Ostrel_SaveClip", "Ostrel_AddMarker", "Ostrel_SetReplayStorage"};

TEST_F(ExportTest, TheLibraryExportsTheInterfaceAndNothingElse) {
  std::set<std::string> symbols = DefinedSymbols(OSTREL_SHARED_LIBRARY_PATH);
  ASSERT_FALSE(symbols.empty());
  for (const std::string &name : symbols) {
    EXPECT_TRUE(name.rfind("Ostrel_", 0) == 0 || name.rfind("OstrelSim_", 0) == 0) << name;
  }
  for (const char *name : kInterface) EXPECT_EQ(symbols.count(name), 1u) << name;
  EXPECT_EQ(symbols.count("OstrelSim_Reset"), 1u);
}

#ifdef OSTREL_LINUX_LIBRARY_PATH
// The real Linux library: the interface alone, no fake-world control.
TEST(LinuxLibraryExports, TheInterfaceAndNothingElse) {
  std::set<std::string> symbols = DefinedSymbols(OSTREL_LINUX_LIBRARY_PATH);
  for (const char *name : kInterface) EXPECT_EQ(symbols.count(name), 1u) << name;
  EXPECT_EQ(symbols.size(), std::size(kInterface));
}
#endif

}  // namespace
}  // namespace ostrel::testing
