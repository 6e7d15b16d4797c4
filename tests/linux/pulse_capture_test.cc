// The PulseAudio backend's streams against a server of the test's own: the
// wave format each device's stream delivers in (what the core converts
// from), the stream calls' answers, and packets that follow on. Recording
// through the library is checked in pulse_export_test.cc.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "linux/pulse_server.h"
#include "platform/platform.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;
using std::this_thread::sleep_for;

uint32_t LeAt(const std::vector<uint8_t>& bytes, size_t offset, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | bytes.at(offset + static_cast<size_t>(i));
  return v;
}

TEST(PulseStreamTest, StreamsDeliverTheDevicesOwnFormatInTheWaveOrder) {
  PulseServer server(Concat({{NullSink("stereo16", "Stereo 16", "s16le", 44100, 2),
                       NullSink("surround", "Surround", "float32le", 48000, 6),
                       NullSink("packed24", "Packed 24", "s24-32le", 96000, 2)},
                      ToneSource("mono_mic", "Mono Mic", 44100, 1)}));
  ASSERT_TRUE(server.Ready()) << server.ReadLog();
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  ASSERT_EQ(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator), hr::kOk);
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
    // A render stream on a sink is refused (its monitor needs none to keep
    // delivering), a loopback of a source is the wrong endpoint type.
    const uint32_t wrongFlags = render ? 0 : platform::kStreamFlagsLoopback;
    EXPECT_EQ(client->Initialize(wrongFlags, 10000000, format),
              render ? hr::kNotImplemented : static_cast<Hresult>(0x88890003));
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

}  // namespace
}  // namespace ostrel::testing
