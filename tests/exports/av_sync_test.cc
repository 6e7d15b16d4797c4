// Audio-video sync of saved clips, measured from the file: the fake world
// flashes every window white and clicks every render endpoint at the same
// tick-clock instants; in the clip the flash and the click must agree to
// within one frame.
#include <algorithm>
#include <cmath>

#include "exports/export_fixture.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

// The fake world's default endpoints (see the sim's audio world).
const wchar_t* DefaultRenderId() {
  static std::wstring id;
  if (id.empty()) {
    Ostrel_EnumerateAudioDevices(false, [](const wchar_t* endpoint, const wchar_t*, bool isDefault) {
      if (isDefault) id = endpoint;
    });
  }
  return id.c_str();
}

class AvSyncTest : public ExportTest {
 protected:
  void SetUp() override {
    if (kInstrumentedBuild) GTEST_SKIP() << "frame timing is measured in optimised builds only";
    ExportTest::SetUp();
    OstrelSim_SetSyncMarks(1000);
    OstrelSim_SetAudioSignal(DefaultRenderId(), 0, 0, 0);  // silent apart from the clicks
  }

  ClipInfo SaveAndProbe() {
    wchar_t path[1024];
    EXPECT_EQ(Ostrel_SaveClipNow(Scratch().wstring().c_str(), path, 1024), 0);
    std::string narrow(path, path + std::wcslen(path));
    return ProbeClip(narrow, /*decode=*/true);
  }

  // Every click has its flash: video onset - audio onset lies in
  // [-10 ms, one frame + 10 ms]. (Audio a reconnection discarded has no
  // clicks; its flashes are not judged.)
  void ExpectInSync(const ClipInfo& clip, int fps, size_t minimumMarks) {
    ASSERT_TRUE(clip.opened);
    ASSERT_TRUE(clip.video.present);
    ASSERT_TRUE(clip.audio.present);
    auto flashes = FlashOnsets(clip.video);
    auto clicks = ClickOnsets(clip.audio);
    ASSERT_GE(clicks.size(), minimumMarks);
    ASSERT_GE(flashes.size(), clicks.size());
    const double framePeriod = 1.0 / fps;
    for (double click : clicks) {
      auto nearest = std::min_element(flashes.begin(), flashes.end(), [&](double a, double b) {
        return std::fabs(a - click) < std::fabs(b - click);
      });
      double offset = *nearest - click;
      EXPECT_GE(offset, -0.010) << "click at " << click << " s, flash at " << *nearest << " s";
      EXPECT_LE(offset, framePeriod + 0.010) << "click at " << click << " s, flash at " << *nearest << " s";
    }
  }
};

TEST_F(AvSyncTest, ClicksAndFlashesAgreeAt30Fps) {
  StartRecording(360, 30, 8);
  Sleep(7.0);
  ExpectInSync(SaveAndProbe(), 30, 4);
}

TEST_F(AvSyncTest, ClicksAndFlashesAgreeAt60FpsAfterTwiceTheReplayLength) {
  StartRecording(360, 60, 6);
  Sleep(15.0);  // mid-way between rotations: the ring holds the whole replay length
  ClipInfo clip = SaveAndProbe();
  EXPECT_GE(clip.durationSeconds, 5.9);
  EXPECT_LE(clip.durationSeconds, 6.0 + 2.1);
  ExpectInSync(clip, 60, 5);
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
  ExpectInSync(SaveAndProbe(), 30, 6);
}

TEST_F(AvSyncTest, MicrophoneAt44kMonoMixedInKeepsSync) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"sim-mic-44k", L"USB Mic", 44100, 1, 0, false, true));
  OstrelSim_SetAudioSignal(L"sim-mic-44k", 1, 300.0, 0.2);
  StartRecording(360, 30, 8);
  Sleep(9.0);
  ClipInfo clip = SaveAndProbe();
  ExpectInSync(clip, 30, 6);
  EXPECT_EQ(clip.audio.sampleRate, 48000);
  EXPECT_EQ(clip.audio.channels, 2);
}

}  // namespace
}  // namespace ostrel::testing
