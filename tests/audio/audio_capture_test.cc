// The capture threads on the fake world: endpoint choice, waiting,
// reconnection, retries and what the chunks hold.
#include <gtest/gtest.h>

#include <cmath>

#include "audio_test_util.h"
#include "ostrel/ostrel_sim.h"

namespace ostrel::audiotest {
namespace {

using platform::DataFlow;

const std::wstring kDesktopDevice = std::wstring(L"[desktop-audio] device: ") + sim::kDefaultRenderEndpointName;
const std::wstring kMicDevice = std::wstring(L"[mic-audio] device: ") + sim::kDefaultCaptureEndpointName;
const std::wstring kDesktopWaiting = L"[desktop-audio] no default device available - waiting for one to appear...";
const std::wstring kMicFallback =
    L"[mic-audio] configured device unavailable (0x80070490) - falling back to system default";

std::wstring Reconnect(const wchar_t* tag, int count) {
  return std::wstring(L"[") + tag + L"] device changed - reconnecting (reconnect #" + std::to_wstring(count) +
         L")...";
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& fragment) {
  for (const std::wstring& line : lines) {
    if (line.find(fragment) != std::wstring::npos) return true;
  }
  return false;
}

// Runs of frames whose every channel is exactly zero: (first frame, length).
std::vector<std::pair<size_t, size_t>> ZeroRuns(const std::vector<float>& samples, size_t channels,
                                                size_t minLength) {
  std::vector<std::pair<size_t, size_t>> runs;
  const size_t frames = samples.size() / channels;
  size_t start = 0;
  for (size_t f = 0; f <= frames; ++f) {
    bool zero = f < frames;
    for (size_t c = 0; zero && c < channels; ++c) zero = samples[f * channels + c] == 0.0f;
    if (zero) continue;
    if (f - start >= minLength) runs.push_back({start, f - start});
    start = f + 1;
  }
  return runs;
}

using AudioCaptureTest = AudioWorldTest;

TEST_F(AudioCaptureTest, DefaultEndpointsRecordTwoSecondChunks) {
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"", log.Sink());
  ASSERT_TRUE(desktop.WaitForChunks(1));
  ASSERT_TRUE(mic.WaitForChunks(1));
  desktop.Stop();
  mic.Stop();

  EXPECT_EQ(log.Count(kDesktopDevice), 1u);
  EXPECT_EQ(log.Count(kMicDevice), 1u);
  EXPECT_EQ(log.Lines().size(), 2u) << "no fallback, error or reconnection lines";

  for (CaptureRunner* runner : {&desktop, &mic}) {
    const std::vector<uint8_t> format = runner->ring.WaveFormat();
    ASSERT_EQ(format.size(), 40u);  // float stereo extensible: 18 + 22
    EXPECT_EQ(U16At(format, 0), 0xFFFE);
    const std::deque<AudioChunk> chunks = runner->Chunks();
    ASSERT_FALSE(chunks.empty());
    const AudioChunk& chunk = chunks.front();
    ASSERT_NE(chunk.waveFormat, nullptr);
    EXPECT_EQ(*chunk.waveFormat, format);
    // Cut after 2 s of wall time; the packet still in flight at the cut
    // belongs to the next chunk, so the audio itself may be a little shorter.
    EXPECT_GE(chunk.durationSeconds, 2.0 - 0.04);
    EXPECT_LT(chunk.durationSeconds, 3.0);
    ASSERT_TRUE(chunk.bytes);
    EXPECT_EQ(chunk.bytes->size() % 8, 0u);
    // The duration is exactly the audio the chunk holds.
    EXPECT_NEAR(static_cast<double>(chunk.bytes->size() / 8), chunk.durationSeconds * 48000, 0.5);
    EXPECT_EQ(runner->ring.ReconnectCount().load(), 0u);
  }

  // The desktop thread records the 440 Hz render tone, the microphone thread
  // the 880 Hz capture tone: count sign changes of the left channel over the
  // first 1.9 s (the end of a chunk may be padding).
  auto crossings = [](const AudioChunk& chunk) {
    const std::vector<float> s = Floats(chunk);
    int n = 0;
    float peak = 0.0f;
    for (size_t f = 1; f < 48000 * 19 / 10; ++f) {
      n += (s[2 * f] >= 0.0f) != (s[2 * f - 2] >= 0.0f) ? 1 : 0;
      peak = std::max(peak, std::abs(s[2 * f]));
      if (s[2 * f] != s[2 * f + 1]) return -1;
    }
    EXPECT_NEAR(peak, 0.25f, 0.01f);
    return n;
  };
  EXPECT_NEAR(crossings(desktop.Chunks().front()), 2 * 440 * 1.9, 40);
  EXPECT_NEAR(crossings(mic.Chunks().front()), 2 * 880 * 1.9, 40);
}

TEST_F(AudioCaptureTest, StoppingWithinTheFirstTwoSecondsAppendsNothing) {
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  ASSERT_TRUE(log.WaitFor(kDesktopDevice));
  std::this_thread::sleep_for(300ms);
  desktop.Stop();
  EXPECT_EQ(desktop.ring.Size(), 0u);
  EXPECT_EQ(desktop.ring.WaveFormat().size(), 40u);
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(AudioCaptureTest, UnavailableConfiguredEndpointFallsBackOnEveryPass) {
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"{no-such-endpoint}", log.Sink());
  ASSERT_TRUE(log.WaitFor(kMicDevice));
  // A new default makes it reconnect; the configured id is tried first again.
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, true));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB Mic"));
  mic.Stop();
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{kMicFallback, kMicDevice, Reconnect(L"mic-audio", 1),
                                                    kMicFallback, L"[mic-audio] device: USB Mic"}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 1u);
  EXPECT_EQ(mic.ring.WaveFormat().size(), 18u);  // the new endpoint's format
}

TEST_F(AudioCaptureTest, WaitsForAnEndpointToAppear) {
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultRenderEndpointId);
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultCaptureEndpointId);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"{gone}", log.Sink());
  ASSERT_TRUE(log.WaitFor(kDesktopWaiting, 2));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] no default device available - waiting for one to appear...", 2));

  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, true));
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: HDMI Output"));
  desktop.Stop();
  mic.Stop();

  std::vector<std::wstring> desktopLines, micLines;
  for (const std::wstring& line : log.Texts()) {
    (line.starts_with(L"[desktop-audio]") ? desktopLines : micLines).push_back(line);
  }
  ASSERT_GE(desktopLines.size(), 3u);
  EXPECT_EQ(desktopLines.back(), L"[desktop-audio] device: HDMI Output");
  for (size_t i = 0; i + 1 < desktopLines.size(); ++i) EXPECT_EQ(desktopLines[i], kDesktopWaiting);
  // A configured id that is missing, with no endpoint at all: fallback line,
  // then the waiting line, on every pass.
  ASSERT_GE(micLines.size(), 4u);
  for (size_t i = 0; i < micLines.size(); ++i) {
    EXPECT_EQ(micLines[i], i % 2 == 0 ? kMicFallback
                                      : L"[mic-audio] no default device available - waiting for one to appear...");
  }
  EXPECT_EQ(desktop.ring.ReconnectCount().load(), 0u);
}

TEST_F(AudioCaptureTest, DefaultChangeAndRemovalReconnectBothKindsOfThread) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, false));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, false));
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"usb", log.Sink());
  ASSERT_TRUE(log.WaitFor(kDesktopDevice));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB Mic"));

  OstrelSim_SetDefaultAudioEndpoint(false, L"hdmi");
  OstrelSim_SetDefaultAudioEndpoint(true, nullptr);
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: HDMI Output"));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB Mic", 2));
  EXPECT_EQ(log.Count(Reconnect(L"desktop-audio", 1)), 1u);
  EXPECT_EQ(log.Count(Reconnect(L"mic-audio", 1)), 1u);

  // Unplugging the endpoint in use: the next one takes over. (Unplugged
  // while the stream is still being set up, it would be a capture error:
  // give the connection time to start.)
  std::this_thread::sleep_for(250ms);
  OstrelSim_RemoveAudioEndpoint(L"hdmi");
  ASSERT_TRUE(log.WaitFor(kDesktopDevice, 2));
  desktop.Stop();
  mic.Stop();
  EXPECT_EQ(log.Count(Reconnect(L"desktop-audio", 2)), 1u);
  EXPECT_EQ(desktop.ring.ReconnectCount().load(), 2u);
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 1u);
  EXPECT_FALSE(Contains(log.Texts(), L"falling back"));
  EXPECT_FALSE(Contains(log.Texts(), L"capture error"));
}

TEST_F(AudioCaptureTest, FailedPacketCallsReconnect) {
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"", log.Sink());
  ASSERT_TRUE(log.WaitFor(kMicDevice));
  OstrelSim_FailAudioCall(sim::kDefaultCaptureEndpointId, "GetBuffer", 0x88890004u, 1);
  ASSERT_TRUE(log.WaitFor(kMicDevice, 2));
  OstrelSim_FailAudioCall(sim::kDefaultCaptureEndpointId, "GetNextPacketSize", 0x80004005u, 1);
  ASSERT_TRUE(log.WaitFor(kMicDevice, 3));
  mic.Stop();
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{kMicDevice, Reconnect(L"mic-audio", 1), kMicDevice,
                                                    Reconnect(L"mic-audio", 2), kMicDevice}));
}

TEST_F(AudioCaptureTest, ErrorsRetryAfterHalfASecondWithoutCountingReconnects) {
  OstrelSim_FailAudioCall(nullptr, "Initialize", 0x88890008u, 1);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  ASSERT_TRUE(log.WaitFor(kDesktopDevice, 2));
  desktop.Stop();
  const std::vector<LoggedLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].text,
            L"[desktop-audio] capture error: 0x88890008 (The requested audio format is not supported.) - retrying...");
  EXPECT_GE(lines[2].ticks - lines[1].ticks, 4500000);  // slept 500 ms before the retry
  EXPECT_EQ(desktop.ring.ReconnectCount().load(), 0u);
}

TEST_F(AudioCaptureTest, ConfiguredEndpointThatCannotBeOpenedIsRetriedNotReplaced) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", nullptr, 48000, 1, 0, false, false));
  OstrelSim_FailAudioCall(L"usb", "Activate", 0x80070005u, 2);
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"usb", log.Sink());
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: (unknown device)", 3));
  mic.Stop();
  const std::wstring error = L"[mic-audio] capture error: 0x80070005 (Access is denied.) - retrying...";
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"[mic-audio] device: (unknown device)", error,
                                                    L"[mic-audio] device: (unknown device)", error,
                                                    L"[mic-audio] device: (unknown device)"}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 0u);
}

TEST_F(AudioCaptureTest, ThreadWithoutEnumeratorOrListenerEndsQuietly) {
  OstrelSim_FailAudioCall(nullptr, "CreateDeviceEnumerator", 0x80070005u, 1);
  OstrelSim_FailAudioCall(nullptr, "RegisterEndpointNotificationCallback", 0x80004005u, 1);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"", log.Sink());
  for (int i = 0; i < 250 && !(desktop.Finished() && mic.Finished()); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(desktop.Finished());  // ended without the stop flag
  EXPECT_TRUE(mic.Finished());
  const std::vector<std::wstring> lines = log.Texts();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Contains(lines, L"unavailable: 0x80070005 (Access is denied.)"));
  EXPECT_TRUE(Contains(lines, L"unavailable: 0x80004005 (Unspecified error)"));
  EXPECT_EQ(desktop.ring.Size() + mic.ring.Size(), 0u);
}

TEST_F(AudioCaptureTest, GapsAndSilentPacketsBecomeZeros) {
  const std::wstring id = sim::kDefaultCaptureEndpointId;
  OstrelSim_SetAudioSignal(id.c_str(), 1, 997.0, 0.5);
  // Lost frames before the first packet of a connection are not a gap.
  OstrelSim_InjectAudioGap(id.c_str(), 4800);
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"mic-audio", L"", log.Sink());
  ASSERT_TRUE(log.WaitFor(kMicDevice));
  std::this_thread::sleep_for(400ms);
  OstrelSim_InjectAudioGap(id.c_str(), 480);
  std::this_thread::sleep_for(400ms);
  OstrelSim_InjectSilentPackets(id.c_str(), 3);
  ASSERT_TRUE(mic.WaitForChunks(1));
  mic.Stop();

  const AudioChunk chunk = mic.Chunks().front();
  const std::vector<float> samples = Floats(chunk);
  ASSERT_GT(samples.size(), 2u * 48000);
  std::vector<std::pair<size_t, size_t>> runs = ZeroRuns(samples, 2, 8);
  // Padding for packets not yet read at the cut may close the chunk.
  if (!runs.empty() && runs.back().first + runs.back().second == samples.size() / 2) runs.pop_back();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_GT(runs[0].first, 0u);
  EXPECT_EQ(runs[0].second, 480u);   // the gap, where it happened
  EXPECT_EQ(runs[1].second, 1440u);  // three silent packets of 480 frames
  EXPECT_LT(runs[0].first, runs[1].first);
}

TEST_F(AudioCaptureTest, SyncClickLandsAtItsTickInTheChunk) {
  constexpr int kPeriodMs = 500;
  sim::WorldSyncMarks().SetPeriodMs(kPeriodMs);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  ASSERT_TRUE(desktop.WaitForChunks(1));
  desktop.Stop();

  const AudioChunk chunk = desktop.Chunks().front();
  const std::vector<float> samples = Floats(chunk);
  const int64_t period = int64_t{kPeriodMs} * 10000;
  const int64_t mark = (chunk.startTicks + period - 1) / period * period;  // first mark at or after the start
  const double expectedFrame = static_cast<double>(mark - chunk.startTicks) * 48000.0 / 1e7;
  // The chunk may open inside a click that began before it: look for the
  // first rising edge.
  size_t first = 1;
  while (first < samples.size() / 2 && !(samples[2 * first] == 1.0f && samples[2 * first - 2] != 1.0f)) ++first;
  ASSERT_LT(first, samples.size() / 2);
  EXPECT_NEAR(static_cast<double>(first), expectedFrame, 48.0);  // within 1 ms
  // 10 ms of full scale on both channels, then the tone; the next mark one
  // period later.
  for (size_t f = first; f < first + 480; ++f) ASSERT_EQ(samples[2 * f + 1], 1.0f) << f;
  EXPECT_LT(samples[2 * (first + 480)], 0.3f);
  const size_t next = first + 48000 * kPeriodMs / 1000;
  ASSERT_LT(next, samples.size() / 2);
  EXPECT_EQ(samples[2 * next], 1.0f);
  EXPECT_LT(samples[2 * (next - 1)], 0.3f);
}

}  // namespace
}  // namespace ostrel::audiotest

namespace ostrel::audiotest {
namespace {

// Later chunks continue the first one sample for sample: every click of
// every chunk sits at its own tick, so audio never drifts across cuts.
TEST_F(AudioCaptureTest, ChunksAreContiguousAndClicksStayOnTheirTicksAcrossCuts) {
  constexpr int kPeriodMs = 500;
  sim::WorldSyncMarks().SetPeriodMs(kPeriodMs);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"desktop-audio", L"", log.Sink());
  ASSERT_TRUE(desktop.WaitForChunks(3));
  desktop.Stop();
  const std::deque<AudioChunk> chunks = desktop.Chunks();
  ASSERT_GE(chunks.size(), 3u);
  const int64_t period = int64_t{kPeriodMs} * 10000;
  for (size_t c = 0; c < chunks.size(); ++c) {
    const AudioChunk& chunk = chunks[c];
    if (c > 0) {
      EXPECT_NEAR(static_cast<double>(chunk.startTicks), static_cast<double>(chunks[c - 1].EndTicks()), 1.0);
    }
    const std::vector<float> samples = Floats(chunk);
    int64_t mark = (chunk.startTicks + period - 1) / period * period;
    size_t checked = 0;
    for (; mark + sim::SyncMarks::kClickTicks < chunk.EndTicks(); mark += period) {
      const auto frame = static_cast<size_t>((mark - chunk.startTicks) * 48000 / 10000000);
      // Full scale from the mark's frame (one frame of rounding either way).
      ASSERT_LT(frame + 2, samples.size() / 2);
      EXPECT_EQ(samples[2 * (frame + 1)], 1.0f) << "chunk " << c << " frame " << frame;
      if (frame >= 2) {
        EXPECT_LT(samples[2 * (frame - 2)], 0.3f) << "chunk " << c << " frame " << frame;
      }
      ++checked;
    }
    EXPECT_GE(checked, 3u) << "chunk " << c;
  }
}

}  // namespace
}  // namespace ostrel::audiotest
