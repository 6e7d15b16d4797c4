// What a window capture records as the window changes: a resized window
// keeps the clip's size (a larger one cropped, a smaller one padded with
// black), its frame pool is recreated at the new content size, and the
// cursor is switched off on every capture session.
#include <algorithm>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

using WindowContentTest = ExportTest;

// Frames of the clip within [from, to) seconds of its timeline.
std::vector<double> LumaBetween(const VideoStreamInfo& video, double from, double to) {
  std::vector<double> luma;
  for (size_t i = 0; i < video.framePtsSeconds.size() && i < video.frameMeanLuma.size(); ++i) {
    if (video.framePtsSeconds[i] >= from && video.framePtsSeconds[i] < to) luma.push_back(video.frameMeanLuma[i]);
  }
  return luma;
}

TEST_F(WindowContentTest, AResizedWindowIsCroppedOrPaddedAtTheStartSizeWithItsPoolRecreated) {
  OstrelSim_SetSyncMarks(400);  // white flashes show whether live content still arrives
  void* window = StartRecording(0, 30, 20, 640, 360);
  EXPECT_EQ(OstrelSim_GetCursorCaptureEnabled(), 0);
  EXPECT_EQ(OstrelSim_GetFramePoolRecreateCount(), 0);
  Sleep(2.5);
  OstrelSim_ResizeWindow(window, 800, 450);  // larger: the top-left 640x360 is recorded
  EXPECT_TRUE(LogCapture::WaitFor(
      L"[DIAG-CONTENT-SIZE] content is 800x450, pipeline stays 640x360; frame pool recreated t=",
      std::chrono::seconds(2)));
  Sleep(2.5);
  OstrelSim_ResizeWindow(window, 320, 180);  // smaller: a quarter of the picture, black around it
  EXPECT_TRUE(LogCapture::WaitFor(
      L"[DIAG-CONTENT-SIZE] content is 320x180, pipeline stays 640x360; frame pool recreated t=",
      std::chrono::seconds(2)));
  Sleep(2.5);
  EXPECT_EQ(OstrelSim_GetFramePoolRecreateCount(), 2);
  // One line per change, not per frame.
  EXPECT_EQ(LogCapture::Count(L"[DIAG-CONTENT-SIZE] "), 2u);

  ClipInfo clip = SaveAndProbe(/*decode=*/true);
  EXPECT_EQ(clip.video.width, 640);
  EXPECT_EQ(clip.video.height, 360);
  EXPECT_EQ(clip.video.decodeErrors, 0);
  ASSERT_GE(clip.video.framePtsSeconds.size(), kInstrumentedBuild ? 30u : 150u);
  const double end = clip.video.framePtsSeconds.back();

  // While larger: full-white flashes go on (the crop is all window).
  const std::vector<double> larger = LumaBetween(clip.video, end - 4.5, end - 3.0);
  ASSERT_FALSE(larger.empty());
  EXPECT_GT(*std::max_element(larger.begin(), larger.end()), 200.0);
  // While smaller: the flashes go on, but only a quarter of the picture
  // turns white; the rest stays black.
  const std::vector<double> smaller = LumaBetween(clip.video, end - 2.0, end);
  ASSERT_FALSE(smaller.empty());
  const double brightest = *std::max_element(smaller.begin(), smaller.end());
  EXPECT_GT(brightest, 50.0);
  EXPECT_LT(brightest, 130.0);
  // Between flashes three quarters of the picture are black: far darker
  // than the whole scene was.
  EXPECT_LT(*std::min_element(smaller.begin(), smaller.end()),
            0.6 * *std::min_element(larger.begin(), larger.end()));
}

}  // namespace
}  // namespace ostrel::testing
