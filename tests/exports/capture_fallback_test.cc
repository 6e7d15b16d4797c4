// The choice of capture source: the window-capture service whenever it can be
// activated, the polling fallback (GDI on Windows) when it cannot, announced
// by one line; and that a recording through the fallback is a real one.
#include <algorithm>
#include <cwchar>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

constexpr wchar_t kFallbackLine[] =
    L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80040154); capturing with GDI";

// Lines that are exactly `text` (LogCapture::Count matches parts of lines).
size_t CountExact(const std::wstring& text) {
  std::vector<std::wstring> lines = LogCapture::Lines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

using CaptureFallbackTest = ExportTest;

TEST_F(CaptureFallbackTest, UnavailableServiceRecordsThroughTheFallbackAndTheServiceIsTakenOnceBack) {
  OstrelSim_SetWindowCaptureAvailable(false);
  OstrelSim_SetSyncMarks(1000);  // a white flash every second shows that live content is copied
  void* window = StartRecording(0, 30, 4, 640, 360);
  EXPECT_EQ(CountExact(kFallbackLine), 1u);
  EXPECT_LT(LogCapture::IndexOf(kFallbackLine), LogCapture::IndexOf(L"Capture started."));
  // The fallback has no border setting, so the session never gets one.
  EXPECT_EQ(OstrelSim_GetBorderRequired(), -1);
  EXPECT_EQ(LogCapture::Count(L"Couldn't set capture border"), 0u);

  Sleep(7.0);
  // Sanitizer builds render and encode several times slower.
  EXPECT_GT(OstrelSim_GetFallbackFrameCount(), kInstrumentedBuild ? 20u : 100u);
  ClipInfo clip = SaveAndProbe(/*decode=*/true);
  EXPECT_EQ(clip.video.width, 640);
  EXPECT_EQ(clip.video.decodeErrors, 0);
  // At least the replay length of video (a loaded machine may drop frames
  // through the backoff), and the flashes in it.
  ASSERT_GE(clip.video.framePtsSeconds.size(), kInstrumentedBuild ? 10u : 60u);
  EXPECT_GE(clip.video.framePtsSeconds.back(), 4.0 - 0.1);
  EXPECT_GE(FlashOnsets(clip.video).size(), kInstrumentedBuild ? 1u : 3u);

  // The fallback's item closes with its window; capture goes on.
  OstrelSim_DestroyWindow(window);
  EXPECT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED] ", std::chrono::seconds(5)));
  EXPECT_TRUE(Ostrel_IsCapturing());
  Ostrel_StopCapture();
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);

  // Available again: the next start takes the service, with no line, and the
  // border applied; the fallback copies nothing more.
  OstrelSim_SetWindowCaptureAvailable(true);
  window = OstrelSim_CreateWindow(640, 360);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 360, 30, 4000000, 60), 0);
  EXPECT_EQ(OstrelSim_GetBorderRequired(), 1);
  const uint64_t fallbackFrames = OstrelSim_GetFallbackFrameCount();
  const uint64_t delivered = OstrelSim_GetDeliveredFrameCount();
  Sleep(1.0);
  EXPECT_EQ(OstrelSim_GetFallbackFrameCount(), fallbackFrames);
  EXPECT_GT(OstrelSim_GetDeliveredFrameCount(), delivered);
  EXPECT_EQ(CountExact(kFallbackLine), 1u);
}

TEST_F(CaptureFallbackTest, FallbackCopiesAtTheCaptureRateWhileTheWindowIsVisible) {
  OstrelSim_SetWindowCaptureAvailable(false);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void* window = OstrelSim_CreateWindow(640, 360);
  OstrelSim_SetWindowContentRate(window, 0.0);  // still: the service would deliver one frame
  ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 10, 2000000, 60), 0);
  Sleep(2.0);
  // About 20 copies at 10 fps, far from the 120 a 60 Hz source would give.
  uint64_t copied = OstrelSim_GetFallbackFrameCount();
  EXPECT_GE(copied, 10u);
  EXPECT_LE(copied, 30u);

  // Minimised: no copies, the pacer repeats, capture goes on.
  OstrelSim_SetWindowMinimized(window, true);
  Sleep(0.3);
  uint64_t minimised = OstrelSim_GetFallbackFrameCount();
  uint64_t delivered = OstrelSim_GetDeliveredFrameCount();
  Sleep(1.0);
  EXPECT_EQ(OstrelSim_GetFallbackFrameCount(), minimised);
  EXPECT_EQ(OstrelSim_GetDeliveredFrameCount(), delivered);
  EXPECT_TRUE(Ostrel_IsCapturing());
  OstrelSim_SetWindowMinimized(window, false);  // restored: copies resume
  Sleep(1.0);
  EXPECT_GT(OstrelSim_GetFallbackFrameCount(), minimised);

  // A minimised window cannot start on the fallback either.
  Ostrel_StopCapture();
  OstrelSim_SetWindowMinimized(window, true);
  LogCapture::Clear();
  EXPECT_NE(Ostrel_StartCapture(window, false, 0, 30, 2000000, 60), 0);
  EXPECT_FALSE(Ostrel_IsCapturing());
  EXPECT_EQ(LogCapture::Count(L"Start() failed: zero-size capture item (minimized target?)."), 1u);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
}

TEST_F(CaptureFallbackTest, AnIncompleteServiceRecordsThroughTheFallbackWithTheCodeThatRuledItOut) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void* window = OstrelSim_CreateWindow(640, 360);
  struct Case {
    const char* call;
    uint32_t status;
    bool captureMonitor;
    const wchar_t* line;
  };
  const Case cases[] = {
      // No item interop (before Windows 10 1903).
      {"CreateItemForWindow", 0x80004002u, false,
       L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80004002); capturing with GDI"},
      {"CreateItemForMonitor", 0x80004002u, true,
       L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80004002); capturing with GDI"},
      // An item the service cannot make for this window.
      {"CreateItemForWindow", 0x80070057u, false,
       L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80070057); capturing with GDI"},
      // No free-threaded frame pool (before 1809); the item made already is let go.
      {"CreateFramePool", 0x80004002u, false,
       L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80004002); capturing with GDI"},
      {"CreateCaptureSession", 0x80004001u, false,
       L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80004001); capturing with GDI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    LogCapture::Clear();
    OstrelSim_FailWindowCaptureCall(c.call, c.status);
    const uint64_t copied = OstrelSim_GetFallbackFrameCount();
    ASSERT_EQ(Ostrel_StartCapture(window, c.captureMonitor, 360, 30, 2000000, 60), 0);
    EXPECT_EQ(CountExact(c.line), 1u);
    EXPECT_EQ(LogCapture::Count(L"[CAPABILITY] Windows.Graphics.Capture unavailable"), 1u);
    EXPECT_EQ(OstrelSim_GetBorderRequired(), -1);  // the fallback's session has no border
    Sleep(0.5);
    EXPECT_GT(OstrelSim_GetFallbackFrameCount(), copied + 5);
    Ostrel_StopCapture();
    // Nothing the service made before it failed is left open.
    EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
    OstrelSim_FailWindowCaptureCall(c.call, 0);
  }

  // A passing fault is no reason to leave the service: the start fails with
  // its code and leaves nothing open.
  for (uint32_t fault : {0x8007000Eu, 0x887A0005u}) {
    SCOPED_TRACE(fault);
    LogCapture::Clear();
    OstrelSim_FailWindowCaptureCall("CreateFramePool", fault);
    EXPECT_EQ(Ostrel_StartCapture(window, false, 360, 30, 2000000, 60), 4);
    EXPECT_EQ(LogCapture::Count(L"[CAPABILITY] Windows.Graphics.Capture unavailable"), 0u);
    EXPECT_EQ(LogCapture::Count(L"Start() failed: 0x" + (fault == 0x8007000Eu ? std::wstring(L"8007000E")
                                                                                 : std::wstring(L"887A0005"))),
              1u);
    EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
  }
  OstrelSim_FailWindowCaptureCall("CreateFramePool", 0);
  // The session made by the service itself is closed when a later step of
  // the start fails (here the encoder's textures).
  OstrelSim_FailTextureCreation(1000, 0x8007000Eu);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 360, 30, 2000000, 60), 4);
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
  OstrelSim_FailTextureCreation(0, 0);
  EXPECT_EQ(Ostrel_StartCapture(window, false, 360, 30, 2000000, 60), 0);
  EXPECT_EQ(OstrelSim_GetBorderRequired(), 1);
}

}  // namespace
}  // namespace ostrel::testing
