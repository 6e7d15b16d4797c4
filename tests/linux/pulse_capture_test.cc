// The PulseAudio backend under the audio subsystem, against a real server
// of the test's own: what the change listener reports, the formats streams
// deliver, and the capture threads following default changes, falling back
// from a removed device, recording a known tone in the source's own format,
// and placing desktop audio and the packets' capture stamps on the ticks it
// is heard at.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include "audio/audio_capture.h"
#include "audio/audio_devices.h"
#include "linux/click_player.h"
#include "linux/pulse_server.h"
#include "platform/platform.h"
#include "replay/tick_clock.h"

namespace ostrel::pulsetest {
namespace {

using namespace std::chrono_literals;
using platform::DataFlow;
using platform::Role;
using std::this_thread::sleep_for;
using testing::NullSink;
using testing::PulseServer;

// Sanitizer builds run several times slower: where audio lands in time is
// judged in optimised builds only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = false;
#endif

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
  bool WaitFor(const std::wstring& text, std::chrono::milliseconds timeout = 10s) const {
    for (auto waited = 0ms; waited < timeout && Count(text) == 0; waited += 10ms) sleep_for(10ms);
    return Count(text) > 0;
  }
  // Index of the first line equal to `text`, or -1.
  long IndexOf(const std::wstring& text) const {
    std::lock_guard lock(mutex_);
    auto found = std::find(lines_.begin(), lines_.end(), text);
    return found == lines_.end() ? -1 : static_cast<long>(found - lines_.begin());
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> lines_;
};

std::string Joined(const std::vector<std::wstring>& lines) {
  std::string out;
  for (const std::wstring& line : lines) out += std::string(line.begin(), line.end()) + "\n";
  return out;
}

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
  bool WaitForChunks(size_t count) const {
    for (int i = 0; i < 300 * static_cast<int>(count + 1) && ring.Size() < count; ++i) sleep_for(20ms);
    return ring.Size() >= count;
  }
  std::deque<AudioChunk> Chunks() const { return ring.TakeSnapshot({INT64_MIN, INT64_MAX}); }

  AudioRing ring;
  ReplayWindow window;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

uint32_t LeAt(const std::vector<uint8_t>& bytes, size_t offset, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | bytes.at(offset + static_cast<size_t>(i));
  return v;
}

// The first channel of interleaved frames as floats; 16-bit PCM or 32-bit
// float.
std::vector<double> FirstChannel(const uint8_t* data, size_t bytes, const std::vector<uint8_t>& format) {
  const uint32_t channels = LeAt(format, 2, 2);
  const uint32_t bits = LeAt(format, 14, 2);
  const size_t frameBytes = channels * bits / 8;
  std::vector<double> out;
  for (size_t at = 0; at + frameBytes <= bytes; at += frameBytes) {
    const uint8_t* p = data + at;
    if (bits == 32) {
      float value = 0;
      std::memcpy(&value, p, 4);
      out.push_back(value);
    } else {
      int16_t value = 0;
      std::memcpy(&value, p, 2);
      out.push_back(value / 32768.0);
    }
  }
  return out;
}

std::vector<double> FirstChannel(const AudioChunk& chunk, const std::vector<uint8_t>& format) {
  if (!chunk.bytes) return {};
  return FirstChannel(chunk.bytes->data(), chunk.bytes->size(), format);
}

// Finds the onsets of clicks (a loud sample after 100 ms of quiet at 48 kHz)
// in audio fed piece by piece.
class ClickOnsets {
 public:
  // True when `sample` starts a click.
  bool Next(double sample) {
    if (std::fabs(sample) > 0.5) {
      const bool onset = quiet_ > 4800;
      quiet_ = 0;
      return onset;
    }
    if (quiet_ != SIZE_MAX) ++quiet_;
    return false;
  }

 private:
  size_t quiet_ = SIZE_MAX;
};

// The offset in ms of a click heard at `tick` from the nearest of the marks
// every 0.5 s from 3 s after `tickZero`; empty for the player's own first
// click (its stream starts then) and before.
std::optional<double> ClickOffsetMs(int64_t tick, int64_t tickZero) {
  const double sinceFirst = static_cast<double>(tick - tickZero) / 1e7 - 3.0;
  const double mark = std::round(sinceFirst / 0.5) * 0.5;
  if (mark < 0.5) return std::nullopt;
  return (sinceFirst - mark) * 1000.0;
}

// Reads every packet of a capture client on a thread of its own, as the
// capture thread does, keeping positions, capture stamps and samples.
class PacketReader {
 public:
  struct Packet {
    uint64_t position = 0;
    uint64_t qpc = 0;
    std::vector<double> samples;  // first channel
  };

  PacketReader(std::shared_ptr<platform::IAudioCaptureClient> capture, std::vector<uint8_t> format)
      : capture_(std::move(capture)), format_(std::move(format)), thread_([this] { Run(); }) {}
  ~PacketReader() { Stop(); }
  PacketReader(const PacketReader&) = delete;
  PacketReader& operator=(const PacketReader&) = delete;

  // Stops reading; false when a packet call failed.
  bool Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return !failed_;
  }
  const std::vector<Packet>& Packets() const { return packets_; }

 private:
  void Run() {
    const size_t frameBytes = LeAt(format_, 12, 2);
    while (!stop_.load()) {
      uint32_t next = 0;
      if (capture_->GetNextPacketSize(&next) != hr::kOk) {
        failed_ = true;
        return;
      }
      if (next == 0) {
        sleep_for(2ms);
        continue;
      }
      const uint8_t* data = nullptr;
      uint32_t frames = 0;
      uint32_t flags = 0;
      Packet packet;
      if (capture_->GetBuffer(&data, &frames, &flags, &packet.position, &packet.qpc) != hr::kOk) {
        failed_ = true;
        return;
      }
      packet.samples = FirstChannel(data, frames * frameBytes, format_);
      packets_.push_back(std::move(packet));
      if (capture_->ReleaseBuffer(frames) != hr::kOk) {
        failed_ = true;
        return;
      }
    }
  }

  std::shared_ptr<platform::IAudioCaptureClient> capture_;
  const std::vector<uint8_t> format_;
  std::atomic<bool> stop_{false};
  bool failed_ = false;
  std::vector<Packet> packets_;
  std::thread thread_;
};

// Amplitude of the sine at `frequency` in `samples` (Goertzel).
double ToneAmplitude(const std::vector<double>& samples, double rate, double frequency) {
  if (samples.empty()) return 0.0;
  const double w = 2.0 * std::numbers::pi * frequency / rate;
  double re = 0.0;
  double im = 0.0;
  for (size_t n = 0; n < samples.size(); ++n) {
    re += samples[n] * std::cos(w * static_cast<double>(n));
    im -= samples[n] * std::sin(w * static_cast<double>(n));
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(samples.size());
}

// Records what the backend tells a registered notification client.
class RecordingClient final : public platform::IEndpointNotificationClient {
 public:
  Hresult QueryInterface(platform::InterfaceId, void** object) override {
    *object = nullptr;
    return hr::kNoInterface;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override { return --refs_; }
  Hresult OnDeviceStateChanged(const wchar_t* id, uint32_t state) override {
    return Add(L"state " + std::wstring(id) + L" " + std::to_wstring(state));
  }
  Hresult OnDeviceAdded(const wchar_t* id) override { return Add(L"added " + std::wstring(id)); }
  Hresult OnDeviceRemoved(const wchar_t* id) override { return Add(L"removed " + std::wstring(id)); }
  Hresult OnDefaultDeviceChanged(DataFlow flow, Role role, const wchar_t* id) override {
    if (role != Role::Console) return hr::kOk;
    return Add(std::wstring(flow == DataFlow::Render ? L"default render " : L"default capture ") +
               (id != nullptr ? id : L"(none)"));
  }
  Hresult OnPropertyValueChanged(const wchar_t*, uint32_t) override { return hr::kOk; }

  std::vector<std::wstring> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool WaitFor(const std::wstring& event) const {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard lock(mutex_);
        if (std::find(events_.begin(), events_.end(), event) != events_.end()) return true;
      }
      sleep_for(10ms);
    }
    return false;
  }
  uint32_t Refs() const { return refs_.load(); }

 private:
  Hresult Add(std::wstring event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    return hr::kOk;
  }
  std::atomic<uint32_t> refs_{1};
  mutable std::mutex mutex_;
  std::vector<std::wstring> events_;
};

// A microphone with a known tone: a source (not a monitor) in the given
// format that carries what a null sink plays, fed by the server's sine
// generator (440 Hz at half scale, as module-sine makes it).
std::vector<std::string> ToneSource(const std::string& name, const std::string& description, int rate, int channels,
                                    int frequency = 440) {
  return {NullSink(name + "_feed", name + " feed"),
          "module-sine sink=" + name + "_feed frequency=" + std::to_string(frequency),
          "module-remap-source source_name=" + name + " master=" + name + "_feed.monitor format=s16le rate=" +
              std::to_string(rate) + " channels=" + std::to_string(channels) +
              " source_properties='device.description=\"" + description + "\"'"};
}

std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

class PulseTest : public ::testing::Test {
 protected:
  void StartServer(const std::vector<std::string>& modules) {
    server_ = std::make_unique<PulseServer>(modules);
    ASSERT_TRUE(server_->Ready()) << server_->Log();
  }
  void TearDown() override { server_.reset(); }

  std::shared_ptr<platform::IAudioDeviceEnumerator> Enumerator() {
    std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
    EXPECT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), hr::kOk);
    return enumerator;
  }

  std::unique_ptr<PulseServer> server_;
};

// ---- The change listener and the endpoints ----

using PulseEndpointTest = PulseTest;

TEST_F(PulseEndpointTest, ListenerReportsDefaultsAdditionsAndRemovalsButNotMonitorsOrStreamActivity) {
  StartServer(Concat({{NullSink("sink_a", "Sink A"), NullSink("sink_b", "Sink B")}, ToneSource("mic_a", "Mic A", 48000, 1)}));
  ASSERT_TRUE(server_->SetDefaultSink("sink_a"));
  ASSERT_TRUE(server_->SetDefaultSource("mic_a"));
  auto enumerator = Enumerator();
  ASSERT_TRUE(enumerator);
  RecordingClient client;
  ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), hr::kOk);
  EXPECT_EQ(client.Refs(), 2u) << "the enumerator holds a reference while registered";

  ASSERT_TRUE(server_->SetDefaultSink("sink_b"));
  EXPECT_TRUE(client.WaitFor(L"default render sink_b"));

  const int module = server_->LoadModule(NullSink("sink_c", "Sink C"));
  ASSERT_GE(module, 0);
  EXPECT_TRUE(client.WaitFor(L"added sink_c"));
  ASSERT_TRUE(server_->UnloadModule(module));
  EXPECT_TRUE(client.WaitFor(L"removed sink_c"));

  // The default source falls back to a monitor once the only microphone is
  // gone: no default microphone.
  ASSERT_TRUE(server_->SetDefaultSource("sink_a.monitor"));
  EXPECT_TRUE(client.WaitFor(L"default capture (none)"));

  // A stream running and stopping on a sink changes its running state, not
  // its endpoint state.
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  ASSERT_EQ(enumerator->GetDevice(L"sink_b", &endpoint), hr::kOk);
  std::shared_ptr<platform::IAudioClient> audioClient;
  ASSERT_EQ(endpoint->Activate(&audioClient), hr::kOk);
  std::vector<uint8_t> format;
  ASSERT_EQ(audioClient->GetMixFormat(&format), hr::kOk);
  ASSERT_EQ(audioClient->Initialize(platform::kStreamFlagsLoopback, 10000000, format), hr::kOk);
  ASSERT_EQ(audioClient->Start(), hr::kOk);
  sleep_for(300ms);
  ASSERT_EQ(audioClient->Stop(), hr::kOk);
  sleep_for(300ms);

  ASSERT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), hr::kOk);
  EXPECT_EQ(client.Refs(), 1u);
  const std::vector<std::wstring> events = client.Events();
  for (const std::wstring& event : events) {
    EXPECT_EQ(event.find(L".monitor"), std::wstring::npos) << "monitors are no endpoints";
    EXPECT_NE(event.rfind(L"state ", 0), 0u) << "stream activity reported as a state change";
  }
  // Nothing arrives after unregistering.
  ASSERT_TRUE(server_->SetDefaultSink("sink_a"));
  sleep_for(300ms);
  EXPECT_EQ(client.Events().size(), events.size());
}

TEST_F(PulseEndpointTest, StreamsDeliverTheDevicesOwnFormatInTheWaveOrder) {
  StartServer(Concat({{NullSink("stereo16", "Stereo 16", "s16le", 44100, 2),
                       NullSink("surround", "Surround", "float32le", 48000, 6),
                       NullSink("packed24", "Packed 24", "s24-32le", 96000, 2)},
                      ToneSource("mono_mic", "Mono Mic", 44100, 1)}));
  auto enumerator = Enumerator();
  ASSERT_TRUE(enumerator);
  struct Expected {
    const wchar_t* id;
    uint32_t channels, rate, bits, mask, subFormatTag;
  };
  // 24 bits in 32 come as 32-bit samples: a wave format pads on the other side.
  const Expected cases[] = {{L"stereo16", 2, 44100, 16, 0x3, 1},
                            {L"surround", 6, 48000, 32, 0x3F, 3},
                            {L"packed24", 2, 96000, 32, 0x3, 1},
                            {L"mono_mic", 1, 44100, 16, 0x4, 1}};
  for (const Expected& expected : cases) {
    SCOPED_TRACE(std::string(expected.id, expected.id + wcslen(expected.id)));
    std::shared_ptr<platform::IAudioEndpoint> endpoint;
    ASSERT_EQ(enumerator->GetDevice(expected.id, &endpoint), hr::kOk);
    std::shared_ptr<platform::IAudioClient> client;
    ASSERT_EQ(endpoint->Activate(&client), hr::kOk);
    std::vector<uint8_t> format;
    ASSERT_EQ(client->GetMixFormat(&format), hr::kOk);
    ASSERT_EQ(format.size(), 40u);
    EXPECT_EQ(LeAt(format, 0, 2), 0xFFFEu);
    EXPECT_EQ(LeAt(format, 2, 2), expected.channels);
    EXPECT_EQ(LeAt(format, 4, 4), expected.rate);
    EXPECT_EQ(LeAt(format, 12, 2), expected.channels * expected.bits / 8);
    EXPECT_EQ(LeAt(format, 14, 2), expected.bits);
    EXPECT_EQ(LeAt(format, 16, 2), 22u);
    EXPECT_EQ(LeAt(format, 20, 4), expected.mask);
    EXPECT_EQ(LeAt(format, 24, 2), expected.subFormatTag);

    const bool render = expected.id != std::wstring(L"mono_mic");
    const uint32_t wrongFlags = render ? 0 : platform::kStreamFlagsLoopback;
    EXPECT_EQ(client->Initialize(wrongFlags, 10000000, format), static_cast<Hresult>(0x88890003));
    std::vector<uint8_t> other = format;
    other[4] ^= 1;
    EXPECT_EQ(client->Initialize(render ? platform::kStreamFlagsLoopback : 0, 10000000, other),
              hr::kAudioUnsupportedFormat);
    ASSERT_EQ(client->Initialize(render ? platform::kStreamFlagsLoopback : 0, 10000000, format), hr::kOk);
    std::shared_ptr<platform::IAudioCaptureClient> capture;
    ASSERT_EQ(client->GetCaptureClient(&capture), hr::kOk);
    ASSERT_EQ(client->Start(), hr::kOk);
    // Packets come whole, positions follow on from each other. Only the fed
    // microphone has anything to deliver (an idle sink's monitor, like a
    // loopback stream of a silent endpoint, delivers nothing); a null sink
    // starts in long blocks, so its first audio may take two seconds.
    const uint64_t wanted = render ? 0 : expected.rate / 5;
    uint64_t expectedPosition = 0;
    uint64_t frames = 0;
    for (int i = 0; i < 1000 && frames < wanted; ++i) {
      uint32_t next = 0;
      ASSERT_EQ(capture->GetNextPacketSize(&next), hr::kOk);
      if (next == 0) {
        sleep_for(5ms);
        continue;
      }
      const uint8_t* data = nullptr;
      uint32_t got = 0;
      uint32_t flags = 0;
      uint64_t position = 0, qpc = 0;
      ASSERT_EQ(capture->GetBuffer(&data, &got, &flags, &position, &qpc), hr::kOk);
      EXPECT_EQ(got, next);
      EXPECT_NE(data, nullptr);
      EXPECT_GE(position, expectedPosition);
      EXPECT_EQ(capture->ReleaseBuffer(got + 1), static_cast<Hresult>(0x88890011));
      ASSERT_EQ(capture->ReleaseBuffer(got), hr::kOk);
      expectedPosition = position + got;
      frames += got;
    }
    EXPECT_GE(frames, wanted) << "a running stream delivers";
    EXPECT_EQ(client->Stop(), hr::kOk);
  }
}

TEST_F(PulseEndpointTest, RemovedDeviceInvalidatesItsStream) {
  StartServer({NullSink("keep", "Keep")});
  const int module = server_->LoadModule(NullSink("gone", "Gone"));
  ASSERT_GE(module, 0);
  auto enumerator = Enumerator();
  ASSERT_TRUE(enumerator);
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  ASSERT_EQ(enumerator->GetDevice(L"gone", &endpoint), hr::kOk);
  std::shared_ptr<platform::IAudioClient> client;
  ASSERT_EQ(endpoint->Activate(&client), hr::kOk);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->GetMixFormat(&format), hr::kOk);
  ASSERT_EQ(client->Initialize(platform::kStreamFlagsLoopback, 10000000, format), hr::kOk);
  std::shared_ptr<platform::IAudioCaptureClient> capture;
  ASSERT_EQ(client->GetCaptureClient(&capture), hr::kOk);
  ASSERT_EQ(client->Start(), hr::kOk);
  ASSERT_TRUE(server_->UnloadModule(module));
  Hresult result = hr::kOk;
  for (int i = 0; i < 300 && result == hr::kOk; ++i) {
    uint32_t frames = 0;
    result = capture->GetNextPacketSize(&frames);
    if (result == hr::kOk && frames > 0) {
      const uint8_t* data = nullptr;
      uint32_t got = 0, flags = 0;
      uint64_t position = 0, qpc = 0;
      result = capture->GetBuffer(&data, &got, &flags, &position, &qpc);
      if (result == hr::kOk) capture->ReleaseBuffer(got);
    }
    sleep_for(10ms);
  }
  EXPECT_EQ(result, hr::kAudioDeviceInvalidated);
  // Gone for good: the id finds nothing and a new client of the old
  // endpoint has no format.
  std::shared_ptr<platform::IAudioEndpoint> lookup;
  EXPECT_EQ(enumerator->GetDevice(L"gone", &lookup), hr::kNotFound);
  std::shared_ptr<platform::IAudioClient> again;
  ASSERT_EQ(endpoint->Activate(&again), hr::kOk);
  std::vector<uint8_t> unused;
  EXPECT_EQ(again->GetMixFormat(&unused), hr::kAudioDeviceInvalidated);
}

// ---- The capture threads on the server ----

using PulseCaptureTest = PulseTest;

TEST_F(PulseCaptureTest, MicrophoneAt44kMonoIsRecordedInItsOwnFormatWithTheTone) {
  StartServer(Concat({{NullSink("sink_a", "Sink A")}, ToneSource("mic44", "Mic 44k", 44100, 1)}));
  ASSERT_TRUE(server_->SetDefaultSource("mic44"));
  LogLines log;
  CaptureRunner runner(DataFlow::Capture, L"", log);
  ASSERT_TRUE(runner.WaitForChunks(3)) << Joined(log.Texts());
  runner.Stop();
  EXPECT_EQ(log.Count(L"[mic-audio] device: Mic 44k"), 1u) << Joined(log.Texts());
  const std::vector<uint8_t> format = runner.ring.WaveFormat();
  ASSERT_EQ(format.size(), 40u);
  EXPECT_EQ(LeAt(format, 2, 2), 1u);
  EXPECT_EQ(LeAt(format, 4, 4), 44100u);
  EXPECT_EQ(LeAt(format, 14, 2), 16u);
  EXPECT_EQ(LeAt(format, 20, 4), 0x4u);
  const std::deque<AudioChunk> chunks = runner.Chunks();
  ASSERT_GE(chunks.size(), 3u);
  for (size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    const AudioChunk& chunk = chunks[i];
    // Cut about every 2 s on the device's timeline, each following on. A
    // chunk lasts as long as its frames took by the packets' stamps: the
    // nominal rate, bent by the few ms the server's latency estimates of a
    // virtual source wander.
    EXPECT_NEAR(chunk.durationSeconds, 2.0, 0.1);
    ASSERT_TRUE(chunk.bytes);
    const double frames = static_cast<double>(chunk.bytes->size() / 2);
    EXPECT_NEAR(frames, chunk.durationSeconds * 44100, frames * 0.005);
    if (i > 0) {
      EXPECT_NEAR(chunk.startTicks, chunks[i - 1].EndTicks(), 1);  // rounding of the duration
    }
  }
  // The first chunks may hold the feeding null sink's start-up, which
  // delivers in long blocks before it settles.
  const std::vector<double> samples = FirstChannel(chunks.back(), format);
  if (kInstrumentedBuild) return;
  EXPECT_NEAR(ToneAmplitude(samples, 44100, 440), 0.5, 0.03);
  EXPECT_LT(ToneAmplitude(samples, 44100, 660), 0.01);
}

TEST_F(PulseCaptureTest, DesktopFollowsTheDefaultSinkAndRecordsWhatItPlays) {
  StartServer({NullSink("sink_a", "Sink A"), NullSink("sink_b", "Sink B", "s16le", 48000, 2),
               "module-sine sink=sink_b frequency=1000"});
  ASSERT_TRUE(server_->SetDefaultSink("sink_a"));
  LogLines log;
  CaptureRunner runner(DataFlow::Render, L"", log);
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: Sink A")) << Joined(log.Texts());
  ASSERT_TRUE(server_->SetDefaultSink("sink_b"));
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: Sink B")) << Joined(log.Texts());
  const long reconnect = log.IndexOf(L"[desktop-audio] device changed - reconnecting (reconnect #1)...");
  EXPECT_GE(reconnect, 0) << Joined(log.Texts());
  EXPECT_LT(reconnect, log.IndexOf(L"[desktop-audio] device: Sink B"));
  const size_t before = runner.ring.Size();
  ASSERT_TRUE(runner.WaitForChunks(before + 2)) << Joined(log.Texts());
  runner.Stop();
  EXPECT_EQ(runner.ring.ReconnectCount().load(), 1u);
  const std::deque<AudioChunk> chunks = runner.Chunks();
  ASSERT_FALSE(chunks.empty());
  const std::vector<double> samples = FirstChannel(chunks.back(), runner.ring.WaveFormat());
  const double tone = ToneAmplitude(samples, 48000, 1000);
  EXPECT_GT(tone, 0.05) << "the sine played into the sink is in its monitor";
  EXPECT_LT(ToneAmplitude(samples, 48000, 1500), tone / 20);
}

// Clicks played into the sink at known instants are found where they are
// heard: in the capture thread's chunks on the tick clock, and in the raw
// packets of a stream of the backend by their capture stamps, which advance
// at the sample rate.
TEST_F(PulseCaptureTest, DesktopAudioSitsOnTheTicksItIsHeardAt) {
  if (kInstrumentedBuild) GTEST_SKIP() << "audio timing is measured in optimised builds only";
  StartServer({NullSink("speakers", "Speakers", "float32le", 48000, 2)});
  ASSERT_TRUE(server_->SetDefaultSink("speakers"));
  LogLines log;
  CaptureRunner runner(DataFlow::Render, L"", log);
  auto enumerator = Enumerator();
  ASSERT_TRUE(enumerator);
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  ASSERT_EQ(enumerator->GetDevice(L"speakers", &endpoint), hr::kOk);
  std::shared_ptr<platform::IAudioClient> client;
  ASSERT_EQ(endpoint->Activate(&client), hr::kOk);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->GetMixFormat(&format), hr::kOk);
  ASSERT_EQ(client->Initialize(platform::kStreamFlagsLoopback, 10000000, format), hr::kOk);
  std::shared_ptr<platform::IAudioCaptureClient> capture;
  ASSERT_EQ(client->GetCaptureClient(&capture), hr::kOk);
  ASSERT_EQ(client->Start(), hr::kOk);
  PacketReader reader(capture, format);
  // The same instant on both clocks.
  const auto steadyZero = std::chrono::steady_clock::now();
  const int64_t tickZero = TickClock::Now();
  const auto firstMark = steadyZero + 3s;
  {
    testing::ClickPlayer player("speakers", firstMark, 500ms);
    sleep_for(9s);
    ASSERT_FALSE(player.Failed());
  }
  runner.Stop();
  ASSERT_TRUE(reader.Stop());
  EXPECT_EQ(client->Stop(), hr::kOk);

  // Click onsets on the chunks' timeline against the marks they were played
  // for.
  std::vector<double> offsetsMs;
  for (const AudioChunk& chunk : runner.Chunks()) {
    const std::vector<double> samples = FirstChannel(chunk, runner.ring.WaveFormat());
    ClickOnsets onsets;
    for (size_t i = 0; i < samples.size(); ++i) {
      if (!onsets.Next(samples[i])) continue;
      const int64_t tick = chunk.startTicks + static_cast<int64_t>(i * 10000000ull / 48000);
      if (std::optional<double> offset = ClickOffsetMs(tick, tickZero)) offsetsMs.push_back(*offset);
    }
  }
  EXPECT_GE(offsetsMs.size(), 8u) << Joined(log.Texts());
  for (double offset : offsetsMs) {
    EXPECT_GE(offset, -10.0);
    EXPECT_LE(offset, 10.0);
  }

  // The packets' stamps: every one stamped, on a line of the sample rate
  // through (position, stamp) with only jitter around it.
  const std::vector<PacketReader::Packet>& packets = reader.Packets();
  ASSERT_GE(packets.size(), 200u);
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  const double x0 = static_cast<double>(packets.front().position);
  const double y0 = static_cast<double>(packets.front().qpc);
  for (const PacketReader::Packet& packet : packets) {
    ASSERT_NE(packet.qpc, 0u) << "every packet of a running monitor is stamped";
    const double x = static_cast<double>(packet.position) - x0;
    const double y = static_cast<double>(packet.qpc) - y0;
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  const double intercept = (sy - slope * sx) / n;
  const double ratePpm = (10000000.0 / 48000.0 / slope - 1.0) * 1e6;
  double worstMs = 0;
  for (const PacketReader::Packet& packet : packets) {
    const double x = static_cast<double>(packet.position) - x0;
    const double y = static_cast<double>(packet.qpc) - y0;
    worstMs = std::max(worstMs, std::fabs(y - (intercept + slope * x)) / 1e4);
  }
  // Stamped clicks: each sample at its packet's stamp plus its place in it.
  std::vector<double> stampOffsetsMs;
  ClickOnsets onsets;
  for (const PacketReader::Packet& packet : packets) {
    const int64_t first = TickClock::FromCounter100ns(packet.qpc);
    for (size_t i = 0; i < packet.samples.size(); ++i) {
      if (!onsets.Next(packet.samples[i])) continue;
      const int64_t tick = first + static_cast<int64_t>(i * 10000000ull / 48000);
      if (std::optional<double> offset = ClickOffsetMs(tick, tickZero)) stampOffsetsMs.push_back(*offset);
    }
  }
  double lowMs = 0, highMs = 0;
  if (!stampOffsetsMs.empty()) {
    lowMs = *std::min_element(stampOffsetsMs.begin(), stampOffsetsMs.end());
    highMs = *std::max_element(stampOffsetsMs.begin(), stampOffsetsMs.end());
  }
  std::printf("stamps: %zu packets, rate %+.1f ppm, worst residual %.2f ms; %zu clicks at %+.2f to %+.2f ms\n",
              packets.size(), ratePpm, worstMs, stampOffsetsMs.size(), lowMs, highMs);
  EXPECT_LT(std::fabs(ratePpm), 300.0) << "stamps advance at the sample rate";
  EXPECT_LT(worstMs, 5.0) << "stamps jitter around their line only";
  EXPECT_GE(stampOffsetsMs.size(), 8u);
  for (double offset : stampOffsetsMs) {
    EXPECT_GE(offset, -5.0);
    EXPECT_LE(offset, 5.0);
  }
}

TEST_F(PulseCaptureTest, RemovedConfiguredSourceFallsBackToTheDefault) {
  StartServer(Concat({{NullSink("sink_a", "Sink A")}, ToneSource("mic_default", "Built-in Mic", 48000, 2),
                      {NullSink("usb_feed", "USB feed"), "module-sine sink=usb_feed frequency=880"}}));
  const int module = server_->LoadModule(
      "module-remap-source source_name=mic_usb master=usb_feed.monitor source_properties=device.description=USB-Mic");
  ASSERT_GE(module, 0);
  ASSERT_TRUE(server_->SetDefaultSource("mic_default"));
  LogLines log;
  CaptureRunner runner(DataFlow::Capture, L"mic_usb", log);
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: USB-Mic")) << Joined(log.Texts());
  ASSERT_TRUE(server_->UnloadModule(module));
  ASSERT_TRUE(log.WaitFor(L"[mic-audio] device: Built-in Mic")) << Joined(log.Texts());
  const long reconnect = log.IndexOf(L"[mic-audio] device changed - reconnecting (reconnect #1)...");
  const long fallback =
      log.IndexOf(L"[mic-audio] configured device unavailable (0x80070490) - falling back to system default");
  EXPECT_GE(reconnect, 0) << Joined(log.Texts());
  EXPECT_GT(fallback, reconnect) << Joined(log.Texts());
  EXPECT_LT(fallback, log.IndexOf(L"[mic-audio] device: Built-in Mic"));
  // Capture goes on from the default source (past its start-up).
  const size_t before = runner.ring.Size();
  ASSERT_TRUE(runner.WaitForChunks(before + 3)) << Joined(log.Texts());
  runner.Stop();
  const std::vector<double> samples = FirstChannel(runner.Chunks().back(), runner.ring.WaveFormat());
  EXPECT_NEAR(ToneAmplitude(samples, 48000, 440), 0.5, 0.05);
  EXPECT_EQ(log.Count(L"[mic-audio] capture error"), 0u);
}

TEST_F(PulseCaptureTest, ARestartedServerIsRecordedAgain) {
  StartServer({NullSink("sink_a", "Sink A")});
  ASSERT_TRUE(server_->SetDefaultSink("sink_a"));
  LogLines log;
  CaptureRunner runner(DataFlow::Render, L"", log);
  ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: Sink A")) << Joined(log.Texts());
  ASSERT_TRUE(server_->Restart()) << server_->ReadLog();
  for (int i = 0; i < 1000 && log.Count(L"[desktop-audio] device: Sink A") < 2; ++i) sleep_for(10ms);
  EXPECT_EQ(log.Count(L"[desktop-audio] device: Sink A"), 2u) << Joined(log.Texts());
  EXPECT_EQ(log.Count(L"[desktop-audio] device changed - reconnecting (reconnect #1)..."), 1u)
      << Joined(log.Texts());
  // While no server answered, the thread retried without counting.
  for (const std::wstring& line : log.Texts()) {
    if (line.find(L"capture error") != std::wstring::npos) {
      EXPECT_EQ(line, L"[desktop-audio] capture error: 0x88890010 (The audio service is not running.) - retrying...");
    }
  }
  runner.Stop();
  EXPECT_EQ(runner.ring.ReconnectCount().load(), 1u);
}

TEST_F(PulseCaptureTest, WithoutAServerTheThreadSaysSoAndRecordsNothing) {
  setenv("PULSE_SERVER", "unix:/nonexistent/ostrel-no-server", 1);
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  EXPECT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), static_cast<Hresult>(0x88890010));
  EXPECT_FALSE(enumerator);
  LogLines log;
  {
    CaptureRunner runner(DataFlow::Render, L"", log);
    sleep_for(300ms);
    runner.Stop();
    EXPECT_EQ(runner.ring.Size(), 0u);
  }
  unsetenv("PULSE_SERVER");
  EXPECT_EQ(log.Texts(), std::vector<std::wstring>{
                             L"[desktop-audio] audio capture unavailable: 0x88890010 (The audio service is not running.)"});
}

}  // namespace
}  // namespace ostrel::pulsetest
