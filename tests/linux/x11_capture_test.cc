// The Linux library recording real X11 windows with sound from a real
// PulseAudio server, through its exports.
#include <sys/stat.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <fstream>
#include <regex>

#include "linux/click_player.h"
#include "linux/library_fixture.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// A shell command's standard error and output, merged.
std::string RunCommand(const std::string& command) {
  std::string output;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  char buffer[4096];
  while (size_t n = pipe ? fread(buffer, 1, sizeof buffer, pipe.get()) : 0) output.append(buffer, n);
  return output;
}

class X11CaptureTest : public LibraryTest {
 protected:
  void SetUp() override {
    StartWorld({NullSink("ostrel_test_sink", "Test speakers")}, screenWidth_, screenHeight_);
    ASSERT_TRUE(pulse_->SetDefaultSink("ostrel_test_sink"));
    Ostrel_SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);  // picture only, unless a test says
  }

  // H.264 in the window's size with BT.709 limited-range tags
  // (AVCOL_PRI/TRC/SPC_BT709 = 1, AVCOL_RANGE_MPEG = 1), decoded cleanly.
  static void ExpectCleanH264(const ClipInfo& clip, int width, int height) {
    ASSERT_TRUE(clip.opened);
    ASSERT_TRUE(clip.video.present);
    EXPECT_EQ(clip.video.codec, "h264");
    EXPECT_EQ(clip.video.width, width);
    EXPECT_EQ(clip.video.height, height);
    EXPECT_EQ(clip.video.colorPrimaries, 1);
    EXPECT_EQ(clip.video.colorTransfer, 1);
    EXPECT_EQ(clip.video.colorSpace, 1);
    EXPECT_EQ(clip.video.colorRange, 1);
    EXPECT_EQ(clip.video.decodeErrors, 0);
  }

  // Every frame slot of the clip holds a frame: its rate is the capture's.
  static void ExpectFullRate(const ClipInfo& clip, int fps) {
    const auto& pts = clip.video.framePtsSeconds;
    ASSERT_GE(pts.size(), 2u);
    EXPECT_EQ(clip.video.emptySlots, 0u);
    EXPECT_NEAR(clip.video.frameRate, fps, 0.01);
    const double rate = (pts.size() - 1) / (pts.back() - pts.front());
    EXPECT_NEAR(rate, fps, 0.01);
  }

  // No frame slot of the clip is empty. A sanitizer's encoders may fall
  // behind the rate; then a slot is given up, as the sustainable figure
  // says, and only that many.
  static void ExpectNoEmptySlots(const ClipInfo& clip, int fps, double sustainableFps) {
    if (kInstrumentedBuild) {
      const double slots = std::round(clip.video.durationSeconds * fps);
      const double behind = std::max(0.0, 1.0 - sustainableFps / fps) * slots;
      EXPECT_LE(static_cast<double>(clip.video.emptySlots), std::ceil(behind))
          << "sustainable " << sustainableFps << " fps at " << fps << " fps";
    } else {
      EXPECT_EQ(clip.video.emptySlots, 0u);
    }
  }

  int screenWidth_ = 1280;
  int screenHeight_ = 720;
};

// A screen that holds a window above what the encoders take.
class X11HugeWindowTest : public X11CaptureTest {
 protected:
  X11HugeWindowTest() {
    screenWidth_ = 8192;
    screenHeight_ = 8192;
  }
};

// Flash and click start at the same instant; in the clip the flash may lag
// by up to a frame (it is taken at the next frame slot), never lead.
TEST_F(X11CaptureTest, FlashesAndClicksAgreeInA12SecondClipAt60Fps) {
  if (kInstrumentedBuild) GTEST_SKIP() << "frame timing is measured in optimised builds only";
  const Clock::time_point epoch = Clock::now() + 1500ms;
  TestWindow& window = OpenWindow(640, 360, TestWindow::Content::Animated, epoch);
  ClickPlayer clicks("ostrel_test_sink", epoch, 1s);
  // Desktop audio (the sink's monitor) at full gain, so the clicks stay
  // above the probe's threshold; no microphone.
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 60, 6000000, 12), 0);
  Sleep(15.0);
  ASSERT_FALSE(clicks.Failed());
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 640, 360);
  ASSERT_TRUE(clip.audio.present);
  EXPECT_EQ(clip.audio.decodeErrors, 0);
  EXPECT_GE(clip.durationSeconds, 11.9);
  ExpectFullRate(clip, 60);

  const auto flashes = FlashOnsets(clip.video);
  const auto onsets = ClickOnsets(clip.audio);
  // About twelve marks; a click the player could not place in time on a
  // loaded machine is left out, never misplaced.
  ASSERT_GE(onsets.size(), 8u);
  ASSERT_GE(flashes.size(), onsets.size());
  double low = 1e9, high = -1e9;
  for (double click : onsets) {
    auto nearest = std::min_element(flashes.begin(), flashes.end(), [&](double a, double b) {
      return std::fabs(a - click) < std::fabs(b - click);
    });
    const double offset = *nearest - click;
    low = std::min(low, offset);
    high = std::max(high, offset);
    EXPECT_GE(offset, -0.010) << "click at " << click << " s, flash at " << *nearest << " s";
    EXPECT_LE(offset, 1.0 / 60 + 0.010) << "click at " << click << " s, flash at " << *nearest << " s";
  }
  std::printf("flash - click offsets over %zu marks: %+.1f to %+.1f ms\n", onsets.size(), low * 1000, high * 1000);
}

// Application windows redrawing slower than, as fast as and faster than the
// capture rate: every slot of the clip holds a frame, as many as the clip's
// length in slots.
TEST_F(X11CaptureTest, EverySlotHoldsAFrameWhateverTheWindowsRedrawRate) {
  for (const auto& [fps, redrawHz] : {std::pair{60, 30}, {60, 60}, {60, 2}, {30, 2}, {30, 60}, {30, 45}}) {
    TestWindow& window = OpenWindow(640, 360, TestWindow::Content::Animated, Clock::now(), redrawHz);
    ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, fps, 6000000, 4), 0);
    Sleep(4.5);
    ClipInfo clip = ProbeClip(Save(), /*decode=*/false);
    const double sustainable = Ostrel_GetMeasuredSustainableFps();
    Ostrel_StopCapture();
    const auto shown = static_cast<size_t>(std::count_if(clip.video.framePtsSeconds.begin(),
                                                         clip.video.framePtsSeconds.end(),
                                                         [](double t) { return t > -1e-6; }));
    const double slots = std::round(clip.video.durationSeconds * fps);
    std::printf("[timeline] X11 window redrawing at %d Hz, %d fps: %zu frames of %.0f slots, %llu empty; "
                "sustainable %.1f fps\n",
                redrawHz, fps, shown, slots, static_cast<unsigned long long>(clip.video.emptySlots), sustainable);
    SCOPED_TRACE(std::to_string(redrawHz) + " Hz at " + std::to_string(fps) + " fps");
    ExpectNoEmptySlots(clip, fps, sustainable);
    EXPECT_EQ(static_cast<double>(shown + clip.video.emptySlots), slots);
    EXPECT_NEAR(clip.durationSeconds, 4.0, 1.5 / fps) << redrawHz << " Hz at " << fps << " fps";
  }
}

// A window that never changes delivers one frame; the pacer fills every
// slot, and the clip shows the window's own pixels.
TEST_F(X11CaptureTest, StillWindowGivesAFullRateClipOfItsOwnPixels) {
  TestWindow& window = OpenWindow(640, 360, TestWindow::Content::Still);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 6), 0);
  Sleep(7.0);
  const std::string path = Save();
  ClipInfo clip = ProbeClip(path, /*decode=*/true);
  ExpectCleanH264(clip, 640, 360);
  EXPECT_GE(clip.durationSeconds, 5.9);
  ExpectFullRate(clip, 30);

  // Fidelity: each clip frame against the window's pixels, both as 4:2:0
  // BT.709 limited range (what the clip holds), so only capture and
  // encoding are judged.
  const std::filesystem::path reference = Scratch() / "window.bgr0";
  {
    std::ofstream out(reference, std::ios::binary);
    out.write(reinterpret_cast<const char*>(window.Pattern().data()),
              static_cast<std::streamsize>(window.Pattern().size()));
  }
  auto compare = [&](const std::string& filter, const std::string& pattern) {
    const std::string command =
        "ffmpeg -nostdin -hide_banner -i '" + path + "' -f rawvideo -pix_fmt bgr0 -s 640x360 -i '" +
        reference.string() +
        "' -lavfi '[0:v]format=yuv420p[clip];"
        "[1:v]scale=out_color_matrix=bt709:out_range=tv:flags=bicubic+full_chroma_inp,format=yuv420p[window];"
        "[clip][window]" +
        filter + "' -f null -";
    const std::string output = RunCommand(command);
    std::smatch match;
    EXPECT_TRUE(std::regex_search(output, match, std::regex(pattern))) << command << "\n" << output;
    return match.size() > 1 ? std::stod(match[1]) : 0.0;
  };
  const double ssim = compare("ssim", R"(SSIM .* All:([0-9.]+))");
  const double psnr = compare("psnr", R"(PSNR .* average:([0-9.]+))");
  std::printf("clip against the window: SSIM %.4f, PSNR %.2f dB\n", ssim, psnr);
  EXPECT_GE(psnr, 35.0);
  EXPECT_GE(ssim, 0.95);
}

// A replay past a 1 MB memory limit: the older part goes to unlinked 0600
// files in the folder, and a save reads across the boundary into one clip
// of the whole span; nothing is left open after the stop.
TEST_F(X11CaptureTest, AReplayPastASmallMemoryLimitSpillsAndSavesWhole) {
  TestWindow& window = OpenWindow(640, 360);
  const std::filesystem::path folder = Scratch() / "spill";
  ASSERT_EQ(Ostrel_SetReplayStorage(folder.wstring().c_str(), 1), 0);
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);  // the sink's raw audio spills too
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 60), 0);
  Sleep(9.0);
  size_t spillFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (error || target.rfind(folder.string() + "/ostrel-spill-", 0) != 0) continue;
    ++spillFiles;
    struct stat info {};
    ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_nlink, 0u);  // no name: nothing to leave behind
  }
  EXPECT_GE(spillFiles, 1u);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  EXPECT_EQ(LogCapture::Count(L"[REPLAY-STORAGE] spill writer behind"), 0u);
  wchar_t path[1024] = {};
  ASSERT_EQ(Ostrel_SaveClipSeconds(8, Scratch().wstring().c_str(), path, 1024), 0);
  ClipInfo clip = ProbeClip(Narrow(path), /*decode=*/true);
  ExpectCleanH264(clip, 640, 360);
  EXPECT_NEAR(clip.durationSeconds, 8.0, 1.0 / 30 + 1e-3);
  ExpectFullRate(clip, 30);
  Ostrel_StopCapture();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    EXPECT_NE(std::filesystem::read_symlink(entry.path(), error).string().rfind(folder.string(), 0), 0u);
  }
  Ostrel_SetReplayStorage(nullptr, 0);
}

// The pool keeps the size from the start; a resized window keeps
// delivering (cut or padded) frames and the flashes keep coming.
TEST_F(X11CaptureTest, ResizedWindowKeepsRecording) {
  TestWindow& window = OpenWindow(640, 360);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 0);
  Sleep(2.0);
  window.Resize(800, 450);
  Sleep(2.5);
  window.Resize(480, 270);
  Sleep(3.5);
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 640, 360);
  ExpectFullRate(clip, 30);
  // About one flash a second throughout, before and after both resizes (the
  // smaller window's flash covers about half the frame).
  const auto flashes = FlashOnsets(clip.video, 110.0);
  ASSERT_GE(flashes.size(), 5u);
  EXPECT_GE(flashes.back(), clip.video.framePtsSeconds.back() - 2.0);
  EXPECT_EQ(LogCapture::Count(L"[DIAG-CONTENT-SIZE]"), 0u);  // the X11 pool cuts and pads by itself
}

TEST_F(X11CaptureTest, DestroyedWindowLogsItemClosedAndCaptureGoesOn) {
  TestWindow& window = OpenWindow(320, 240);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 0);
  Sleep(1.0);
  window.Destroy();
  EXPECT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED]", 3s));
  EXPECT_TRUE(Ostrel_IsCapturing());
  Sleep(2.5);
  // The pacer repeats the last picture; a clip can still be saved.
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 320, 240);
}

TEST_F(X11CaptureTest, StartRefusesWhatIsNotAViewableWindow) {
  // Not a window of this server.
  EXPECT_EQ(Ostrel_StartCapture(reinterpret_cast<void*>(uintptr_t{0x7FFFFF}), false, 0, 30, 0, 10), 4);
  EXPECT_EQ(LogCapture::Count(L"Start() failed: invalid target window."), 1u);
  // An unmapped window has no picture: a zero-size item.
  TestWindow& window = OpenWindow(320, 240);
  const std::string unmap = RunCommand("xdotool windowunmap --sync " + std::to_string(window.Xid()));
  EXPECT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 0, 10), 4) << unmap;
  EXPECT_EQ(LogCapture::Count(L"Start() failed: zero-size capture item (minimized target?)."), 1u);
}

// The X server gone mid-capture: the loss is logged with its cause and ends
// the item like a closed window (the pacer holds the last picture); after a
// stop, a start says there is no display.
TEST_F(X11CaptureTest, ALostDisplayIsReportedAsAClosedItemAndTheNextStartSaysWhy) {
  TestWindow& window = OpenWindow(320, 240);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 0);
  Sleep(1.5);
  const std::wstring display(xserver_->Display().begin(), xserver_->Display().end());
  xserver_->Kill();
  EXPECT_TRUE(LogCapture::WaitFor(L"Capture target lost: X display \"" + display +
                                      L"\" lost (xcb error 1: the server closed the connection or the socket "
                                      L"failed) t=",
                                  3s));
  EXPECT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED] ", 3s));
  EXPECT_LT(LogCapture::IndexOf(L"Capture target lost: "), LogCapture::IndexOf(L"[DIAG-ITEM-CLOSED] "));
  EXPECT_TRUE(Ostrel_IsCapturing());
  Sleep(1.0);
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 320, 240);
  Ostrel_StopCapture();
  EXPECT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 4);
  EXPECT_EQ(LogCapture::Count(L"Start() failed: cannot connect to X display \"" + display +
                              L"\" (no X server answers there)."),
            1u);
  EXPECT_EQ(LogCapture::Count(L"[DIAG-ITEM-CLOSED] "), 1u);
}

// Clips go into folders named in any script, in the "C" locale too, and come
// back under the names given.
TEST_F(X11CaptureTest, FoldersNamedInAnyScriptTakeClips) {
  std::setlocale(LC_ALL, "C");
  TestWindow& window = OpenWindow(320, 240);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 0);
  Sleep(2.0);
  const std::string scratch = Scratch().string();
  const std::wstring base(scratch.begin(), scratch.end());
  for (const std::wstring& folder : {base + L"/Vid\u00e9os", base + L"/Vid\u00e9os/\u30d3\u30c7\u30aa \U0001F3AC",
                                     base + L"/\u0412\u0438\u0434\u0435\u043e"}) {
    wchar_t written[1024] = {};
    ASSERT_EQ(Ostrel_SaveClipNow(folder.c_str(), written, 1024), 0);
    const std::wstring path = written;
    EXPECT_EQ(path.rfind(folder + L"/clip_", 0), 0u);
    const std::filesystem::path file(std::u32string(path.begin(), path.end()));
    ASSERT_TRUE(std::filesystem::is_regular_file(file));
    ExpectCleanH264(ProbeClip(file.string(), /*decode=*/true), 320, 240);
  }
}

// Monitor mode records the RandR output's area of the root window; the
// output switched off closes the item, and capture goes on.
TEST_F(X11CaptureTest, MonitorCaptureRecordsTheWholeOutputUntilItIsSwitchedOff) {
  TestWindow& window = OpenWindow(320, 240);
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), true, 0, 30, 6000000, 10), 0);
  Sleep(3.0);
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 1280, 720);
  EXPECT_EQ(LogCapture::Count(L"[DIAG-ITEM-CLOSED]"), 0u);
  ASSERT_TRUE(xserver_->SwitchOffOutputs());
  EXPECT_TRUE(LogCapture::WaitFor(L"[DIAG-ITEM-CLOSED]", 3s));
  EXPECT_TRUE(Ostrel_IsCapturing());
}

// An 8000x8000 window is recorded at its encoded size (3072x3072, the
// frame-area cap) with its own pixels: the dark grey background (or a
// flash's white) in the middle of every frame, and the picture changing. The first frames of such a window may take seconds on a
// loaded machine, so the recording is judged once frames flow.
TEST_F(X11HugeWindowTest, AnEightThousandPixelWindowRecordsAtTheCappedSizeWithItsPixels) {
  TestWindow& window = OpenWindow(8000, 8000, TestWindow::Content::Animated, Clock::now(), 5);
  ASSERT_TRUE(window.Ready());
  ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 6000000, 10), 0);
  EXPECT_TRUE(LogCapture::WaitFor(L"[CAPABILITY] 8000x8000 target encoded at 3072x3072", 5s));
  const auto deadline = Clock::now() + 60s;
  while (Ostrel_GetMeasuredSustainableFps() <= 0.0 && Clock::now() < deadline) Sleep(0.2);
  ASSERT_GT(Ostrel_GetMeasuredSustainableFps(), 0.0) << "no frame of the window within a minute";
  Sleep(4.0);
  ClipInfo clip = ProbeClip(Save(), /*decode=*/true);
  ExpectCleanH264(clip, 3072, 3072);
  ASSERT_GE(clip.video.frameMiddleYuv.size(), 30u);
  ExpectNoEmptySlots(clip, 30, Ostrel_GetMeasuredSustainableFps());
  EXPECT_EQ(LogCapture::Count(L"[DIAG-X11-READ]"), 0u);
  // The background 0x303030 in BT.709 limited range is luma 16 + 48 * 219 /
  // 255 = 57 (the blue bar passing through adds a little), a whole-second
  // flash's white 235.
  size_t grey = 0;
  for (const auto& yuv : clip.video.frameMiddleYuv) {
    const bool isGrey = std::abs(yuv[0] - 57.0) < 12.0;
    EXPECT_TRUE(isGrey || std::abs(yuv[0] - 235.0) < 12.0) << "middle luma " << yuv[0];
    EXPECT_NEAR(yuv[1], 128.0, 12.0);
    grey += isGrey ? 1 : 0;
  }
  EXPECT_GT(grey, 0u);
  const auto [darkest, brightest] =
      std::minmax_element(clip.video.frameMeanLuma.begin(), clip.video.frameMeanLuma.end());
  EXPECT_GT(*brightest - *darkest, 0.05) << "the picture never changed";
}

}  // namespace
}  // namespace ostrel::testing
