// Clips shaped by a request (Ostrel_SaveClip) and markers (Ostrel_AddMarker)
// on the fake world, read back from the files: the request checks, one
// audio track per source beside the mix, time recorded after the request,
// discard-on-save, and chapters at the marked moments.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

std::wstring DefaultEndpoint(bool capture) {
  static std::wstring id;
  Ostrel_EnumerateAudioDevices(capture, [](const wchar_t* endpoint, const wchar_t*, bool isDefault) {
    if (isDefault) id = endpoint;
  });
  return id;
}

OstrelClipRequest Request(int seconds, int secondsAfter = 0, uint32_t flags = 0) {
  return OstrelClipRequest{sizeof(OstrelClipRequest), seconds, secondsAfter, flags};
}

// One audio stream of a clip: its title, whether it is the default track,
// its length, and the RMS level of its decoded samples.
struct AudioTrack {
  std::string title;
  bool isDefault = false;
  double durationSeconds = 0;
  double rms = 0;
  std::vector<float> samples;  // interleaved stereo
};

struct Chapter {
  double start = 0, end = 0;
  std::string title;
};

struct ClipTracks {
  double videoSeconds = 0;
  std::vector<AudioTrack> audio;
  std::vector<Chapter> chapters;
};

ClipTracks ReadTracks(const std::string& path) {
  ClipTracks result;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return result;
  }
  avformat_find_stream_info(input, nullptr);
  std::map<int, AVCodecContext*> decoders;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* stream = input->streams[i];
    const double seconds = stream->duration > 0 ? stream->duration * av_q2d(stream->time_base) : 0.0;
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) result.videoSeconds = seconds;
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    AudioTrack track;
    // FFmpeg 5.1 reads the track's name box back as nothing, its handler
    // name as "handler_name"; later versions and MediaInfo read both.
    if (const AVDictionaryEntry* title = av_dict_get(stream->metadata, "title", nullptr, 0)) {
      track.title = title->value;
    } else if (const AVDictionaryEntry* handler = av_dict_get(stream->metadata, "handler_name", nullptr, 0)) {
      track.title = handler->value;
    }
    track.isDefault = (stream->disposition & AV_DISPOSITION_DEFAULT) != 0;
    track.durationSeconds = seconds;
    result.audio.push_back(track);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoder, stream->codecpar);
    avcodec_open2(decoder, codec, nullptr);
    decoders[static_cast<int>(i)] = decoder;
  }
  std::map<int, size_t> trackOf;
  size_t n = 0;
  for (auto& [index, decoder] : decoders) trackOf[index] = n++;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&](int index) {
    AudioTrack& track = result.audio[trackOf[index]];
    while (avcodec_receive_frame(decoders[index], frame) == 0) {
      for (int s = 0; s < frame->nb_samples; ++s) {
        for (int c = 0; c < 2 && c < frame->ch_layout.nb_channels; ++c) {
          track.samples.push_back(reinterpret_cast<const float*>(frame->extended_data[c])[s]);
        }
      }
    }
  };
  while (av_read_frame(input, packet) >= 0) {
    if (decoders.count(packet->stream_index) != 0) {
      avcodec_send_packet(decoders[packet->stream_index], packet);
      drain(packet->stream_index);
    }
    av_packet_unref(packet);
  }
  for (auto& [index, decoder] : decoders) {
    avcodec_send_packet(decoder, nullptr);
    drain(index);
    avcodec_free_context(&decoder);
  }
  for (AudioTrack& track : result.audio) {
    double sum = 0;
    for (float x : track.samples) sum += double{x} * x;
    track.rms = track.samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(track.samples.size()));
  }
  for (unsigned i = 0; i < input->nb_chapters; ++i) {
    const AVChapter* chapter = input->chapters[i];
    Chapter read{chapter->start * av_q2d(chapter->time_base), chapter->end * av_q2d(chapter->time_base), ""};
    if (const AVDictionaryEntry* title = av_dict_get(chapter->metadata, "title", nullptr, 0)) read.title = title->value;
    result.chapters.push_back(read);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avformat_close_input(&input);
  return result;
}

// What `ffprobe -show_chapters` lists (empty when ffprobe is missing).
std::string FfprobeChapters(const std::string& path) {
  std::string command = "ffprobe -v error -show_chapters -of compact '" + path + "' 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  return out;
}

// The "t=" of the line that holds `text`, in seconds.
double LoggedTicksSeconds(const std::wstring& text) {
  const auto lines = LogCapture::Matching(text);
  if (lines.empty()) return -1;
  const size_t at = lines.back().find(L"t=");
  return at == std::wstring::npos ? -1 : std::stod(lines.back().substr(at + 2));
}

class ClipRequestTest : public ExportTest {
 protected:
  std::string Save(const OstrelClipRequest& request, int expected = 0) {
    wchar_t path[4096] = L"";
    const int result = Ostrel_SaveClip(&request, Scratch().wstring().c_str(), path, 4096);
    EXPECT_EQ(result, expected);
    return result == 0 ? Narrow(path) : std::string();
  }
  size_t ClipFiles() {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(Scratch())) count += entry.is_regular_file() ? 1 : 0;
    return count;
  }
};

// Bad requests get 9 and do nothing; the state codes are those of the other
// save exports; a request from a later version (larger size) is taken.
TEST_F(ClipRequestTest, RequestsAndLabelsAreCheckedBeforeAnythingHappens) {
  const std::wstring folder = Scratch().wstring();
  OstrelClipRequest good = Request(0);
  EXPECT_EQ(Ostrel_SaveClip(&good, folder.c_str(), nullptr, 0), 6);  // not initialised
  EXPECT_EQ(Ostrel_AddMarker(L"x"), 6);
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  EXPECT_EQ(Ostrel_SaveClip(&good, folder.c_str(), nullptr, 0), 2);  // not capturing
  EXPECT_EQ(Ostrel_AddMarker(L"x"), 2);
  StartRecording(360, 30, 10);
  Sleep(2.5);

  EXPECT_EQ(Ostrel_SaveClip(nullptr, folder.c_str(), nullptr, 0), 9);
  OstrelClipRequest small = good;
  small.size = sizeof(OstrelClipRequest) - 1;
  EXPECT_EQ(Ostrel_SaveClip(&small, folder.c_str(), nullptr, 0), 9);
  OstrelClipRequest unknownFlag = Request(0, 0, 0x4u);
  EXPECT_EQ(Ostrel_SaveClip(&unknownFlag, folder.c_str(), nullptr, 0), 9);
  for (int after : {-1, 61}) {
    OstrelClipRequest bad = Request(0, after);
    EXPECT_EQ(Ostrel_SaveClip(&bad, folder.c_str(), nullptr, 0), 9) << after;
  }
  EXPECT_EQ(Ostrel_SaveClip(&unknownFlag, nullptr, nullptr, 0), 9);  // the request is checked first
  EXPECT_EQ(Ostrel_SaveClip(&good, nullptr, nullptr, 0), 6);
  EXPECT_EQ(ClipFiles(), 0u);

  const std::wstring longest(255, L'm');
  EXPECT_EQ(Ostrel_AddMarker(longest.c_str()), 0);
  EXPECT_EQ(Ostrel_AddMarker((longest + L"m").c_str()), 9);
  EXPECT_EQ(Ostrel_AddMarker(nullptr), 0);
  EXPECT_EQ(Ostrel_AddMarker(L""), 0);

  // A later version's struct, larger, with its known fields first.
  struct {
    OstrelClipRequest first;
    uint64_t later;
  } grown{Request(2), 0xFFFFFFFFFFFFFFFFull};
  grown.first.size = sizeof grown;
  wchar_t path[4096];
  ASSERT_EQ(Ostrel_SaveClip(&grown.first, folder.c_str(), path, 4096), 0);
  EXPECT_NEAR(ProbeClip(Narrow(path), false).durationSeconds, 2.0, 1.0 / 30 + 1e-3);
  // The older exports are the same call: SaveClipSeconds(1) is 1 s.
  ASSERT_EQ(Ostrel_SaveClipSeconds(1, folder.c_str(), path, 4096), 0);
  EXPECT_NEAR(ProbeClip(Narrow(path), false).durationSeconds, 1.0, 1.0 / 30 + 1e-3);
}

// A tone only the desktop plays is in the mix and the desktop track and
// silent in the microphone track, and the other way round; the source
// tracks are unscaled (the mix follows the volume), a muted source is
// silent in its own track, and every track lasts as long as the video.
// Both ways of getting the audio carry the tracks: the mix encoded while
// recording, and the save-time mix right after a volume change.
TEST_F(ClipRequestTest, SeparateTracksHoldEachSourceOnItsOwnBesideTheMix) {
  const std::wstring desktop = DefaultEndpoint(false), mic = DefaultEndpoint(true);
  OstrelSim_SetAudioSignal(desktop.c_str(), 1, 440.0, 0.5);
  OstrelSim_SetAudioSignal(mic.c_str(), 0, 0, 0);
  StartRecording(360, 30, 4);
  Ostrel_SetAudioSettings(1.0f, 1.0f, false, false, nullptr, nullptr);
  Sleep(6.5);
  auto check = [&](const char* what, const std::string& file, double desktopLevel, double micLevel,
                   double mixLevel) {
    SCOPED_TRACE(what);
    const ClipTracks clip = ReadTracks(file);
    ASSERT_EQ(clip.audio.size(), 3u);
    EXPECT_EQ(clip.audio[0].title, "Mix");
    EXPECT_EQ(clip.audio[1].title, "Desktop audio");
    EXPECT_EQ(clip.audio[2].title, "Microphone");
    EXPECT_TRUE(clip.audio[0].isDefault);
    EXPECT_FALSE(clip.audio[1].isDefault);
    EXPECT_FALSE(clip.audio[2].isDefault);
    for (const AudioTrack& track : clip.audio) {
      EXPECT_NEAR(track.durationSeconds, clip.videoSeconds, 1024.0 / 48000 + 1.0 / 30) << track.title;
      EXPECT_EQ(track.samples.size(), clip.audio[0].samples.size()) << track.title;
    }
    // A sine of amplitude a has an RMS of a / sqrt(2).
    EXPECT_NEAR(clip.audio[1].rms, desktopLevel / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(clip.audio[2].rms, micLevel / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(clip.audio[0].rms, mixLevel / std::sqrt(2.0), 0.05);
    EXPECT_EQ(FfmpegDecodeErrors(file), "");
  };
  const OstrelClipRequest tracks = Request(3, 0, OSTREL_CLIP_SEPARATE_AUDIO_TRACKS);
  check("desktop tone, pre-encoded", Save(tracks), 0.5, 0.0, 0.5);
  EXPECT_EQ(LogCapture::Count(L"stage=audio-pre-encoded"), 1u);

  // Swap the tone over; after a replay length the running mix serves again.
  OstrelSim_SetAudioSignal(desktop.c_str(), 0, 0, 0);
  OstrelSim_SetAudioSignal(mic.c_str(), 1, 880.0, 0.4);
  Sleep(5.0);
  check("microphone tone, pre-encoded", Save(tracks), 0.0, 0.4, 0.4);
  EXPECT_EQ(LogCapture::Count(L"stage=audio-pre-encoded"), 2u);

  // Half volume: the mix halves, the microphone's own track does not. Right
  // after the change the save mixes and encodes at save time.
  Ostrel_SetAudioSettings(1.0f, 0.5f, false, false, nullptr, nullptr);
  check("half microphone volume, save-time", Save(tracks), 0.0, 0.4, 0.2);
  EXPECT_EQ(LogCapture::Count(L"stage=audio-encoded"), 1u);
  Sleep(5.0);
  check("half microphone volume, pre-encoded", Save(tracks), 0.0, 0.4, 0.2);

  // Muted at the save: silent in its own track too.
  Ostrel_SetAudioSettings(1.0f, 0.5f, false, true, nullptr, nullptr);
  check("microphone muted", Save(tracks), 0.0, 0.0, 0.0);

  // Without the flag: one track, as ever.
  EXPECT_EQ(ReadTracks(Save(Request(2))).audio.size(), 1u);
}

// The clip covers `seconds` before the call and `secondsAfter` after it:
// every flash of the fake world (at multiples of 1 s on the tick clock) is
// at its own time in the clip, those after the call included, and the
// clip lasts exactly the two together, here more than the replay length;
// its audio still comes from the mix encoded while recording. Progress
// says "waiting" meanwhile.
TEST_F(ClipRequestTest, SecondsAfterRecordsPastTheCallWithExactEnds) {
  if (kInstrumentedBuild) GTEST_SKIP() << "frame timing is measured in optimised builds only";
  OstrelSim_SetSyncMarks(1000);
  StartRecording(360, 30, 4);
  Sleep(7.0);  // past the capture's first seconds, as in the other pre-encoded checks
  std::atomic<bool> done{false};
  std::atomic<int> waitingSeen{0}, lastDone{0}, waitTotal{0};
  std::thread watcher([&] {
    while (!done.load()) {
      int stage = 0, progressDone = 0, total = 0;
      if (Ostrel_GetSaveProgress(&stage, &progressDone, &total) && stage == 5) {
        ++waitingSeen;
        lastDone.store(progressDone);
        waitTotal.store(total);
      }
      Sleep(0.05);
    }
  });
  const auto called = SteadyClock::now();
  const std::string file = Save(Request(4, 5));
  const double took = std::chrono::duration<double>(SteadyClock::now() - called).count();
  done.store(true);
  watcher.join();
  EXPECT_GE(took, 5.0);
  EXPECT_GT(waitingSeen.load(), 20);
  EXPECT_EQ(waitTotal.load(), 5000);
  EXPECT_GT(lastDone.load(), 4500);

  const double request = LoggedTicksSeconds(L"SaveClip: recording 5 s after the request at t=");
  ASSERT_GT(request, 0.0);
  const ClipInfo clip = ProbeClip(file, /*decode=*/true);
  EXPECT_NEAR(clip.durationSeconds, 9.0, 1.0 / 30 + 1e-3);
  EXPECT_NEAR(clip.audio.durationSeconds, 9.0, 1024.0 / 48000 + 1.0 / 30);
  EXPECT_EQ(LogCapture::Count(L"stage=audio-pre-encoded"), 1u);
  EXPECT_EQ(FfmpegDecodeErrors(file), "");
  const double zero = request - 4.0;  // clip zero: the frame slot that holds it
  const auto flashes = FlashOnsets(clip.video);
  ASSERT_GE(flashes.size(), 6u);  // of 8 or 9: a loaded machine may miss one 50 ms flash
  size_t afterCall = 0;
  for (double flash : flashes) {
    const double expected = std::ceil(zero + flash - 0.5) - zero;  // the whole second it shows
    EXPECT_GE(flash - expected, -0.04) << flash;
    // Clip zero lies up to a frame before the span's start, the flash shows
    // from the next frame on, and a loaded machine delivers a frame late.
    EXPECT_LE(flash - expected, 0.11) << flash;
    afterCall += flash > 4.0 ? 1 : 0;
  }
  EXPECT_GE(afterCall, 3u);
}

// A stop, a shutdown or a device loss during the wait ends it at once: the
// call returns the clip of what was recorded up to then.
TEST_F(ClipRequestTest, StopShutdownOrDeviceLossDuringTheWaitEndItWithTheRecordedClip) {
  StartRecording(360, 30, 10);
  Sleep(3.0);
  auto waitingSave = [&] {
    return std::async(std::launch::async, [&] {
      wchar_t path[4096] = L"";
      OstrelClipRequest request = Request(2, 60);
      const int result = Ostrel_SaveClip(&request, Scratch().wstring().c_str(), path, 4096);
      return std::make_pair(result, Narrow(path));
    });
  };
  {
    auto save = waitingSave();
    Sleep(1.5);
    const auto stopping = SteadyClock::now();
    Ostrel_StopCapture();
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - stopping).count(), 5.0);
    ASSERT_EQ(save.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto [result, file] = save.get();
    EXPECT_EQ(result, 0);
    EXPECT_NEAR(ProbeClip(file, false).durationSeconds, 3.5, 0.3);
    EXPECT_EQ(LogCapture::Count(L"SaveClip: the wait after the request ended early"), 1u);
  }
  {
    void* window = OstrelSim_CreateWindow(1280, 720);
    ASSERT_EQ(Ostrel_StartCapture(window, false, 360, 30, 4000000, 10), 0);
    Sleep(3.0);
    auto save = waitingSave();
    Sleep(1.0);
    // The watchdog finds the loss within 3 s and restarts the capture; the
    // rings are cleared, the save keeps what it held. The device is back
    // once the loss is seen (as after a driver reset), whenever the save
    // ends: an instrumented build's save may outlast the restart.
    OstrelSim_LoseDevice(0x887A0005);
    ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: GPU device lost", std::chrono::seconds(10)));
    OstrelSim_LoseDevice(0);
    ASSERT_EQ(save.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [result, file] = save.get();
    EXPECT_EQ(result, 0);
    const ClipInfo clip = ProbeClip(file, true);
    EXPECT_GT(clip.durationSeconds, 2.5);
    EXPECT_LT(clip.durationSeconds, 7.0);
    EXPECT_EQ(FfmpegDecodeErrors(file), "");
    EXPECT_EQ(LogCapture::Count(L"SaveClip: the wait after the request ended early"), 2u);
  }
  {
    // A restart builds its encoders anew, which a loaded or instrumented
    // build may take well over ten seconds to do.
    ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: capture automatically recovered", std::chrono::seconds(30)));
    Sleep(3.0);
    auto save = waitingSave();
    Sleep(1.0);
    const auto stopping = SteadyClock::now();
    Ostrel_GlobalShutdown();
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - stopping).count(), 5.0);
    const auto [result, file] = save.get();
    EXPECT_EQ(result, 0);
    EXPECT_NEAR(ProbeClip(file, false).durationSeconds, 3.0, 0.3);
  }
}

// After a clip saved with discard-on-save, the next clip starts where it
// ended: the flashes of the two, laid end to end, stay a second apart; a
// save that would hold nothing newer gets 10 and writes nothing.
TEST_F(ClipRequestTest, DiscardOnSaveLetsNoLaterClipReachBeforeItsEnd) {
  OstrelSim_SetSyncMarks(500);
  StartRecording(360, 30, 10);
  Sleep(4.0);
  const auto firstCall = SteadyClock::now();
  const std::string first = Save(Request(3, 0, OSTREL_CLIP_DISCARD_SAVED));
  Sleep(1.6);
  const auto secondCall = SteadyClock::now();
  const std::string second = Save(Request(8));
  const double between = std::chrono::duration<double>(secondCall - firstCall).count();
  const ClipInfo a = ProbeClip(first, true), b = ProbeClip(second, true);
  EXPECT_NEAR(a.durationSeconds, 3.0, 1.0 / 30 + 1e-3);
  EXPECT_NEAR(b.durationSeconds, between, 2.0 / 30);
  // The sound of the two, laid end to end, keeps the clicks half a second
  // apart: the second clip starts on the frame slot where the first one
  // ends, so the join neither repeats nor leaves out anything. (The sound,
  // placed by the device's clock, shows this to the sample, where a loaded
  // machine may show a flash frames late.)
  AudioStreamInfo sound = a.audio;
  sound.peak.resize(static_cast<size_t>(std::llround(a.audio.durationSeconds * a.audio.sampleRate)));
  sound.peak.insert(sound.peak.end(), b.audio.peak.begin(), b.audio.peak.end());
  const std::vector<double> clicks = ClickOnsets(sound);
  ASSERT_GE(clicks.size(), 8u);
  for (size_t i = 1; i < clicks.size(); ++i) {
    EXPECT_NEAR(clicks[i] - clicks[i - 1], 0.5, 0.002) << "click at " << clicks[i] << " s";
  }
  // The pictures laid end to end (before the flashes are found: a flash the
  // first clip cut in two goes on at the start of the second) show no flash
  // twice: a repeat would follow its first showing by the overlap, where a
  // flash a loaded machine showed late (by up to three frames under a
  // sanitizer) is still far from its neighbours.
  VideoStreamInfo both = a.video;
  for (size_t i = 0; i < b.video.frameMeanLuma.size(); ++i) {
    both.framePtsSeconds.push_back(a.durationSeconds + b.video.framePtsSeconds[i]);
    both.frameMeanLuma.push_back(b.video.frameMeanLuma[i]);
  }
  const std::vector<double> joined = FlashOnsets(both);
  ASSERT_GE(joined.size(), kInstrumentedBuild ? 4u : 8u);
  for (size_t i = 1; i < joined.size(); ++i) EXPECT_GT(joined[i] - joined[i - 1], 0.25) << i;

  // A save asked for while a discarding one waits: everything it could
  // hold lies before that clip's end.
  auto waiting = std::async(std::launch::async, [&] { return Save(Request(3, 2, OSTREL_CLIP_DISCARD_SAVED)); });
  Sleep(0.5);
  const size_t before = ClipFiles();
  Save(Request(3), 10);
  EXPECT_EQ(LogCapture::Count(L"Nothing new since the last clip saved with discard - save ignored."), 1u);
  EXPECT_FALSE(waiting.get().empty());
  EXPECT_EQ(ClipFiles(), before + 1);
}

// Every clip that spans a marker has a chapter there, titled with its
// label, up to the next marker or the clip's end; FFmpeg's tools list them.
// Markers before the clip are not in it, and a stop takes them away.
TEST_F(ClipRequestTest, MarkersBecomeChaptersOfTheClipsThatSpanThem) {
  StartRecording(360, 30, 10);
  Sleep(2.5);
  ASSERT_EQ(Ostrel_AddMarker(L"too early"), 0);
  Sleep(1.0);
  const auto firstMark = SteadyClock::now();
  ASSERT_EQ(Ostrel_AddMarker(L"first"), 0);
  Sleep(0.8);
  const auto secondMark = SteadyClock::now();
  ASSERT_EQ(Ostrel_AddMarker(nullptr), 0);
  Sleep(0.6);
  const auto thirdMark = SteadyClock::now();
  ASSERT_EQ(Ostrel_AddMarker(L"caf\u00e9 \u2713 \U0001F3AE"), 0);
  Sleep(0.5);
  const auto called = SteadyClock::now();
  const std::string file = Save(Request(2));
  const ClipTracks clip = ReadTracks(file);
  // An untitled chapter from the start, then one per marker in the clip.
  ASSERT_EQ(clip.chapters.size(), 4u);
  auto at = [&](SteadyClock::time_point mark) {
    return 2.0 - std::chrono::duration<double>(called - mark).count();
  };
  const double frame = 1.0 / 30;
  EXPECT_EQ(clip.chapters[0].start, 0.0);
  EXPECT_EQ(clip.chapters[0].title, "");
  EXPECT_NEAR(clip.chapters[1].start, at(firstMark), frame + 0.005);
  EXPECT_NEAR(clip.chapters[2].start, at(secondMark), frame + 0.005);
  EXPECT_NEAR(clip.chapters[3].start, at(thirdMark), frame + 0.005);
  EXPECT_EQ(clip.chapters[1].title, "first");
  EXPECT_EQ(clip.chapters[2].title, "");
  EXPECT_EQ(clip.chapters[3].title, "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x8e\xae");
  EXPECT_NEAR(clip.chapters[0].end, clip.chapters[1].start, 0.002);
  EXPECT_NEAR(clip.chapters[1].end, clip.chapters[2].start, 0.002);
  EXPECT_NEAR(clip.chapters[3].end, clip.videoSeconds, frame);
  const std::string listed = FfprobeChapters(file);
  if (!listed.empty()) {
    EXPECT_NE(listed.find("title=first"), std::string::npos) << listed;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 4) << listed;
  }
  EXPECT_EQ(FfmpegDecodeErrors(file), "");

  // The replay holds at most OSTREL_MAX_MARKERS (four of them already).
  int added = 4;
  while (added < OSTREL_MAX_MARKERS && Ostrel_AddMarker(L"m") == 0) ++added;
  EXPECT_EQ(added, OSTREL_MAX_MARKERS);
  EXPECT_EQ(Ostrel_AddMarker(L"one more"), 11);

  // A stop takes the markers with the video.
  Ostrel_StopCapture();
  void* window = OstrelSim_CreateWindow(1280, 720);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 360, 30, 4000000, 10), 0);
  Sleep(2.5);
  EXPECT_TRUE(ReadTracks(Save(Request(0))).chapters.empty());
  EXPECT_EQ(Ostrel_AddMarker(L"after"), 0);
}

}  // namespace
}  // namespace ostrel::testing
