// The audio subsystem on the fake world: the endpoint list the host shows,
// the endpoint-change listener, the fake endpoints themselves, and the
// capture threads (endpoint choice, waiting, reconnection, retries and what
// the chunks hold).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>

#include "audio/audio_capture.h"
#include "audio/audio_devices.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel::audiotest {
namespace {

using namespace std::chrono_literals;
using std::this_thread::sleep_for;
using platform::DataFlow;
using platform::Role;

// Collects log lines.
class LogLines {
 public:
  LogSink Sink() {
    return [this](const std::wstring& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::wstring> Texts() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  size_t Count(const std::wstring& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), text));
  }
  // Waits until `text` was logged at least `count` times.
  bool WaitFor(const std::wstring& text, size_t count = 1) const {
    for (int i = 0; i < 500 && Count(text) < count; ++i) sleep_for(10ms);
    return Count(text) >= count;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> lines_;
};

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

uint32_t LeAt(const std::vector<uint8_t>& bytes, size_t offset, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | bytes.at(offset + static_cast<size_t>(i));
  return v;
}

// ---- Endpoint list, change listener, fake endpoints ----

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
  OstrelSim_SetDefaultAudioEndpoint(false, nullptr);
  EXPECT_EQ(List(false), (std::vector<Entry>{speakers, hdmi, {L"nameless", L"(unknown device)", false}}));
  EXPECT_EQ(List(true), (std::vector<Entry>{{sim::kDefaultCaptureEndpointId, sim::kDefaultCaptureEndpointName, true}}));
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultCaptureEndpointId);
  EXPECT_TRUE(List(true).empty());
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

  // Both of its interfaces hand out itself and take a reference; others nothing.
  using platform::InterfaceId;
  for (InterfaceId iid : {InterfaceId::Unknown, InterfaceId::EndpointNotificationClient, InterfaceId::Other}) {
    const bool known = iid != InterfaceId::Other;
    void* object = &iid;
    EXPECT_EQ(notifier->QueryInterface(iid, &object), known ? hr::kOk : hr::kNoInterface);
    EXPECT_EQ(object, known ? static_cast<platform::IEndpointNotificationClient*>(notifier.get()) : nullptr);
    EXPECT_EQ(notifier->AddRef(), known ? 3u : 2u);
    notifier->Release();
    if (known) notifier->Release();
  }
}

// Mix format blocks and packet samples of fake endpoints in each sample format.
TEST_F(AudioDevicesTest, SimEndpointsDescribeTheirFormatAndCarryTheSine) {
  struct Case {
    const wchar_t* id;
    int rate, channels, format, bytes, tag, mask;
    double tolerance;  // of the sine recurrence, from the format's resolution
  };
  const Case cases[] = {{L"s16", 44100, 1, 0, 2, 1, 0, 2e-4}, {L"f32", 48000, 2, 1, 4, 0xFFFE, 0x3, 1e-6},
                        {L"s24", 96000, 6, 2, 3, 0xFFFE, 0x3F, 1e-6}, {L"s32", 16000, 2, 3, 4, 1, 0, 1e-8}};
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  ASSERT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), hr::kOk);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format);
    const bool extensible = c.tag == 0xFFFE;
    ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, c.id, L"t", c.rate, c.channels, c.format, extensible, false));
    OstrelSim_SetAudioSignal(c.id, 1, 1000.0, 0.5);
    std::shared_ptr<platform::IAudioEndpoint> endpoint;
    std::shared_ptr<platform::IAudioClient> client;
    std::shared_ptr<platform::IAudioCaptureClient> capture;
    std::vector<uint8_t> format;
    ASSERT_EQ(enumerator->GetDevice(c.id, &endpoint), hr::kOk);
    ASSERT_EQ(endpoint->Activate(&client), hr::kOk);
    ASSERT_EQ(client->GetMixFormat(&format), hr::kOk);
    const int block = c.channels * c.bytes;
    ASSERT_EQ(format.size(), extensible ? 40u : 18u);
    // Tag, channels, rate, bytes per second, block, bits, extra size, then
    // for the extensible form valid bits, channel mask and sub-format.
    std::vector<int64_t> expected{c.tag, c.channels, c.rate, c.rate * block, block, 8 * c.bytes, extensible ? 22 : 0};
    if (extensible) expected.insert(expected.end(), {8 * c.bytes, c.mask, c.format == 1 ? 3 : 1});
    const int widths[] = {2, 2, 4, 4, 2, 2, 2, 2, 4, 4};
    std::vector<int64_t> actual;
    for (size_t i = 0, at = 0; i < expected.size(); at += widths[i++]) actual.push_back(LeAt(format, at, widths[i]));
    EXPECT_EQ(actual, expected);

    ASSERT_EQ(client->Initialize(0, 10000000, format), hr::kOk);
    ASSERT_EQ(client->GetCaptureClient(&capture), hr::kOk);
    const int64_t started = TickClock::Now();
    ASSERT_EQ(client->Start(), hr::kOk);
    uint32_t size = 0, frames = 0, flags = 0;
    for (int i = 0; i < 500 && Succeeded(capture->GetNextPacketSize(&size)) && !size; ++i) sleep_for(2ms);
    const uint8_t* data = nullptr;
    uint64_t position = 0, qpc = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, &qpc), hr::kOk);
    // The stamp of the stream's first frame: the moment of Start.
    EXPECT_NEAR(static_cast<double>(TickClock::FromCounter100ns(qpc) - started), 0.0, 20000.0);
    ASSERT_EQ(frames, static_cast<uint32_t>(c.rate / 100));
    const std::vector<uint8_t> bytes(data, data + frames * block);
    // Every channel carries the same sine, which satisfies x[n+1] + x[n-1] =
    // 2 cos(w) x[n]; its peak is the amplitude.
    auto sample = [&](size_t frame, int ch) {
      const uint32_t v = LeAt(bytes, frame * block + ch * c.bytes, c.bytes) << (32 - 8 * c.bytes);
      return c.format == 1 ? double{std::bit_cast<float>(v)} : std::bit_cast<int32_t>(v) / 2147483648.0;
    };
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * 1000.0 / c.rate);
    double peak = 0.0;
    for (size_t n = 1; n + 1 < frames; ++n) {
      ASSERT_NEAR(sample(n + 1, 0) + sample(n - 1, 0), k * sample(n, 0), c.tolerance) << "frame " << n;
      for (int ch = 1; ch < c.channels; ++ch) ASSERT_EQ(sample(n, ch), sample(n, 0));
      peak = std::max(peak, std::abs(sample(n, 0)));
    }
    EXPECT_NEAR(peak, 0.5, 0.01);
  }
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
  std::vector<std::wstring> lines = log.Texts();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::wstring>{kDesktopDevice, kMicDevice}));  // no fallback, error or reconnect

  // Desktop audio is the 440 Hz render tone, the microphone the 880 Hz capture tone.
  for (auto [runner, hz] : {std::pair{&desktop, 440}, std::pair{&mic, 880}}) {
    const std::vector<uint8_t> format = runner->ring.WaveFormat();
    ASSERT_EQ(format.size(), 40u);  // float stereo extensible
    EXPECT_EQ(LeAt(format, 0, 2), 0xFFFEu);
    const AudioChunk chunk = runner->Chunks().front();
    ASSERT_TRUE(chunk.waveFormat && chunk.bytes);
    EXPECT_EQ(*chunk.waveFormat, format);
    // Cut after 2 s of wall time; the packet in flight at the cut belongs to
    // the next chunk. The duration is exactly the audio the chunk holds.
    EXPECT_GE(chunk.durationSeconds, 2.0 - 0.04);
    EXPECT_LT(chunk.durationSeconds, 3.0);
    EXPECT_NEAR(static_cast<double>(chunk.bytes->size() / 8), chunk.durationSeconds * 48000, 0.5);
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
  ASSERT_TRUE(log.WaitFor(kMicDevice));
  // A new default makes it reconnect; the configured id is tried first again.
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, true));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB Mic"));
  mic.Stop();
  EXPECT_EQ(log.Texts(),
            (std::vector<std::wstring>{kMicFallback, kMicDevice,
                                       L"[mic-audio] device changed - reconnecting (reconnect #1)...", kMicFallback,
                                       L"[mic-audio] device: USB Mic"}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 1u);
  EXPECT_EQ(mic.ring.WaveFormat().size(), 18u);  // the new endpoint's format
}

TEST_F(AudioCaptureTest, WaitsForAnEndpointToAppearAndStoppingWithinTwoSecondsAppendsNothing) {
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultRenderEndpointId);
  const std::wstring waiting = L"[desktop-audio] no default device available - waiting for one to appear...";
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  ASSERT_TRUE(log.WaitFor(waiting, 2));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, true));
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: HDMI Output"));
  sleep_for(300ms);
  desktop.Stop();
  EXPECT_EQ(desktop.ring.Size(), 0u);
  EXPECT_EQ(log.Texts().back(), L"[desktop-audio] device: HDMI Output");
  EXPECT_EQ(log.Count(waiting), log.Texts().size() - 1);
}

TEST_F(AudioCaptureTest, ConfiguredEndpointThatCannotBeOpenedIsRetriedNotReplaced) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", nullptr, 48000, 1, 0, false, false));
  OstrelSim_FailAudioCall(L"usb", "Activate", 0x80070005u, 2);
  LogLines log;
  const auto start = std::chrono::steady_clock::now();
  CaptureRunner mic(DataFlow::Capture, L"usb", log);
  const std::wstring device = L"[mic-audio] device: (unknown device)";
  ASSERT_TRUE(log.WaitFor(device, 3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);  // slept 500 ms before each retry
  mic.Stop();
  const std::wstring error = L"[mic-audio] capture error: 0x80070005 (Access is denied.) - retrying...";
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{device, error, device, error, device}));
  EXPECT_EQ(mic.ring.ReconnectCount().load(), 0u);
}

TEST_F(AudioCaptureTest, GapsAndSilentPacketsBecomeZeros) {
  const std::wstring id = sim::kDefaultCaptureEndpointId;
  OstrelSim_SetAudioSignal(id.c_str(), 1, 997.0, 0.5);
  // Lost frames before the first packet of a connection are not a gap.
  OstrelSim_InjectAudioGap(id.c_str(), 4800);
  LogLines log;
  CaptureRunner mic(DataFlow::Capture, L"", log);
  ASSERT_TRUE(log.WaitFor(kMicDevice));
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

// Later chunks continue the first one sample for sample: every click of
// every chunk sits at its own tick, so audio never drifts across cuts.
TEST_F(AudioCaptureTest, ChunksAreContiguousAndClicksStayOnTheirTicksAcrossCuts) {
  constexpr int kPeriodMs = 500;
  sim::WorldSyncMarks().SetPeriodMs(kPeriodMs);
  LogLines log;
  CaptureRunner desktop(DataFlow::Render, L"", log);
  ASSERT_TRUE(desktop.WaitForChunks(3));
  desktop.Stop();
  const std::deque<AudioChunk> chunks = desktop.Chunks();
  ASSERT_GE(chunks.size(), 3u);
  for (size_t c = 1; c < chunks.size(); ++c) {
    EXPECT_NEAR(double(chunks[c].startTicks), double(chunks[c - 1].EndTicks()), 1.0) << "chunk " << c;
  }
  // Each click is found near its mark; how far from it (the stream start is
  // read just after the device starts) must be the same in every chunk.
  const int64_t period = int64_t{kPeriodMs} * 10000;
  std::vector<long> errors;
  for (size_t c = 0; c < chunks.size(); ++c) {
    SCOPED_TRACE(testing::Message() << "chunk " << c);
    const AudioChunk& chunk = chunks[c];
    const std::vector<float> samples = Floats(chunk);
    const long frames = static_cast<long>(samples.size() / 2);
    // Marks whose click (and the search window) lie wholly inside the chunk.
    int64_t mark = (chunk.startTicks + 100000 + period - 1) / period * period;
    size_t checked = 0;
    for (; mark + 200000 < chunk.EndTicks(); mark += period, ++checked) {
      const long expected = static_cast<long>((mark - chunk.startTicks) * 48000 / 10000000);
      long edge = std::max(1L, expected - 240);  // search +-5 ms
      while (edge < std::min(frames, expected + 240) && !(samples[2 * edge] == 1.0f && samples[2 * edge - 2] != 1.0f)) {
        ++edge;
      }
      ASSERT_LT(edge, std::min(frames, expected + 240)) << "no click near frame " << expected;
      errors.push_back(edge - expected);
    }
    EXPECT_GE(checked, 3u);
  }
  for (long error : errors) EXPECT_NEAR(error, errors.front(), 1) << "audio moved between clicks";
}

TEST_F(AudioCaptureTest, ASaveCutHandsOverThePartialChunkAndAFastDeviceKeepsItsClicksOnTheirTicks) {
  constexpr int kPeriodMs = 500;
  sim::WorldSyncMarks().SetPeriodMs(kPeriodMs);
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
  const int64_t period = int64_t{kPeriodMs} * 10000;
  for (size_t c = 0; c < chunks.size(); ++c) {
    SCOPED_TRACE(testing::Message() << "chunk " << c);
    const AudioChunk& chunk = chunks[c];
    // Contiguous: nothing lost or doubled at the cut.
    if (c > 0) {
      EXPECT_NEAR(double(chunk.startTicks), double(chunks[c - 1].EndTicks()), 1.0);
    }
    const std::vector<float> samples = Floats(chunk);
    const long frames = static_cast<long>(samples.size() / 2);
    // The chunk's frames took as long as the fast device took for them (the
    // first chunk is where the device clock learns the rate).
    if (c > 0 && chunk.durationSeconds > 1.0) {
      EXPECT_NEAR(frames / chunk.durationSeconds, 48096.0, 10.0);
    }
    // Every click lies where the chunk's own timing says its mark is, to
    // within a millisecond (the device clock settles over the first seconds
    // to a fraction of that); timed at the nominal rate, they would drift
    // 2 ms a second.
    const long tolerance = 48;
    for (int64_t mark = (chunk.startTicks + 100000 + period - 1) / period * period; mark + 200000 < chunk.EndTicks();
         mark += period) {
      const long expected =
          static_cast<long>(static_cast<double>(mark - chunk.startTicks) / 1e7 * frames / chunk.durationSeconds);
      long edge = std::max(1L, expected - 240);
      while (edge < std::min(frames, expected + 240) && !(samples[2 * edge] == 1.0f && samples[2 * edge - 2] != 1.0f)) {
        ++edge;
      }
      ASSERT_LT(edge, std::min(frames, expected + 240)) << "no click near frame " << expected;
      EXPECT_NEAR(edge, expected, tolerance) << "mark " << mark;
    }
  }
}

}  // namespace
}  // namespace ostrel::audiotest
