// Saving through the exports while capture runs: result codes, the path
// buffer, progress, failures that lose nothing, and clips that FFmpeg reads
// without a single error.
#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <memory>
#include <vector>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

namespace fs = std::filesystem;

using SaveExportTest = ExportTest;

// The clip holds the replay length up to the request, as H.264 and 48 kHz
// stereo AAC that FFmpeg decodes without an error. Its audio comes from the
// mix encoded while recording; right after a volume change the save mixes
// and encodes it itself, and a replay length later the running mix serves
// again. Each clip has its whole audio track.
TEST_F(SaveExportTest, AudioEncodedWhileRecordingServesCleanClipsExceptRightAfterAVolumeChange) {
  StartRecording(360, 30, 4);
  Sleep(7.0);  // past the replay length and a segment more
  auto save = [&](const wchar_t* stage) {
    const size_t before = LogCapture::Count(stage);
    const std::string file = SaveClip();
    EXPECT_EQ(LogCapture::Count(stage), before + 1) << Narrow(stage);
    ClipInfo clip = ProbeClip(file, /*decode=*/true);
    EXPECT_NEAR(clip.durationSeconds, 4.0, 1.0 / 30 + 1e-3);
    EXPECT_NEAR(clip.audio.durationSeconds, 4.0, 1024.0 / 48000 + 1.0 / 30);
    EXPECT_NEAR(clip.audio.firstSampleSeconds, 0.0, 1e-3);
    EXPECT_EQ(FfmpegDecodeErrors(file), "");
    return std::make_pair(file, clip);
  };
  const auto [file, clip] = save(L"stage=audio-pre-encoded");
  EXPECT_EQ(fs::path(file).parent_path(), Scratch());
  EXPECT_EQ(fs::path(file).filename().string().rfind("clip_", 0), 0u);
  EXPECT_EQ(LogCapture::Count(L"Saved clip: ~"), 1u);
  EXPECT_EQ(clip.streamCount, 2);
  EXPECT_EQ(clip.video.codec, "h264");
  EXPECT_EQ(clip.video.width, 640);
  EXPECT_EQ(clip.video.height, 360);
  EXPECT_EQ(clip.audio.codec, "aac");
  EXPECT_EQ(clip.audio.sampleRate, 48000);
  EXPECT_EQ(clip.audio.channels, 2);
  EXPECT_NEAR(static_cast<double>(clip.audio.bitRate), 128000.0, 16000.0);
  for (size_t i = 1; i < clip.video.packets.size(); ++i) {
    EXPECT_GT(clip.video.packets[i].dtsSeconds, clip.video.packets[i - 1].dtsSeconds);
  }
  Ostrel_SetAudioSettings(0.6f, 0.9f, false, false, nullptr, nullptr);
  save(L"stage=audio-encoded");
  Sleep(6.0);
  save(L"stage=audio-pre-encoded");
  EXPECT_EQ(LogCapture::Count(L"stage=audio-encoded"), 1u);
  // Every AAC encoder is drained before it closes, the running one at the
  // stop too: FFmpeg never reports frames left in its queue.
  Ostrel_StopCapture();
  ASSERT_TRUE(LogCapture::WaitFor(L"Capture stopped.", std::chrono::seconds(1)));
  for (const std::wstring& line : LogCapture::Matching(L"frames left in the queue")) {
    ADD_FAILURE() << Narrow(line.c_str());
  }
}

TEST_F(SaveExportTest, FailuresLoseNothingAndPathBufferRulesHold) {
  StartRecording(360, 30, 30);
  // Nothing buffered yet: no folder and no file.
  const fs::path notYet = Scratch() / "not-yet";
  EXPECT_EQ(Ostrel_SaveClipNow(notYet.wstring().c_str(), nullptr, 0), 8);
  EXPECT_EQ(LogCapture::Count(L"Nothing buffered yet - save ignored."), 1u);
  EXPECT_FALSE(fs::exists(notYet));
  int stage = 9;
  EXPECT_FALSE(Ostrel_GetSaveProgress(&stage, nullptr, nullptr));
  EXPECT_EQ(stage, 0);
  Sleep(4.5);
  // Each folder that cannot take a clip: the failure line keeps its words,
  // the line before it names the full path and the system's reason.
  const fs::path blocker = Scratch() / "a-file";
  std::fclose(std::fopen(blocker.c_str(), "w"));
  const std::vector<std::pair<fs::path, std::wstring>> folders{
      {Scratch() / "missing-parent" / "clips", L": No such file or directory"},
      {blocker / "clips", L": Not a directory"},
      {Scratch() / std::string(300, 'n'), L": File name too long"},
  };
  for (const auto& [folder, reason] : folders) {
    LogCapture::Clear();
    EXPECT_EQ(Ostrel_SaveClipNow(folder.wstring().c_str(), nullptr, 0), 5);
    const std::vector<std::wstring> lines = LogCapture::Lines();
    // Worker lines may come between the two; the reason comes first.
    const long reasonAt = LogCapture::IndexOf(L"SaveClipNow: cannot create ");
    ASSERT_GE(reasonAt, 0);
    const auto failed = std::find(lines.begin() + reasonAt, lines.end(),
                                  L"SaveClipNow() failed: avio_open2 failed for output file");
    EXPECT_NE(failed, lines.end()) << folder;
    const std::wstring& reasonLine = lines[static_cast<size_t>(reasonAt)];
    EXPECT_EQ(reasonLine.rfind(L"SaveClipNow: cannot create " + folder.wstring() + L"/clip_", 0), 0u) << folder;
    EXPECT_TRUE(reasonLine.ends_with(reason)) << Narrow(reasonLine.c_str());
  }
  EXPECT_TRUE(Ostrel_IsCapturing());
  // An empty folder is no folder; a name with a lone surrogate cannot be
  // written under its own name.
  EXPECT_EQ(Ostrel_SaveClipNow(L"", nullptr, 0), 6);
  const std::wstring surrogate = (Scratch() / "x").wstring() + wchar_t(0xD800);
  EXPECT_EQ(Ostrel_SaveClipNow(surrogate.c_str(), nullptr, 0), 5);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow() failed: the output folder's name holds an unpaired surrogate"), 1u);
  // A relative folder is taken from the working folder and the full path
  // comes back.
  const fs::path workingFolder = fs::current_path();
  fs::current_path(Scratch());
  wchar_t fullPath[4096];
  EXPECT_EQ(Ostrel_SaveClipNow(L"relative", fullPath, 4096), 0);
  fs::current_path(workingFolder);
  EXPECT_EQ(fs::path(fullPath).parent_path(), Scratch() / "relative");
  EXPECT_TRUE(fs::exists(fullPath));

  // A short buffer gets the path cut to capacity - 1 characters.
  wchar_t shortPath[10];
  std::wmemset(shortPath, L'#', 10);
  ASSERT_EQ(Ostrel_SaveClipNow(Scratch().wstring().c_str(), shortPath, 10), 0);
  EXPECT_EQ(std::wcslen(shortPath), 9u);
  EXPECT_EQ(std::wstring(shortPath), Scratch().wstring().substr(0, 9));
  // No buffer at all still saves; two saves in one second never collide.
  EXPECT_EQ(Ostrel_SaveClipNow(Scratch().wstring().c_str(), nullptr, 0), 0);
  EXPECT_EQ(Ostrel_SaveClipNow(Scratch().wstring().c_str(), shortPath, 0), 0);
  size_t clips = 0;
  for (const auto& entry : fs::directory_iterator(Scratch())) clips += entry.path().extension() == ".mp4";
  EXPECT_EQ(clips, 3u);
}

// A wide path as the file system names it here: UTF-8 bytes, whatever the
// process locale.
fs::path FsPath(const std::wstring& path) { return fs::path(std::u32string(path.begin(), path.end())); }

// Folders named in other scripts, an emoji, a long name and a relative one
// take clips under their own names in the "C" locale and in a UTF-8 one: the
// path comes back as given, the file is there and FFmpeg reads it cleanly.
TEST_F(SaveExportTest, FoldersNamedInAnyScriptTakeClipsWhateverTheLocale) {
  StartRecording(360, 30, 3);
  Sleep(4.0);
  const std::string scratch = Scratch().string();
  const std::wstring base(scratch.begin(), scratch.end());
  std::wstring longName;
  for (int i = 0; i < 25; ++i) longName += L"\u0412\u0438\u0434\u0435\u043e";  // 250 bytes: the longest name
  const std::vector<std::wstring> folders{
      base + L"/Vid\u00e9os",
      base + L"/\u0412\u0438\u0434\u0435\u043e",
      base + L"/\u30d3\u30c7\u30aa",
      base + L"/\U0001F3AC clips",
      base + L"/Vid\u00e9os/\u30d3\u30c7\u30aa \U0001F3AC Clips \u0412\u0438\u0434\u0435\u043e",
      base + L"/" + longName,
  };
  for (const char* locale : {"C", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    std::setlocale(LC_ALL, locale);
    for (const std::wstring& folder : folders) {
      SCOPED_TRACE(FsPath(folder).string());
      wchar_t written[4096] = {};
      ASSERT_EQ(Ostrel_SaveClipNow(folder.c_str(), written, 4096), 0);
      const std::wstring path = written;
      EXPECT_EQ(path.rfind(folder + L"/clip_", 0), 0u);
      ASSERT_TRUE(fs::is_regular_file(FsPath(path)));
      const ClipInfo clip = ProbeClip(FsPath(path).string(), /*decode=*/true);
      EXPECT_TRUE(clip.video.present);
      EXPECT_EQ(clip.video.decodeErrors, 0);
    }
    // Relative to a working folder that is itself not ASCII.
    const fs::path workingFolder = fs::current_path();
    fs::current_path(FsPath(folders[1]));
    wchar_t written[4096] = {};
    EXPECT_EQ(Ostrel_SaveClipNow(L"\u00e9t\u00e9", written, 4096), 0);
    fs::current_path(workingFolder);
    EXPECT_EQ(std::wstring(written).rfind(folders[1] + L"/\u00e9t\u00e9/clip_", 0), 0u);
  }
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow() failed"), 0u);
}

// With the audio service down for the whole span, a capture that records
// audio still gives clips with their whole audio track, silent, and says why;
// with both sources muted at the start a clip has no audio track.
TEST_F(SaveExportTest, AudioDownForTheWholeSpanGivesASilentTrackAndSaysWhy) {
  OstrelSim_FailAudioCall(nullptr, "GetDefaultAudioEndpoint", 0x88890010, -1);
  StartRecording(360, 30, 3);
  Sleep(4.5);
  const ClipInfo clip = SaveAndProbe(/*decode=*/true);
  ASSERT_TRUE(clip.audio.present);
  EXPECT_EQ(clip.audio.codec, "aac");
  EXPECT_NEAR(clip.audio.durationSeconds, 3.0, 1024.0 / 48000 + 1.0 / 30);
  ASSERT_FALSE(clip.audio.peak.empty());
  EXPECT_EQ(*std::max_element(clip.audio.peak.begin(), clip.audio.peak.end()), 0.0f);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no desktop audio was recorded in the clip's span (its capture was "
                              L"unavailable) - silent in the clip."),
            1u);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no microphone audio was recorded"), 1u);
  Ostrel_StopCapture();

  OstrelSim_FailAudioCall(nullptr, "GetDefaultAudioEndpoint", 0, 0);
  Ostrel_SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  void* window = OstrelSim_CreateWindow(640, 360);
  ASSERT_EQ(Ostrel_StartCapture(window, false, 360, 30, 4000000, 3), 0);
  Sleep(2.5);
  const ClipInfo muted = SaveAndProbe();
  EXPECT_TRUE(muted.video.present);
  EXPECT_FALSE(muted.audio.present);
  EXPECT_EQ(muted.streamCount, 1);
  EXPECT_EQ(LogCapture::Count(L"SaveClipNow: no "), 2u);  // muted sources are not missed
}

// Progress read through the export while a save runs is one whole triple;
// a stop waits for the save.
TEST_F(SaveExportTest, ProgressIsSeenWhileASaveRunsAndStopWaitsForIt) {
  StartRecording(720, 30, 60);
  Sleep(8.5);
  std::atomic<int> result{-1};
  std::thread saver([&] { result = Ostrel_SaveClipNow(Scratch().wstring().c_str(), nullptr, 0); });
  int stage = 0, done = 0, total = 0;
  while (!Ostrel_GetSaveProgress(&stage, &done, &total) && result.load() == -1) std::this_thread::yield();
  EXPECT_GE(stage, 1);
  EXPECT_LE(stage, 4);
  EXPECT_LE(done, total);
  EXPECT_EQ(total > 0, stage == 3);  // only the segment stage counts
  Ostrel_StopCapture();
  EXPECT_NE(result.load(), -1);
  saver.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(LogCapture::IndexOf(L"Saved clip: ~"), LogCapture::IndexOf(L"Capture stopped."));
  EXPECT_FALSE(Ostrel_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage, 0);
}

}  // namespace
}  // namespace ostrel::testing
