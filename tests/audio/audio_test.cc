// The audio subsystem on the fake world: the endpoint list the host shows,
// the endpoint-change listener, and the capture threads (endpoint choice,
// waiting, reconnection, retries, what the chunks hold and their timing).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "audio/audio_capture.h"
#include "audio/audio_devices.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"
#include "support/log_lines.h"

namespace ostrel::audiotest {
namespace {

using namespace std::chrono_literals;
using std::this_thread::sleep_for;
using platform::DataFlow;
using platform::Role;

using testing::LogLines;

// One capture thread, tagged by its flow, with its own ring, window and stop
// flag; stopped and joined when it goes out of scope.
class CaptureRunner {
 public:
  CaptureRunner(DataFlow flow, std::wstring deviceId, LogLines& log) {
    window.MarkStart();
    const wchar_t* tag = flow == DataFlow::Render ? L"desktop-audio" : L"mic-audio";
    thread_ = std::thread(RunAudioCapture, flow, std::ref(ring), std::cref(window), std::cref(stop_), tag,
                          log.Sink(), std::move(deviceId));
  }
  ~CaptureRunner() { Stop(); }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // Chunks are cut every 2 s: allow well over that per chunk on a busy machine.
  bool WaitForChunks(size_t count) const {
    for (int i = 0; i < 250 * static_cast<int>(count + 1) && ring.Size() < count; ++i) sleep_for(20ms);
    return ring.Size() >= count;
  }
  std::deque<AudioChunk> Chunks() const { return ring.TakeSnapshot({INT64_MIN, INT64_MAX}); }

  AudioRing ring;
  ReplayWindow window;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Every test starts and ends in the default world without sync marks.
class AudioWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    sim::ResetSimAudio();
    sim::WorldSyncMarks().SetPeriodMs(0);
  }
};

// Interleaved float samples of a chunk.
std::vector<float> Floats(const AudioChunk& chunk) {
  std::vector<float> out(chunk.bytes ? chunk.bytes->size() / 4 : 0);
  if (!out.empty()) std::memcpy(out.data(), chunk.bytes->data(), out.size() * 4);
  return out;
}

// ---- Endpoint list, change listener ----

using AudioDevicesTest = AudioWorldTest;

struct Entry {
  std::wstring id, name;
  bool isDefault;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> List(bool captureDevices) {
  std::vector<Entry> out;
  EnumerateAudioDevices(captureDevices, [&](const std::wstring& id, const std::wstring& name, bool isDefault) {
    out.push_back({id, name, isDefault});
  });
  return out;
}

TEST_F(AudioDevicesTest, ListShowsReadableActiveEndpointsWithTheDefaultMarked) {
  const Entry speakers{sim::kDefaultRenderEndpointId, sim::kDefaultRenderEndpointName, false};
  const Entry hdmi{L"hdmi", L"HDMI Output", false};
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, false));
  // An endpoint whose id cannot be read is left out; without a readable
  // default nothing is marked; failing list calls list nothing.
  OstrelSim_FailAudioCall(L"hdmi", "GetId", 0x80004005u, 1);
  EXPECT_EQ(List(false), (std::vector<Entry>{{speakers.id, speakers.name, true}}));
  OstrelSim_FailAudioCall(nullptr, "GetDefaultAudioEndpoint", 0x80004005u, 1);
  EXPECT_EQ(List(false), (std::vector<Entry>{speakers, hdmi}));
  OstrelSim_FailAudioCall(nullptr, "EnumAudioEndpoints", 0x80004005u, 1);
  EXPECT_TRUE(List(false).empty());
  OstrelSim_FailAudioCall(nullptr, "CreateDeviceEnumerator", 0x80004005u, 1);
  EXPECT_TRUE(List(false).empty());

  // In order, removed ones left out, the default marked, a missing name shown as such.
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"nameless", nullptr, 44100, 2, 0, false, true));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"usb", L"USB Headset", 48000, 2, 0, false, false));
  OstrelSim_RemoveAudioEndpoint(L"usb");
  EXPECT_EQ(List(false), (std::vector<Entry>{speakers, hdmi, {L"nameless", L"(unknown device)", true}}));
  EXPECT_EQ(List(true), (std::vector<Entry>{{sim::kDefaultCaptureEndpointId, sim::kDefaultCaptureEndpointName, true}}));
}

TEST(AudioDeviceNotifierTest, MarksOwnFlowConsoleDefaultsAndCurrentDeviceEventsOnly) {
  AudioDeviceNotifierPtr notifier(new AudioDeviceNotifier(DataFlow::Capture));
  notifier->OnDeviceRemoved(L"");  // no current device yet: not even an empty id matches
  notifier->SetCurrentDeviceId(L"mic");
  notifier->OnDefaultDeviceChanged(DataFlow::Render, Role::Console, L"x");
  notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Multimedia, L"x");
  notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Communications, L"x");
  notifier->OnDeviceRemoved(L"headset");
  notifier->OnDeviceStateChanged(L"Mic", 4);  // ids compare case-sensitively
  notifier->OnDeviceRemoved(nullptr);
  notifier->OnDeviceAdded(L"mic");
  EXPECT_FALSE(notifier->TakeChanged());

  notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Console, nullptr);  // "no default" counts too
  EXPECT_TRUE(notifier->TakeChanged());
  EXPECT_FALSE(notifier->TakeChanged());  // taking clears it
  notifier->OnDeviceStateChanged(L"mic", platform::kDeviceStateActive);  // even to active
  EXPECT_TRUE(notifier->TakeChanged());
  notifier->OnDeviceRemoved(L"mic");
  EXPECT_TRUE(notifier->TakeChanged());
}

// ---- Capture threads ----

using AudioCaptureTest = AudioWorldTest;

const std::wstring kDesktopDevice = std::wstring(L"[desktop-audio] device: ") + sim::kDefaultRenderEndpointName;
const std::wstring kMicDevice = std::wstring(L"[mic-audio] device: ") + sim::kDefaultCaptureEndpointName;
const std::wstring kMicFallback =
    L"[mic-audio] configured device unavailable (0x80070490) - falling back to system default";

TEST_F(AudioCaptureTest, DefaultEndpointsRecordTheirOwnToneInTwoSecondChunks) {
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  CaptureRunner mic(DataFlow::Capture, L"", log);
  ASSERT_TRUE(desktop.WaitForChunks(1) && mic.WaitForChunks(1));
  desktop.Stop();
  mic.Stop();
  std::vector<std::wstring> lines = log.All();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::wstring>{kDesktopDevice, kMicDevice}));  // no fallback, error or reconnect

  // Desktop audio is the 440 Hz render tone, the microphone the 880 Hz capture tone.
  for (auto [runner, hz] : {std::pair{&desktop, 440}, std::pair{&mic, 880}}) {
    const AudioChunk chunk = runner->Chunks().front();
    ASSERT_TRUE(chunk.waveFormat && chunk.bytes);
    EXPECT_EQ(*chunk.waveFormat, runner->ring.WaveFormat());
    EXPECT_GE(chunk.durationSeconds, 2.0 - 0.04);  // cut after 2 s of wall time
    EXPECT_LT(chunk.durationSeconds, 3.0);
    // Sign changes of the left channel over 1.9 s (the end may be padding).
    const std::vector<float> s = Floats(chunk);
    int crossings = 0;
    for (size_t f = 1; f < 48000 * 19 / 10; ++f) {
      crossings += (s[2 * f] >= 0.0f) != (s[2 * f - 2] >= 0.0f) ? 1 : 0;
      ASSERT_EQ(s[2 * f], s[2 * f + 1]);
    }
    EXPECT_NEAR(crossings, 2 * hz * 1.9, 40);
  }
}

TEST_F(AudioCaptureTest, UnavailableConfiguredEndpointFallsBackOnEveryPass) {
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"{no-such-endpoint}", log);
  ASSERT_TRUE(log.WaitFor(kMicDevice, 5s));
  // A new default makes it reconnect; the configured id is tried first again.
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, true));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB Mic", 5s));
  mic.Stop();
  EXPECT_EQ(log.All(),
            (std::vector<std::wstring>{kMicFallback, kMicDevice,
                                       L"[mic-audio] device changed - reconnecting (reconnect #1)...", kMicFallback,
                                       L"[mic-audio] device: USB Mic"}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 1u);
  EXPECT_EQ(mic.ring.WaveFormat().size(), 18u);  // the new endpoint's own format
}

TEST_F(AudioCaptureTest, WaitsForAnEndpointToAppearAndStoppingWithinTwoSecondsAppendsNothing) {
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultRenderEndpointId);
  const std::wstring waiting = L"[desktop-audio] no default device available - waiting for one to appear...";
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  ASSERT_TRUE(log.WaitFor(waiting, 5s, 2));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, true));
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: HDMI Output", 5s));
  sleep_for(300ms);
  desktop.Stop();
  EXPECT_EQ(desktop.ring.Size(), 0u);
  EXPECT_EQ(log.All().back(), L"[desktop-audio] device: HDMI Output");
  EXPECT_EQ(log.Count(waiting), log.All().size() - 1);
}

TEST_F(AudioCaptureTest, ConfiguredEndpointThatCannotBeOpenedIsRetriedNotReplaced) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", nullptr, 48000, 1, 0, false, false));
  OstrelSim_FailAudioCall(L"usb", "Activate", 0x80070005u, 2);
  LogLines log;
  const auto start = std::chrono::steady_clock::now();
  CaptureRunner mic(DataFlow::Capture, L"usb", log);
  const std::wstring device = L"[mic-audio] device: (unknown device)";
  ASSERT_TRUE(log.WaitFor(device, 5s, 3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);  // slept 500 ms before each retry
  mic.Stop();
  const std::wstring error = L"[mic-audio] capture error: 0x80070005 (Access is denied.) - retrying...";
  EXPECT_EQ(log.All(), (std::vector<std::wstring>{device, error, device, error, device}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 0u);
}

TEST_F(AudioCaptureTest, GapsAndSilentPacketsBecomeZeros) {
  const std::wstring id = sim::kDefaultCaptureEndpointId;
  OstrelSim_SetAudioSignal(id.c_str(), 1, 997.0, 0.5);
  // Lost frames before the first packet of a connection are not a gap.
  OstrelSim_InjectAudioGap(id.c_str(), 4800);
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"", log);
  ASSERT_TRUE(log.WaitFor(kMicDevice, 5s));
  sleep_for(400ms);
  OstrelSim_InjectAudioGap(id.c_str(), 480);
  sleep_for(400ms);
  OstrelSim_InjectSilentPackets(id.c_str(), 3);
  ASSERT_TRUE(mic.WaitForChunks(1));
  mic.Stop();

  const std::vector<float> s = Floats(mic.Chunks().front());
  const size_t frames = s.size() / 2;
  ASSERT_GT(frames, 48000u);
  // Lengths of runs of at least 8 all-zero frames. Padding for packets not yet
  // read at the cut may close the chunk: a run at the end is not counted.
  std::vector<size_t> runs;
  for (size_t f = 0, start = 0; f < frames; ++f) {
    if (s[2 * f] == 0.0f && s[2 * f + 1] == 0.0f) continue;
    if (f - start >= 8) runs.push_back(f - start);
    start = f + 1;
  }
  EXPECT_EQ(runs, (std::vector<size_t>{480, 1440}));  // the gap, then three silent packets of 480 frames
}

// A silent source's chunks share one zero buffer, which the ring's byte
// total counts once; a sounding source's chunks each have their own bytes.
// The silent device runs 2500 ppm fast, so 2 s of wall time hold about 200.5
// of its 480-frame packets and cuts vary by a packet: sharing must not
// depend on cuts landing alike. It changes no chunk's timing either: the
// chunks stay contiguous and each lasts as long as its frames.
TEST_F(AudioCaptureTest, ASilentSourcesChunksShareOneZeroBufferCountedOnce) {
  OstrelSim_SetAudioSignal(sim::kDefaultRenderEndpointId, 0, 0.0, 0.0);
  OstrelSim_SetAudioClockPpm(sim::kDefaultRenderEndpointId, 2500.0);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  CaptureRunner mic(DataFlow::Capture, L"", log);
  ASSERT_TRUE(desktop.WaitForChunks(4) && mic.WaitForChunks(3));
  desktop.Stop();
  mic.Stop();

  for (CaptureRunner* runner : {&desktop, &mic}) {
    const bool silent = runner == &desktop;
    SCOPED_TRACE(silent ? "desktop" : "mic");
    const std::deque<AudioChunk> chunks = runner->Chunks();
    std::set<const std::vector<uint8_t>*> buffers;
    uint64_t distinctBytes = 0, chunkBytes = 0;
    size_t sharedWithPrevious = 0;
    for (size_t c = 0; c < chunks.size(); ++c) {
      const AudioChunk& chunk = chunks[c];
      ASSERT_TRUE(chunk.bytes);
      const std::vector<float> s = Floats(chunk);
      EXPECT_EQ(std::all_of(s.begin(), s.end(), [](float x) { return x == 0.0f; }), silent) << c;
      if (c > 0) {
        EXPECT_NEAR(double(chunk.startTicks), double(chunks[c - 1].EndTicks()), 1.0) << c;
        // (The first chunk is where the device clock learns the rate; a
        // chunk ending a packet early or late would be 240 Hz off.)
        EXPECT_NEAR(static_cast<double>(s.size() / 2) / chunk.durationSeconds, silent ? 48120.0 : 48000.0, 30.0)
            << c;
        sharedWithPrevious += chunk.bytes == chunks[c - 1].bytes ? 1 : 0;
      }
      if (buffers.insert(chunk.bytes.get()).second) distinctBytes += chunk.bytes->size();
      chunkBytes += chunk.bytes->size();
    }
    EXPECT_EQ(runner->ring.TotalBytes(), distinctBytes);
    EXPECT_EQ(SnapshotBytes(chunks), distinctBytes);
    if (silent) {
      // (Exactly when a new zero buffer comes is SilenceSharer's own test; a
      // stalled machine may cost one or two here.)
      EXPECT_GE(sharedWithPrevious, 1u) << "distinct buffers: " << buffers.size();
      EXPECT_LT(distinctBytes, chunkBytes);
    } else {
      EXPECT_EQ(buffers.size(), chunks.size());
    }
  }
}

// Every click of a chunk lies within a millisecond of where the chunk's own
// timing (its start and its frames per second) puts its mark, for the marks
// whose click and search window (+-5 ms) lie wholly inside the chunk.
void ExpectClicksOnTheirMarks(const AudioChunk& chunk, int64_t period) {
  const std::vector<float> samples = Floats(chunk);
  const long frames = static_cast<long>(samples.size() / 2);
  for (int64_t mark = (chunk.startTicks + 100000 + period - 1) / period * period; mark + 200000 < chunk.EndTicks();
       mark += period) {
    const long expected =
        static_cast<long>(static_cast<double>(mark - chunk.startTicks) / 1e7 * frames / chunk.durationSeconds);
    long edge = std::max(1L, expected - 240);
    while (edge < std::min(frames, expected + 240) && !(samples[2 * edge] == 1.0f && samples[2 * edge - 2] != 1.0f)) {
      ++edge;
    }
    EXPECT_NEAR(edge, expected, 48) << "mark at frame " << expected;
  }
}

TEST_F(AudioCaptureTest, ASaveCutHandsOverThePartialChunkAndAFastDeviceKeepsItsClicksOnTheirTicks) {
  sim::WorldSyncMarks().SetPeriodMs(500);
  OstrelSim_SetAudioClockPpm(sim::kDefaultRenderEndpointId, 2000.0);  // 96 frames a second too many
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  ASSERT_TRUE(desktop.WaitForChunks(1));
  sleep_for(700ms);
  const int64_t request = TickClock::Now();
  const uint64_t cut = desktop.ring.RequestCut(request);
  ASSERT_NE(cut, 0u);
  ASSERT_TRUE(desktop.ring.WaitCut(cut, std::chrono::steady_clock::now() + 1s));
  std::deque<AudioChunk> chunks = desktop.Chunks();
  ASSERT_GE(chunks.size(), 2u);
  // The cut chunk ends on the request, to within a frame.
  EXPECT_NEAR(double(chunks.back().EndTicks()), double(request), 1e7 / 48000 + 1);
  ASSERT_TRUE(desktop.WaitForChunks(chunks.size() + 1));
  desktop.Stop();
  chunks = desktop.Chunks();
  for (size_t c = 0; c < chunks.size(); ++c) {
    SCOPED_TRACE(::testing::Message() << "chunk " << c);
    const AudioChunk& chunk = chunks[c];
    // Contiguous: nothing lost or doubled at the cut.
    if (c > 0) {
      EXPECT_NEAR(double(chunk.startTicks), double(chunks[c - 1].EndTicks()), 1.0);
    }
    // The chunk's frames took as long as the fast device took for them (the
    // first chunk is where the device clock learns the rate).
    if (c > 0 && chunk.durationSeconds > 1.0) {
      EXPECT_NEAR(static_cast<double>(chunk.bytes->size() / 8) / chunk.durationSeconds, 48096.0, 10.0);
    }
    // Timed at the nominal rate, the clicks would drift 2 ms a second.
    ExpectClicksOnTheirMarks(chunk, 500 * 10000);
  }
}

// ---- The fake world's loopback while nothing plays ----

using SimLoopbackTest = AudioWorldTest;

// A started stream of the default render endpoint's client.
struct EndpointStream {
  std::shared_ptr<platform::IAudioClient> client;
  std::vector<uint8_t> format;
};

EndpointStream OpenRender(uint32_t flags) {
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  EXPECT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), hr::kOk);
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  EXPECT_EQ(enumerator->GetDevice(sim::kDefaultRenderEndpointId, &endpoint), hr::kOk);
  EndpointStream stream;
  EXPECT_EQ(endpoint->Activate(&stream.client), hr::kOk);
  EXPECT_EQ(stream.client->GetMixFormat(&stream.format), hr::kOk);
  EXPECT_EQ(stream.client->Initialize(flags, 1000000, stream.format), hr::kOk);
  return stream;
}

// The device position of the next packet, waiting up to a second for one.
std::optional<uint64_t> NextPosition(platform::IAudioCaptureClient& capture) {
  for (int i = 0; i < 100; ++i) {
    uint32_t frames = 0;
    EXPECT_EQ(capture.GetNextPacketSize(&frames), hr::kOk);
    if (frames != 0) {
      const uint8_t* data = nullptr;
      uint32_t flags = 0;
      uint64_t position = 0, qpc = 0;
      EXPECT_EQ(capture.GetBuffer(&data, &frames, &flags, &position, &qpc), hr::kOk);
      EXPECT_EQ(capture.ReleaseBuffer(frames), hr::kOk);
      return position;
    }
    sleep_for(10ms);
  }
  return std::nullopt;
}

// Reads packets for `duration`; how many arrived.
int PacketsWithin(platform::IAudioCaptureClient& capture, std::chrono::milliseconds duration) {
  int packets = 0;
  for (auto end = std::chrono::steady_clock::now() + duration; std::chrono::steady_clock::now() < end;) {
    uint32_t frames = 0;
    EXPECT_EQ(capture.GetNextPacketSize(&frames), hr::kOk);
    if (frames == 0) {
      sleep_for(5ms);
      continue;
    }
    const uint8_t* data = nullptr;
    uint32_t flags = 0;
    uint64_t position = 0, qpc = 0;
    EXPECT_EQ(capture.GetBuffer(&data, &frames, &flags, &position, &qpc), hr::kOk);
    EXPECT_EQ(capture.ReleaseBuffer(frames), hr::kOk);
    ++packets;
  }
  return packets;
}

TEST_F(SimLoopbackTest, DeliversNothingWhileSilentUnlessARenderStreamRunsAndItsPositionStandsOrRuns) {
  const wchar_t* id = sim::kDefaultRenderEndpointId;
  for (const int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    sim::ResetSimAudio();
    OstrelSim_SetAudioSignal(id, 0, 0, 0);
    OstrelSim_SetLoopbackIdle(id, mode);
    EndpointStream loopback = OpenRender(platform::kStreamFlagsLoopback);
    std::shared_ptr<platform::IAudioCaptureClient> capture;
    ASSERT_EQ(loopback.client->GetCaptureClient(&capture), hr::kOk);
    ASSERT_EQ(loopback.client->Start(), hr::kOk);
    EXPECT_EQ(PacketsWithin(*capture, 300ms), 0);
    // Sound: packets again, the first at position 0 where the position stood
    // still (give or take what went by between the last poll and the sound
    // coming on), some 300 ms on where it ran.
    OstrelSim_SetAudioSignal(id, 1, 440.0, 0.5);
    const std::optional<uint64_t> first = NextPosition(*capture);
    ASSERT_TRUE(first.has_value());
    if (mode == 1) EXPECT_LT(*first, 48000u * 20 / 1000);
    else EXPECT_GE(*first, 48000u * 250 / 1000);
    OstrelSim_SetAudioSignal(id, 0, 0, 0);
    sleep_for(50ms);
    PacketsWithin(*capture, 50ms);  // what was in flight
    EXPECT_EQ(PacketsWithin(*capture, 200ms), 0);

    // A silent render stream keeps the loopback delivering.
    EndpointStream render = OpenRender(0);
    uint32_t bufferFrames = 0, padding = 0;
    ASSERT_EQ(render.client->GetBufferSize(&bufferFrames), hr::kOk);
    EXPECT_EQ(bufferFrames, 4800u);  // 100 ms asked for
    std::shared_ptr<platform::IAudioRenderClient> renderClient;
    ASSERT_EQ(render.client->GetRenderClient(&renderClient), hr::kOk);
    EXPECT_EQ(render.client->GetCaptureClient(&capture), static_cast<Hresult>(0x88890003));
    uint8_t* data = nullptr;
    EXPECT_EQ(renderClient->GetBuffer(bufferFrames + 1, &data), static_cast<Hresult>(0x88890006));
    ASSERT_EQ(renderClient->GetBuffer(bufferFrames, &data), hr::kOk);
    ASSERT_EQ(renderClient->ReleaseBuffer(bufferFrames, platform::kBufferFlagsSilent), hr::kOk);
    EXPECT_EQ(OstrelSim_RunningRenderStreams(id), 0);
    ASSERT_EQ(render.client->Start(), hr::kOk);
    EXPECT_EQ(OstrelSim_RunningRenderStreams(id), 1);
    ASSERT_EQ(loopback.client->GetCaptureClient(&capture), hr::kOk);
    EXPECT_GE(PacketsWithin(*capture, 200ms), 10);  // 20 at 10 ms each, less a slow machine's share
    ASSERT_EQ(render.client->GetCurrentPadding(&padding), hr::kOk);
    EXPECT_LT(padding, bufferFrames);  // it plays
    render.client->Stop();
    EXPECT_EQ(OstrelSim_RunningRenderStreams(id), 0);
    loopback.client->Stop();
  }
}

}  // namespace
}  // namespace ostrel::audiotest
