// The fake world's audio endpoints as the capture code sees them.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <numbers>
#include <set>
#include <thread>

#include "audio_test_util.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"

namespace ostrel::audiotest {
namespace {

using platform::DataFlow;
using platform::Role;

constexpr Hresult kWrongEndpointType = static_cast<Hresult>(0x88890003);

std::shared_ptr<platform::IAudioDeviceEnumerator> Enumerator() {
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  EXPECT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), hr::kOk);
  return enumerator;
}

std::vector<uint8_t> MixFormatOf(const std::wstring& id) {
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  EXPECT_EQ(Enumerator()->GetDevice(id, &endpoint), hr::kOk);
  std::shared_ptr<platform::IAudioClient> client;
  EXPECT_EQ(endpoint->Activate(&client), hr::kOk);
  std::vector<uint8_t> format;
  EXPECT_EQ(client->GetMixFormat(&format), hr::kOk);
  return format;
}

// A started stream of one endpoint.
struct Stream {
  Stream(const std::wstring& id, uint32_t flags) {
    EXPECT_EQ(Enumerator()->GetDevice(id, &endpoint), hr::kOk);
    EXPECT_EQ(endpoint->Activate(&client), hr::kOk);
    std::vector<uint8_t> format;
    EXPECT_EQ(client->GetMixFormat(&format), hr::kOk);
    EXPECT_EQ(client->Initialize(flags, 10000000, format), hr::kOk);
    EXPECT_EQ(client->GetCaptureClient(&capture), hr::kOk);
    EXPECT_EQ(client->Start(), hr::kOk);
  }

  struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t frames = 0;
    uint32_t flags = 0;
    uint64_t position = 0;
  };

  // Waits for the next packet and releases it.
  Packet Next(uint32_t blockAlign) {
    Packet packet;
    for (int i = 0; i < 500; ++i) {
      uint32_t size = 0;
      EXPECT_EQ(capture->GetNextPacketSize(&size), hr::kOk);
      if (size != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const uint8_t* data = nullptr;
    EXPECT_EQ(capture->GetBuffer(&data, &packet.frames, &packet.flags, &packet.position), hr::kOk);
    packet.bytes.assign(data, data + packet.frames * blockAlign);
    EXPECT_EQ(capture->ReleaseBuffer(packet.frames), hr::kOk);
    return packet;
  }

  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  std::shared_ptr<platform::IAudioClient> client;
  std::shared_ptr<platform::IAudioCaptureClient> capture;
};

using SimAudioTest = AudioWorldTest;

TEST_F(SimAudioTest, MixFormatBlocks) {
  // Default: float stereo extensible, 40 bytes.
  const std::vector<uint8_t> def = MixFormatOf(sim::kDefaultRenderEndpointId);
  ASSERT_EQ(def.size(), 40u);
  EXPECT_EQ(U16At(def, 0), 0xFFFE);
  EXPECT_EQ(U16At(def, 2), 2);
  EXPECT_EQ(U32At(def, 4), 48000u);
  EXPECT_EQ(U32At(def, 8), 384000u);
  EXPECT_EQ(U16At(def, 12), 8);
  EXPECT_EQ(U16At(def, 14), 32);
  EXPECT_EQ(U16At(def, 16), 22);
  EXPECT_EQ(U16At(def, 18), 32);
  EXPECT_EQ(U32At(def, 20), 3u);
  const uint8_t floatGuid[16] = {3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  EXPECT_EQ(std::vector<uint8_t>(def.begin() + 24, def.end()), std::vector<uint8_t>(floatGuid, floatGuid + 16));

  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"mono16", L"m", 44100, 1, 0, false, false));
  const std::vector<uint8_t> mono = MixFormatOf(L"mono16");
  ASSERT_EQ(mono.size(), 18u);
  EXPECT_EQ(U16At(mono, 0), 1);  // PCM
  EXPECT_EQ(U32At(mono, 8), 88200u);
  EXPECT_EQ(U16At(mono, 12), 2);
  EXPECT_EQ(U16At(mono, 16), 0);

  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"float", L"f", 48000, 2, 1, false, false));
  EXPECT_EQ(U16At(MixFormatOf(L"float"), 0), 3);  // IEEE float

  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"surround24", L"s", 96000, 6, 2, true, false));
  const std::vector<uint8_t> surround = MixFormatOf(L"surround24");
  ASSERT_EQ(surround.size(), 40u);
  EXPECT_EQ(U16At(surround, 12), 18);
  EXPECT_EQ(U16At(surround, 14), 24);
  EXPECT_EQ(U16At(surround, 18), 24);
  EXPECT_EQ(U32At(surround, 20), 0x3Fu);
  EXPECT_EQ(surround[24], 1);  // PCM sub-format

  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"71", L"s", 48000, 8, 3, true, false));
  EXPECT_EQ(U32At(MixFormatOf(L"71"), 20), 0x63Fu);
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"mono-ext", L"s", 48000, 1, 1, true, false));
  EXPECT_EQ(U32At(MixFormatOf(L"mono-ext"), 20), 0x4u);
}

TEST_F(SimAudioTest, RejectsBadEndpointArguments) {
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, sim::kDefaultRenderEndpointId, L"dup", 48000, 2, 1, true, false));
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, nullptr, L"x", 48000, 2, 1, true, false));
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, L"", L"x", 48000, 2, 1, true, false));
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, L"x", L"x", 0, 2, 1, true, false));
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, L"x", L"x", 48000, 0, 1, true, false));
  EXPECT_FALSE(OstrelSim_AddAudioEndpoint(false, L"x", L"x", 48000, 2, 4, true, false));
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  EXPECT_EQ(Enumerator()->GetDevice(L"x", &endpoint), hr::kNotFound);
  EXPECT_EQ(endpoint, nullptr);
}

// Decodes channel `c` of interleaved samples to [-1, 1].
std::vector<double> Channel(const std::vector<uint8_t>& bytes, int format, int channels, int c) {
  const int size = format == 0 ? 2 : format == 2 ? 3 : 4;
  std::vector<double> out;
  for (size_t offset = static_cast<size_t>(c * size); offset + size <= bytes.size();
       offset += static_cast<size_t>(size * channels)) {
    const uint8_t* p = bytes.data() + offset;
    switch (format) {
      case 0: out.push_back(static_cast<int16_t>(p[0] | (p[1] << 8)) / 32767.0); break;
      case 1: {
        float f;
        std::memcpy(&f, p, 4);
        out.push_back(f);
        break;
      }
      case 2: {
        int32_t v = (p[0] | (p[1] << 8) | (p[2] << 16));
        if (v & 0x800000) v -= 0x1000000;
        out.push_back(v / 8388607.0);
        break;
      }
      default: {
        int32_t v;
        std::memcpy(&v, p, 4);
        out.push_back(v / 2147483647.0);
      }
    }
  }
  return out;
}

TEST_F(SimAudioTest, PacketsCarryTheSineInEveryFormat) {
  struct Case {
    const wchar_t* id;
    int rate, channels, format;
    double tolerance;  // of the sine recurrence, from the format's resolution
  };
  const Case cases[] = {{L"s16", 44100, 1, 0, 2e-4}, {L"f32", 48000, 2, 1, 1e-6}, {L"s24", 96000, 6, 2, 1e-6},
                        {L"s32", 16000, 2, 3, 1e-8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format);
    ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, c.id, L"t", c.rate, c.channels, c.format, c.format != 0, false));
    OstrelSim_SetAudioSignal(c.id, 1, 1000.0, 0.5);
    Stream stream(c.id, 0);
    const uint32_t blockAlign = static_cast<uint32_t>(c.channels * (c.format == 0 ? 2 : c.format == 2 ? 3 : 4));
    Stream::Packet first = stream.Next(blockAlign);
    Stream::Packet second = stream.Next(blockAlign);
    EXPECT_EQ(first.frames, static_cast<uint32_t>(c.rate / 100));
    EXPECT_EQ(first.position, 0u);
    EXPECT_EQ(second.position, first.frames);
    EXPECT_EQ(first.flags & platform::kBufferFlagsSilent, 0u);

    std::vector<uint8_t> both = first.bytes;
    both.insert(both.end(), second.bytes.begin(), second.bytes.end());
    const std::vector<double> x = Channel(both, c.format, c.channels, 0);
    ASSERT_EQ(x.size(), 2u * first.frames);
    // A sine of frequency f satisfies x[n+1] + x[n-1] = 2 cos(w) x[n], across
    // the packet boundary too; its peak is the amplitude.
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * 1000.0 / c.rate);
    double peak = 0.0;
    for (size_t n = 1; n + 1 < x.size(); ++n) {
      ASSERT_NEAR(x[n + 1] + x[n - 1], k * x[n], c.tolerance) << "frame " << n;
      peak = std::max(peak, std::abs(x[n]));
    }
    EXPECT_NEAR(peak, 0.5, 0.01);
    for (int ch = 1; ch < c.channels; ++ch) EXPECT_EQ(Channel(both, c.format, c.channels, ch), x);
  }
}

TEST_F(SimAudioTest, GapsSilentPacketsAndSilence) {
  Stream stream(sim::kDefaultCaptureEndpointId, 0);
  Stream::Packet first = stream.Next(8);
  OstrelSim_InjectAudioGap(sim::kDefaultCaptureEndpointId, 960);
  Stream::Packet afterGap = stream.Next(8);
  EXPECT_EQ(afterGap.position, first.position + 480 + 960);

  OstrelSim_InjectSilentPackets(sim::kDefaultCaptureEndpointId, 2);
  EXPECT_NE(stream.Next(8).flags & platform::kBufferFlagsSilent, 0u);
  Stream::Packet silent = stream.Next(8);
  EXPECT_NE(silent.flags & platform::kBufferFlagsSilent, 0u);
  EXPECT_NE(Channel(silent.bytes, 1, 2, 0), std::vector<double>(480, 0.0));  // only the flag says silence
  EXPECT_EQ(stream.Next(8).flags & platform::kBufferFlagsSilent, 0u);

  OstrelSim_SetAudioSignal(sim::kDefaultCaptureEndpointId, 0, 0.0, 0.0);
  stream.Next(8);  // a packet may have been made before the change
  EXPECT_EQ(stream.Next(8).bytes, std::vector<uint8_t>(480 * 8, 0));
}

TEST_F(SimAudioTest, StreamRulesAndRemoval) {
  // Loopback needs a render endpoint, plain capture a capture endpoint, and
  // shared mode takes the mix format only.
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator = Enumerator();
  std::shared_ptr<platform::IAudioEndpoint> mic;
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(DataFlow::Capture, Role::Console, &mic), hr::kOk);
  std::shared_ptr<platform::IAudioClient> client;
  ASSERT_EQ(mic->Activate(&client), hr::kOk);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->GetMixFormat(&format), hr::kOk);
  std::shared_ptr<platform::IAudioCaptureClient> capture;
  EXPECT_EQ(client->GetCaptureClient(&capture), hr::kAudioNotInitialized);
  EXPECT_EQ(client->Initialize(platform::kStreamFlagsLoopback, 10000000, format), kWrongEndpointType);
  std::vector<uint8_t> other = format;
  other[4] ^= 1;
  EXPECT_EQ(client->Initialize(0, 10000000, other), hr::kAudioUnsupportedFormat);

  Stream loopback(sim::kDefaultRenderEndpointId, platform::kStreamFlagsLoopback);
  loopback.Next(8);
  OstrelSim_RemoveAudioEndpoint(sim::kDefaultRenderEndpointId);
  uint32_t size = 0;
  EXPECT_EQ(loopback.capture->GetNextPacketSize(&size), hr::kAudioDeviceInvalidated);
  const uint8_t* data = nullptr;
  uint32_t frames = 0, flags = 0;
  uint64_t position = 0;
  EXPECT_EQ(loopback.capture->GetBuffer(&data, &frames, &flags, &position), hr::kAudioDeviceInvalidated);
  std::shared_ptr<platform::IAudioEndpoint> gone;
  EXPECT_EQ(enumerator->GetDevice(sim::kDefaultRenderEndpointId, &gone), hr::kNotFound);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(DataFlow::Render, Role::Console, &gone), hr::kNotFound);
}

TEST_F(SimAudioTest, InjectedFailuresCountDownAndTargetEndpoints) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, false));
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator = Enumerator();
  std::shared_ptr<platform::IAudioEndpoint> usb, builtin;
  ASSERT_EQ(enumerator->GetDevice(L"usb", &usb), hr::kOk);
  ASSERT_EQ(enumerator->GetDevice(sim::kDefaultCaptureEndpointId, &builtin), hr::kOk);
  std::shared_ptr<platform::IAudioClient> client;

  OstrelSim_FailAudioCall(L"usb", "Activate", 0x80070005u, 2);
  EXPECT_EQ(builtin->Activate(&client), hr::kOk);  // another endpoint is untouched
  EXPECT_EQ(usb->Activate(&client), hr::kAccessDenied);
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(usb->Activate(&client), hr::kAccessDenied);
  EXPECT_EQ(usb->Activate(&client), hr::kOk);

  OstrelSim_FailAudioCall(nullptr, "GetId", 0x80004005u, -1);
  std::wstring id;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(usb->GetId(&id), hr::kFail);
    EXPECT_EQ(builtin->GetId(&id), hr::kFail);
  }
  OstrelSim_FailAudioCall(nullptr, "GetId", 0, -1);
  EXPECT_EQ(usb->GetId(&id), hr::kOk);
  EXPECT_EQ(id, L"usb");
}

// Records what the world tells it, and on which thread.
class RecordingClient final : public platform::IEndpointNotificationClient {
 public:
  Hresult QueryInterface(platform::InterfaceId, void** object) override {
    *object = nullptr;
    return hr::kNoInterface;
  }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }
  Hresult OnDeviceStateChanged(const wchar_t* id, uint32_t state) override {
    return Record(L"state " + std::wstring(id) + L" " + std::to_wstring(state));
  }
  Hresult OnDeviceAdded(const wchar_t* id) override { return Record(L"added " + std::wstring(id)); }
  Hresult OnDeviceRemoved(const wchar_t* id) override { return Record(L"removed " + std::wstring(id)); }
  Hresult OnDefaultDeviceChanged(DataFlow flow, Role role, const wchar_t* id) override {
    return Record(L"default " + std::to_wstring(static_cast<int>(flow)) + L" " +
                  std::to_wstring(static_cast<int>(role)) + L" " + (id ? id : L"(null)"));
  }
  Hresult OnPropertyValueChanged(const wchar_t*, uint32_t) override { return hr::kOk; }

  std::vector<std::wstring> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }

  std::atomic<uint32_t> refs{1};
  std::mutex mutex;
  std::vector<std::wstring> events;
  std::set<std::thread::id> threads;

 private:
  Hresult Record(std::wstring event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    threads.insert(std::this_thread::get_id());
    return hr::kOk;
  }
};

TEST_F(SimAudioTest, NotificationsArriveOnTheWorldsThread) {
  RecordingClient client;
  {
    std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator = Enumerator();
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), hr::kOk);
    EXPECT_EQ(client.refs.load(), 2u);

    ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"usb", L"USB Mic", 48000, 1, 0, false, true));
    OstrelSim_SetDefaultAudioEndpoint(true, L"usb");  // already the default: no event
    OstrelSim_SetDefaultAudioEndpoint(false, nullptr);
    OstrelSim_RemoveAudioEndpoint(L"usb");
    sim::FlushSimAudioNotifications();
    EXPECT_EQ(client.Take(), (std::vector<std::wstring>{
                                 L"added usb", L"default 1 0 usb", L"default 1 1 usb", L"default 1 2 usb",
                                 L"default 0 0 (null)", L"default 0 1 (null)", L"default 0 2 (null)",
                                 L"state usb 4", L"removed usb",
                                 // the next endpoint of the flow takes over as default
                                 std::wstring(L"default 1 0 ") + sim::kDefaultCaptureEndpointId,
                                 std::wstring(L"default 1 1 ") + sim::kDefaultCaptureEndpointId,
                                 std::wstring(L"default 1 2 ") + sim::kDefaultCaptureEndpointId}));
    EXPECT_EQ(client.threads.count(std::this_thread::get_id()), 0u);

    ASSERT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), hr::kOk);
    EXPECT_EQ(client.refs.load(), 1u);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), hr::kNotFound);
    OstrelSim_SetDefaultAudioEndpoint(true, nullptr);
    sim::FlushSimAudioNotifications();
    EXPECT_TRUE(client.Take().empty());

    // An enumerator that goes away drops its registrations.
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), hr::kOk);
  }
  EXPECT_EQ(client.refs.load(), 1u);
}

}  // namespace
}  // namespace ostrel::audiotest
