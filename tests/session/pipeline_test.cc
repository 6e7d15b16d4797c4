// The live video path end to end on the fake world: frame arrival, pacing,
// segment rotation, the spare builder, the stall path and the backoff.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include "ostrel/ostrel_sim.h"
#include "ostrel_session.h"
#include "ffmpeg/ffmpeg_log.h"
#include "support/clip_probe.h"
#include "support/log_lines.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using testing::ClipInfo;
using testing::ProbeClipBytes;

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RouteFfmpegLogTo(LogSink());  // FFmpeg's chatter stays out of the test output
    OstrelSim_Reset();
    OstrelSim_SetAudioSignal(nullptr, 0, 0, 0);
    AudioSettings muted;
    muted.desktopMuted = muted.micMuted = true;  // video only: keeps the machine for the encoder
    session_.SetAudioSettings(muted);
    session_.SetLogSink(log_.Sink());
  }
  void TearDown() override {
    session_.Stop();
    OstrelSim_Reset();
  }

  bool StartOn(void* window, uint32_t maxHeight = 0) {
    return session_.Start(window, false, maxHeight, 30, 3000000, 60);
  }

  size_t Count(const std::wstring& text) { return log_.Count(text); }
  bool WaitFor(const std::wstring& text, std::chrono::milliseconds timeout, size_t count = 1) {
    return log_.WaitFor(text, timeout, count);
  }

  std::deque<EncodedSegment> Segments() { return session_.State().videoRing.TakeSnapshot({INT64_MIN, INT64_MAX}); }

  testing::LogLines log_;  // declared first: the session's threads log into it until it stops
  OstrelSession session_;
};

TEST_F(PipelineTest, SegmentsInTheRingAreCompleteH264Files) {
  void* window = OstrelSim_CreateWindow(1920, 1080);
  auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(StartOn(window, 720));
  std::this_thread::sleep_for(6500ms);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const uint64_t delivered = session_.State().framesDelivered.load();  // before the probes take their time
  auto segments = Segments();
  ASSERT_GE(segments.size(), 2u);
  for (size_t i = 0; i < segments.size(); ++i) {
    const EncodedSegment& segment = segments[i];
    ASSERT_NE(segment.bytes, nullptr);
    EXPECT_NEAR(segment.durationSeconds, 2.0, 0.4);
    EXPECT_LE(segment.frameCount, 62u);  // at most 60 at 30 fps, and a frame of rounding at each end
    EXPECT_GT(segment.startTicks, i > 0 ? segments[i - 1].startTicks : INT64_MIN);
    // Each one a whole H.264 file at the output size, opening on a key frame.
    const ClipInfo clip = ProbeClipBytes(*segment.bytes, false);
    const auto& v = clip.video;
    EXPECT_EQ(std::make_tuple(clip.streamCount, v.codec, v.width, v.height),
              std::make_tuple(1, std::string("h264"), 1280, 720));
    ASSERT_GE(segment.frameCount, 1u);  // empty ones never reach the ring
    ASSERT_EQ(v.packets.size(), segment.frameCount);
    EXPECT_TRUE(v.packets.front().key);
    EXPECT_EQ(v.packets.front().ptsSeconds, 0.0);
  }
  // A 60 Hz source at 30 fps: the rate gate keeps about one arrival in two.
  EXPECT_LE(static_cast<double>(delivered), 30 * elapsed * 1.1);
  EXPECT_GT(session_.GetMeasuredSustainableFps(), 0.0);  // the rate itself is the live video bench's figure
  EXPECT_LE(session_.GetMeasuredSustainableFps(), 30.0);
}

TEST_F(PipelineTest, StillWindowKeepsProducingFullSegmentsFromPacerRepeats) {
  void* window = OstrelSim_CreateWindow(640, 360);
  ASSERT_TRUE(StartOn(window));
  std::this_thread::sleep_for(500ms);
  OstrelSim_SetWindowContentRate(window, 0.0);
  uint64_t simFramesAtStill = OstrelSim_GetDeliveredFrameCount();
  uint64_t deliveredAtStill = session_.State().framesDelivered.load();
  std::this_thread::sleep_for(6500ms);
  EXPECT_LE(OstrelSim_GetDeliveredFrameCount() - simFramesAtStill, 2u);  // the source went quiet
  EXPECT_GE(session_.State().framesDelivered.load() - deliveredAtStill, 100u);  // ~30/s from the pacer
  auto segments = Segments();
  ASSERT_GE(segments.size(), 3u);
  // The segments recorded entirely while still are filled by repeats (a
  // still source alone would give none).
  EXPECT_GE(segments[segments.size() - 1].frameCount, 30u);
  EXPECT_GE(segments[segments.size() - 2].frameCount, 30u);
}

TEST_F(PipelineTest, WindowThatNeverDeliversGivesEmptySegmentsThatAreSkipped) {
  void* window = OstrelSim_CreateWindow(640, 360);
  OstrelSim_SetFrameDeliveryEnabled(false);
  ASSERT_TRUE(StartOn(window));
  ASSERT_TRUE(WaitFor(L"[DIAG-EMPTY-SEGMENT] segment finalized with 0 frames - skipped, not added to ring t=", 7s, 2));
  EXPECT_TRUE(Segments().empty());
  EXPECT_EQ(session_.State().framesDelivered.load(), 0u);
  EXPECT_TRUE(session_.IsCapturing());
}

TEST_F(PipelineTest, StalledGpuCopiesDropFramesRaiseTheTierAndItRecovers) {
  void* window = OstrelSim_CreateWindow(640, 360);
  ASSERT_TRUE(StartOn(window));
  std::this_thread::sleep_for(300ms);
  OstrelSim_SetStagingDelayMs(1000000);  // copies never finish
  ASSERT_TRUE(WaitFor(L"[DIAG-FFMPEG-MAP-STALL-DROP] gave up after 200ms waiting for GPU copy to finish t=", 5s));
  ASSERT_TRUE(WaitFor(L"[DIAG-BACKOFF] dropRate=", 6s));
  EXPECT_GT(session_.State().backoffTier.load(), 0);
  EXPECT_GT(Count(L"[DIAG-WRITE-STAGES] total="), 0u);
  OstrelSim_SetStagingDelayMs(0);
  // Clean cycles step the tier down one at a time.
  ASSERT_TRUE(WaitFor(L" -> 0", 14s)) << "tier never came back to 0";
  EXPECT_EQ(session_.State().backoffTier.load(), 0);
  EXPECT_TRUE(session_.IsCapturing());
}

// Encoder builds create textures only while the capture's pool has none to
// give: before the first rotation gives one encoder's set back. The failures
// are armed right after the start, before the first spare is asked for.
TEST_F(PipelineTest, FailedEncoderBuildsAreLoggedAndRecordingGoesOn) {
  void* window = OstrelSim_CreateWindow(640, 360);
  ASSERT_TRUE(StartOn(window));
  OstrelSim_FailTextureCreation(1, 0x8007000E);
  ASSERT_TRUE(WaitFor(L"[DIAG-SPARE-BUILD-FAIL] 0x8007000E", 4s));
  // No spare for the first rotation: it asks for one at once, frames going
  // on into the running segment, and the segments after it follow.
  std::this_thread::sleep_for(5000ms);
  EXPECT_GE(Segments().size(), 2u);

  // Two cycles' worth of builds fail, spares and synchronous builds alike:
  // the current segment simply grows, and a later rotation succeeds.
  session_.Stop();
  ASSERT_TRUE(StartOn(window));
  OstrelSim_FailTextureCreation(4, 0x887A0005);
  ASSERT_TRUE(WaitFor(L"Encoder thread error: 0x887A0005", 10s));
  const size_t before = Segments().size();
  std::this_thread::sleep_for(7000ms);
  const auto segments = Segments();
  EXPECT_GT(segments.size(), before);
  double longest = 0;
  for (const auto& segment : segments) longest = std::max(longest, segment.durationSeconds);
  EXPECT_GT(longest, 3.0);
}

TEST_F(PipelineTest, StopDuringASlowSpareBuildWaitsForItAndReleasesIt) {
  void* window = OstrelSim_CreateWindow(640, 360);
  // Every build is slow from the start: the first spare build, which begins
  // a quarter of a second after the workers start, takes over a second.
  OstrelSim_SetTextureCreationDelayMs(250);
  ASSERT_TRUE(StartOn(window));
  std::this_thread::sleep_for(700ms);
  auto begin = std::chrono::steady_clock::now();
  session_.Stop();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(Count(L"Capture stopped."), 1u);
  EXPECT_EQ(Count(L"[DIAG-SPARE-BUILD-SLOW] "), 1u);
  EXPECT_EQ(session_.State().spareEncoder, nullptr);
  EXPECT_EQ(session_.State().gpuEncodeContext, nullptr);
  // A new start works at once.
  OstrelSim_SetTextureCreationDelayMs(0);
  EXPECT_TRUE(StartOn(window));
}

// The backoff's cap for a segment makes the encoder thread write at most
// that many frames a second, whatever the capture side hands it.
TEST_F(PipelineTest, TheSegmentsFrameRateCapMakesTheEncoderSkipFrames) {
  void* window = OstrelSim_CreateWindow(640, 360);
  ASSERT_TRUE(StartOn(window));
  auto& state = session_.State();
  state.segmentFpsCap.store(10);  // until the first rotation, 2 s after the start
  std::this_thread::sleep_for(300ms);
  const uint64_t writes = state.writeCalls.load(), handed = state.framesDelivered.load();
  std::this_thread::sleep_for(1000ms);
  const uint64_t written = state.writeCalls.load() - writes;
  EXPECT_GE(written, 5u);
  EXPECT_LE(written, 11u);
  EXPECT_GT(state.framesDelivered.load() - handed, written + 5);  // more came than were written
}

TEST_F(PipelineTest, StopRightAfterARotationFinalizesTheQueuedSegment) {
  void* window = OstrelSim_CreateWindow(1920, 1080);
  ASSERT_TRUE(StartOn(window));
  ASSERT_TRUE(WaitFor(L"Capture started.", 1s));
  // Stop lands around the first rotation several times over; every run ends
  // cleanly whatever the finalize queue holds at that moment.
  for (int run = 0; run < 3; ++run) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1990 + 5 * run));
    session_.Stop();
    EXPECT_TRUE(Segments().empty());  // stopping discards the replay buffer
    EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
    ASSERT_TRUE(StartOn(window));
  }
  EXPECT_EQ(Count(L"Capture stopped."), 3u);
  // Whatever the queue held was finalized or released without an error, and
  // the capture after the last start records again.
  EXPECT_EQ(Count(L"Finalize thread error"), 0u);
  EXPECT_EQ(Count(L"Encoder thread error"), 0u);
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(Segments().empty());
}

}  // namespace
}  // namespace ostrel
