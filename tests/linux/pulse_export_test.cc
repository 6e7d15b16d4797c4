// The Linux library's sound as a host sees it, through the exports of
// libostrel_core.so, with a PulseAudio server (and, to record, an Xvfb
// window) of each test's own: the endpoint list, reconnection on a new
// default sink, falling back from a removed microphone, and a 44.1 kHz mono
// microphone mixed into the saved clip.
#include <gtest/gtest.h>
#include <ostrel/ostrel.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "linux/pulse_server.h"
#include "linux/test_window.h"
#include "linux/x_server.h"
#include "support/log_capture.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

// A microphone with a known tone: a source (not a monitor) in the given
// format carrying what a null sink plays, fed by the server's sine
// generator (half scale).
std::vector<std::string> ToneSource(const std::string& name, const std::string& description, int rate, int channels,
                                    int frequency) {
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

struct Endpoint {
  std::wstring id, name;
  bool isDefault = false;
  bool operator==(const Endpoint&) const = default;
};

std::vector<Endpoint> listed;
void Collect(const wchar_t* id, const wchar_t* name, bool isDefault) { listed.push_back({id, name, isDefault}); }

std::vector<Endpoint> List(bool capture) {
  listed.clear();
  Ostrel_EnumerateAudioDevices(capture, &Collect);
  return listed;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One channel of the clip's (stereo, 48 kHz) audio, decoded by the FFmpeg
// tool without any remixing.
std::vector<float> DecodeAudio(const std::string& clip, int channel = 0) {
  std::vector<float> samples;
  FILE* pipe = popen(("ffmpeg -v error -i '" + clip + "' -map 0:a:0 -f f32le - 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return samples;
  float frame[2];
  while (fread(frame, sizeof(float), 2, pipe) == 2) samples.push_back(frame[channel]);
  pclose(pipe);
  return samples;
}

// Amplitude of the sine at `frequency` in one second of audio from `from`.
double ToneAmplitude(const std::vector<float>& samples, size_t from, double frequency, size_t length = 48000) {
  const double w = 2.0 * std::numbers::pi * frequency / 48000.0;
  double re = 0.0;
  double im = 0.0;
  for (size_t n = 0; n < length; ++n) {
    re += samples[from + n] * std::cos(w * static_cast<double>(n));
    im -= samples[from + n] * std::sin(w * static_cast<double>(n));
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(length);
}

// ---- The endpoint list ----

TEST(PulseEndpointListTest, ListsSinksAndSourcesWithoutMonitorsAndFollowsTheDefaults) {
  PulseServer server(Concat({{NullSink("speakers_a", "Speakers A"), NullSink("speakers_b", "Speakers B")},
                             ToneSource("mic_a", "Mic A", 48000, 1, 440),
                             ToneSource("mic_b", "Mic B", 44100, 2, 880)}));
  ASSERT_TRUE(server.Ready()) << server.Log();
  ASSERT_TRUE(server.SetDefaultSink("speakers_a"));
  ASSERT_TRUE(server.SetDefaultSource("mic_b"));

  // The feeding null sinks of the microphones are sinks too.
  std::vector<Endpoint> render = List(false);
  std::sort(render.begin(), render.end(), [](auto& a, auto& b) { return a.id < b.id; });
  EXPECT_EQ(render, (std::vector<Endpoint>{{L"mic_a_feed", L"mic_a feed", false},
                                           {L"mic_b_feed", L"mic_b feed", false},
                                           {L"speakers_a", L"Speakers A", true},
                                           {L"speakers_b", L"Speakers B", false}}));
  std::vector<Endpoint> capture = List(true);
  std::sort(capture.begin(), capture.end(), [](auto& a, auto& b) { return a.id < b.id; });
  EXPECT_EQ(capture, (std::vector<Endpoint>{{L"mic_a", L"Mic A", false}, {L"mic_b", L"Mic B", true}}));

  ASSERT_TRUE(server.SetDefaultSink("speakers_b"));
  ASSERT_TRUE(server.SetDefaultSource("mic_a"));
  for (const Endpoint& endpoint : List(false)) {
    EXPECT_EQ(endpoint.isDefault, endpoint.id == L"speakers_b") << Narrow(endpoint.id);
  }
  for (const Endpoint& endpoint : List(true)) {
    EXPECT_EQ(endpoint.isDefault, endpoint.id == L"mic_a") << Narrow(endpoint.id);
  }
  // A monitor as the default source is no default microphone.
  ASSERT_TRUE(server.SetDefaultSource("speakers_a.monitor"));
  for (const Endpoint& endpoint : List(true)) EXPECT_FALSE(endpoint.isDefault) << Narrow(endpoint.id);
}

TEST(PulseEndpointListTest, WithoutAServerNothingIsListedAndNothingWaits) {
  setenv("PULSE_SERVER", "unix:/nonexistent/ostrel-no-server", 1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(List(false).empty());
  EXPECT_TRUE(List(true).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  unsetenv("PULSE_SERVER");
}

// ---- Recording a window with sound ----

class PulseRecordingTest : public ::testing::Test {
 protected:
  void StartWorld(const std::vector<std::string>& modules) {
    xserver_ = std::make_unique<XServer>(1280, 720);
    ASSERT_TRUE(xserver_->Ready()) << "Xvfb did not start";
    pulse_ = std::make_unique<PulseServer>(modules);
    ASSERT_TRUE(pulse_->Ready()) << pulse_->ReadLog();
    setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);
    LogCapture::Clear();
    Ostrel_SetLogCallback(&LogCapture::Callback);
    ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
    window_ = std::make_unique<TestWindow>(320, 240, TestWindow::Content::Animated);
    for (int i = 0; i < 500 && !window_->Ready(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(window_->Ready());
  }

  void Record(int replaySeconds) {
    ASSERT_EQ(Ostrel_StartCapture(window_->Handle(), false, 0, 30, 2000000, replaySeconds), 0);
  }

  std::string Save() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-pulse-clip-XXXXXX").string();
    scratch_ = mkdtemp(pattern.data());
    wchar_t path[1024] = {};
    EXPECT_EQ(Ostrel_SaveClipNow(scratch_.wstring().c_str(), path, 1024), 0);
    return Narrow(path);
  }

  void TearDown() override {
    Ostrel_StopCapture();
    if (HasFailure()) {
      for (const std::wstring& line : LogCapture::Lines()) std::printf("  log | %s\n", Narrow(line).c_str());
    }
    Ostrel_GlobalShutdown();
    Ostrel_SetLogCallback(nullptr);
    window_.reset();
    pulse_.reset();
    xserver_.reset();
    std::error_code ignored;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
  }

  std::unique_ptr<XServer> xserver_;
  std::unique_ptr<PulseServer> pulse_;
  std::unique_ptr<TestWindow> window_;
  std::filesystem::path scratch_;
};

TEST_F(PulseRecordingTest, NewDefaultSinkWhileRecordingReconnectsTheDesktopAudio) {
  StartWorld({NullSink("speakers_a", "Speakers A"), NullSink("speakers_b", "Speakers B")});
  ASSERT_TRUE(pulse_->SetDefaultSink("speakers_a"));
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  Record(10);
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Speakers A", 10s));
  ASSERT_TRUE(pulse_->SetDefaultSink("speakers_b"));
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Speakers B", 10s));
  const long reconnect = LogCapture::IndexOf(L"[desktop-audio] device changed - reconnecting (reconnect #1)...");
  EXPECT_GE(reconnect, 0);
  EXPECT_LT(reconnect, LogCapture::IndexOf(L"[desktop-audio] device: Speakers B"));
  EXPECT_EQ(LogCapture::Count(L"capture error"), 0u);
}

TEST_F(PulseRecordingTest, RemovedMicrophoneFallsBackToTheDefaultAndTheClipKeepsSound) {
  StartWorld(Concat({{NullSink("speakers", "Speakers")}, ToneSource("builtin", "Built-in Mic", 48000, 2, 440),
                     {NullSink("usb_feed", "USB feed"), "module-sine sink=usb_feed frequency=880"}}));
  const int usb = pulse_->LoadModule(
      "module-remap-source source_name=usb_mic master=usb_feed.monitor source_properties=device.description=USB-Mic");
  ASSERT_GE(usb, 0);
  ASSERT_TRUE(pulse_->SetDefaultSource("builtin"));
  Ostrel_SetAudioSettings(1.0f, 1.0f, true, false, nullptr, L"usb_mic");
  Record(6);
  ASSERT_TRUE(LogCapture::WaitFor(L"[mic-audio] device: USB-Mic", 10s));
  ASSERT_TRUE(pulse_->UnloadModule(usb));
  ASSERT_TRUE(LogCapture::WaitFor(L"[mic-audio] device: Built-in Mic", 10s));
  const long reconnect = LogCapture::IndexOf(L"[mic-audio] device changed - reconnecting (reconnect #1)...");
  const long fallback = LogCapture::IndexOf(
      L"[mic-audio] configured device unavailable (0x80070490) - falling back to system default");
  EXPECT_GE(reconnect, 0);
  EXPECT_GT(fallback, reconnect);
  EXPECT_LT(fallback, LogCapture::IndexOf(L"[mic-audio] device: Built-in Mic"));
  // The built-in microphone's tone (half scale) reaches the clip once its
  // new stream has settled. Quarter seconds: this source's server-made clock
  // wanders and its stamps jump back now and then, and a step in the tone's
  // phase would lower a whole second's measure though the level is right.
  std::this_thread::sleep_for(9s);
  const std::vector<float> audio = DecodeAudio(Save());
  ASSERT_GE(audio.size(), 48000u * 5);
  double best = 0.0;
  for (size_t quarter = 1; quarter <= 16; ++quarter) {
    best = std::max(best, ToneAmplitude(audio, audio.size() - 48000 - 12000 * quarter, 440, 12000));
  }
  EXPECT_NEAR(best, 0.5, 0.1);
}

TEST_F(PulseRecordingTest, MonoMicrophoneAt44kMixesIntoTheClipAtItsPitchAndLevel) {
  StartWorld(Concat({{NullSink("speakers", "Speakers")}, ToneSource("mic44", "Mic 44k", 44100, 1, 440)}));
  ASSERT_TRUE(pulse_->SetDefaultSource("mic44"));
  Ostrel_SetAudioSettings(1.0f, 1.0f, true, false, nullptr, nullptr);
  Record(8);
  ASSERT_TRUE(LogCapture::WaitFor(L"[mic-audio] device: Mic 44k", 10s));
  // Past the feeding null sink's start-up and a whole replay span.
  std::this_thread::sleep_for(12s);
  const std::string clip = Save();
  // The span up to the last cut of the microphone: the chunk being
  // recorded is not in the ring yet.
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel);
    const std::vector<float> audio = DecodeAudio(clip, channel);
    ASSERT_GE(audio.size(), 48000u * 5) << "the clip carries the replay span's recorded sound";
    // The last three whole seconds: the 440 Hz tone at the source's half
    // scale; mono reaches each channel at full level.
    for (size_t second = 1; second <= 3; ++second) {
      SCOPED_TRACE(second);
      const size_t from = audio.size() - 48000 * (second + 1);
      EXPECT_NEAR(ToneAmplitude(audio, from, 440), 0.5, 0.05);
      EXPECT_LT(ToneAmplitude(audio, from, 466), 0.02) << "the pitch stays at 440 Hz";
      EXPECT_LT(ToneAmplitude(audio, from, 880), 0.02);
    }
  }
}

}  // namespace
}  // namespace ostrel::testing
