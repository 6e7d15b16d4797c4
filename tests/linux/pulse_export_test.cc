// The Linux library's sound through its exports, with a PulseAudio server
// (and, to record, an Xvfb window) of each test's own: the endpoint list,
// reconnection on a new default sink and after a server restart, falling
// back from a removed microphone, a 44.1 kHz mono microphone mixed into the
// clip, separate audio tracks from a sink and a source, and no server at all.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "linux/library_fixture.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

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

// One channel of the clip's (stereo, 48 kHz) audio, decoded by the FFmpeg
// tool without any remixing.
std::vector<float> DecodeAudio(const std::string& clip, int channel = 0, int track = 0) {
  std::vector<float> samples;
  FILE* pipe = popen(("ffmpeg -v error -i '" + clip + "' -map 0:a:" + std::to_string(track) +
                      " -f f32le - 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return samples;
  float frame[2];
  while (fread(frame, sizeof(float), 2, pipe) == 2) samples.push_back(frame[channel]);
  pclose(pipe);
  return samples;
}

// Amplitude of the sine at `frequency` in `length` samples (one second by
// default) from `from`, Hann-weighted: the clip follows the source's learnt
// clock, and while the mix slews out a drift its pitch may sit a fraction of
// a percent off for a second or two (inaudible); an unweighted quarter second
// reads 1 Hz off as a tenth less level, a weighted one as 4 % less.
double ToneAmplitude(const std::vector<float>& samples, size_t from, double frequency, size_t length = 48000) {
  const double w = 2.0 * std::numbers::pi * frequency / 48000.0;
  double re = 0.0;
  double im = 0.0;
  double weights = 0.0;
  for (size_t n = 0; n < length; ++n) {
    const double hann =
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / static_cast<double>(length));
    re += hann * samples[from + n] * std::cos(w * static_cast<double>(n));
    im -= hann * samples[from + n] * std::sin(w * static_cast<double>(n));
    weights += hann;
  }
  return 2.0 * std::hypot(re, im) / weights;
}

// ---- The endpoint list ----

TEST(PulseEndpointListTest, ListsSinksAndSourcesWithoutMonitorsAndFollowsTheDefaults) {
  PulseServer server(Concat({{NullSink("speakers_a", "Speakers A"), NullSink("speakers_b", "Speakers B")},
                             ToneSource("mic_a", "Mic A", 48000, 1, 440),
                             ToneSource("mic_b", "Mic B", 44100, 2, 880)}));
  ASSERT_TRUE(server.Ready()) << server.ReadLog();
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

class PulseRecordingTest : public LibraryTest {
 protected:
  void Record(int replaySeconds) {
    TestWindow& window = OpenWindow(320, 240);
    ASSERT_EQ(Ostrel_StartCapture(window.Handle(), false, 0, 30, 2000000, replaySeconds), 0);
  }
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
    // scale; mono reaches each channel at full level. The level is read over
    // quarter seconds: the clip follows this source's wandering clock, and a
    // pitch a fraction of a hertz off would lower a whole second's measure.
    for (size_t second = 1; second <= 3; ++second) {
      SCOPED_TRACE(second);
      const size_t from = audio.size() - 48000 * (second + 1);
      for (size_t quarter = 0; quarter < 4; ++quarter) {
        EXPECT_NEAR(ToneAmplitude(audio, from + 12000 * quarter, 440, 12000), 0.5, 0.05);
      }
      EXPECT_LT(ToneAmplitude(audio, from, 466), 0.02) << "the pitch stays at 440 Hz";
      EXPECT_LT(ToneAmplitude(audio, from, 880), 0.02);
    }
  }
}

// A clip with separate audio tracks from a real sink (an 880 Hz tone played
// into it, half scale) and a real source (440 Hz, half scale): the mix at
// the volumes holds both, each source's own track only its own tone,
// unscaled, and every track is as long as the mix.
TEST_F(PulseRecordingTest, SeparateTracksCarryTheSinkAndTheSourceEachOnItsOwn) {
  StartWorld(Concat({{NullSink("speakers", "Speakers"), "module-sine sink=speakers frequency=880"},
                     ToneSource("mic", "Mic", 48000, 1, 440)}));
  ASSERT_TRUE(pulse_->SetDefaultSink("speakers"));
  ASSERT_TRUE(pulse_->SetDefaultSource("mic"));
  Ostrel_SetAudioSettings(0.5f, 0.5f, false, false, nullptr, nullptr);
  Record(6);
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Speakers", 10s));
  ASSERT_TRUE(LogCapture::WaitFor(L"[mic-audio] device: Mic", 10s));
  std::this_thread::sleep_for(9s);
  const OstrelClipRequest request{sizeof(OstrelClipRequest), 4, 0, OSTREL_CLIP_SEPARATE_AUDIO_TRACKS};
  wchar_t path[1024] = {};
  ASSERT_EQ(Ostrel_SaveClip(&request, Scratch().wstring().c_str(), path, 1024), 0);
  const std::string clip = Narrow(path);
  const std::vector<float> mix = DecodeAudio(clip, 0, 0), desktop = DecodeAudio(clip, 0, 1),
                           mic = DecodeAudio(clip, 0, 2);
  ASSERT_GE(mix.size(), 48000u * 3);
  EXPECT_EQ(desktop.size(), mix.size());
  EXPECT_EQ(mic.size(), mix.size());
  // Quarter seconds over the last two: these sources' clocks wander a little.
  for (size_t quarter = 1; quarter <= 8; ++quarter) {
    SCOPED_TRACE(quarter);
    const size_t from = mix.size() - 12000 * (quarter + 1);
    EXPECT_NEAR(ToneAmplitude(mix, from, 880, 12000), 0.25, 0.05);
    EXPECT_NEAR(ToneAmplitude(mix, from, 440, 12000), 0.25, 0.05);
    EXPECT_NEAR(ToneAmplitude(desktop, from, 880, 12000), 0.5, 0.08);
    EXPECT_LT(ToneAmplitude(desktop, from, 440, 12000), 0.02);
    EXPECT_NEAR(ToneAmplitude(mic, from, 440, 12000), 0.5, 0.08);
    EXPECT_LT(ToneAmplitude(mic, from, 880, 12000), 0.02);
  }
}

TEST_F(PulseRecordingTest, ARestartedServerIsRecordedAgain) {
  StartWorld({NullSink("sink_a", "Sink A")});
  ASSERT_TRUE(pulse_->SetDefaultSink("sink_a"));
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  Record(10);
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Sink A", 10s));
  ASSERT_TRUE(pulse_->Restart()) << pulse_->ReadLog();
  EXPECT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Sink A", 10s, 2));
  // The stream's loss and the missing server are retried, never given up.
  for (const std::wstring& line : LogCapture::Matching(L"capture error")) {
    EXPECT_TRUE(line.ends_with(L" - retrying...")) << Narrow(line);
  }
  EXPECT_TRUE(Ostrel_IsCapturing());
}

// The sound server gone for longer than the replay: the clip keeps its
// audio track, silent, and the save says why.
TEST_F(PulseRecordingTest, AServerDownLongerThanTheReplayLeavesASilentTrack) {
  StartWorld({NullSink("speakers", "Speakers")});
  ASSERT_TRUE(pulse_->SetDefaultSink("speakers"));
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  Record(3);
  ASSERT_TRUE(LogCapture::WaitFor(L"[desktop-audio] device: Speakers", 10s));
  std::this_thread::sleep_for(1s);
  pulse_->Stop();
  std::this_thread::sleep_for(5s);
  const std::string file = Save();
  ASSERT_FALSE(file.empty());
  const std::vector<float> audio = DecodeAudio(file);
  EXPECT_NEAR(static_cast<double>(audio.size()) / 48000.0, 3.0, 0.1) << "the whole span, as silence";
  EXPECT_EQ(std::count_if(audio.begin(), audio.end(), [](float sample) { return sample != 0.0f; }), 0);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no desktop audio was recorded in the clip's span (its capture was "
                              L"unavailable) - silent in the clip."),
            1u);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no microphone audio"), 0u) << "muted at the start: not missed";
}

// Without a sound server nothing is listed (at once), and recording goes on
// without sound, saying why.
TEST_F(PulseRecordingTest, WithoutAServerNothingIsListedAndThePictureIsRecorded) {
  xserver_ = std::make_unique<XServer>(1280, 720);
  ASSERT_TRUE(xserver_->Ready());
  setenv("PULSE_SERVER", "unix:/nonexistent/ostrel-no-server", 1);
  const auto started = Clock::now();
  EXPECT_TRUE(List(false).empty());
  EXPECT_TRUE(List(true).empty());
  EXPECT_LT(Clock::now() - started, 2s);
  setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);
  LogCapture::Clear();
  Ostrel_SetLogCallback(&LogCapture::Callback);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  Record(10);
  EXPECT_TRUE(LogCapture::WaitFor(
      L"[desktop-audio] audio capture unavailable: 0x88890010 (The audio service is not running.)", 5s));
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(Ostrel_IsCapturing());
  const std::string file = Save();
  EXPECT_FALSE(file.empty());
  // The desktop audio was on: its track is there, silent.
  const std::vector<float> audio = DecodeAudio(file);
  EXPECT_GE(audio.size(), 48000u * 2);
  EXPECT_EQ(std::count_if(audio.begin(), audio.end(), [](float sample) { return sample != 0.0f; }), 0);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no desktop audio was recorded"), 1u);
  unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace ostrel::testing
