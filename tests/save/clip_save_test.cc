// Whole saves into real files, read back with FFmpeg.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/hresult.h"
#include "save/clip_path.h"
#include "save/save_test_hooks.h"
#include "save_rig.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

using save_hooks::FaultPoint;

// Installs hooks for one test and removes them whatever happens.
class ScopedHooks {
 public:
  explicit ScopedHooks(save_hooks::SaveTestHooks hooks) : hooks_(std::move(hooks)) {
    save_hooks::InstallSaveTestHooks(&hooks_);
  }
  ~ScopedHooks() { save_hooks::InstallSaveTestHooks(nullptr); }

 private:
  save_hooks::SaveTestHooks hooks_;
};

ClipInfo Probe(const std::wstring& path, bool decode = false) { return ProbeClip(Narrow(path), decode); }

void ExpectWellFormedVideo(const VideoStreamInfo& video) {
  ASSERT_TRUE(video.present);
  EXPECT_EQ(video.codec, "h264");
  ASSERT_FALSE(video.packets.empty());
  EXPECT_TRUE(video.packets.front().key);
  EXPECT_DOUBLE_EQ(video.packets.front().ptsSeconds, 0.0);
  for (size_t i = 1; i < video.packets.size(); ++i) {
    EXPECT_GT(video.packets[i].dtsSeconds, video.packets[i - 1].dtsSeconds) << "packet " << i;
  }
}

std::vector<std::wstring> StageNames(const SaveRig& rig) {
  std::vector<std::wstring> names;
  for (const auto& line : rig.LinesContaining(L"[DIAG-SAVE-MEM] stage=")) {
    size_t from = line.find(L"stage=") + 6;
    names.push_back(line.substr(from, line.find(L' ', from) - from));
  }
  return names;
}

TEST(ClipSave, PassthroughKeepsTheStraddlingSegmentWholeAndStartsOnAKeyFrame) {
  SaveRig rig(10.0);
  ScratchFolder folder;
  const int64_t now = TickClock::Now();
  // Eight 2 s segments ending 1 s ago; the span start (now - 10 s) falls
  // 1 s into the segment that begins 11 s ago.
  AddSegmentsEndingAt(rig, 8, now - 1 * kTicks);
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();

  ClipInfo clip = Probe(path);
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.streamCount, 1);
  EXPECT_FALSE(clip.audio.present);
  ExpectWellFormedVideo(clip.video);
  EXPECT_EQ(clip.video.packets.size(), 5u * 60u);  // the straddling segment and the four after it
  for (size_t i = 0; i < clip.video.packets.size(); ++i) {
    EXPECT_EQ(clip.video.packets[i].key, i % 60 == 0) << "packet " << i;
  }
  EXPECT_GE(clip.durationSeconds, 10.0 - 1e-3);
  EXPECT_LE(clip.durationSeconds, 10.0 + 2.1);
  // Packet times follow the segment starts exactly (2 s apart from zero).
  EXPECT_NEAR(clip.video.packets[60].ptsSeconds, 2.0, 1e-3);
  EXPECT_NEAR(clip.video.packets[299].ptsSeconds, 8.0 + 59.0 / 30.0, 1e-3);

  const double lastFrame = 8.0 + 59.0 / 30.0;  // clip seconds of the last frame
  EXPECT_TRUE(rig.HasLine(L"Saved clip: ~" + std::to_wstring(static_cast<int>(lastFrame)) + L"s video, ~0s audio -> " +
                          path))
      << Narrow(rig.Lines().back());
  EXPECT_EQ(rig.progress.stage.load(), 0u);
}

TEST(ClipSave, SegmentsWhollyBeforeTheSpanAreLeftOut) {
  SaveRig rig(10.0);
  ScratchFolder folder;
  const int64_t now = TickClock::Now();
  SharedBytes bytes = CachedSegmentBytes(60);
  // Its frames end before the span start, but it was finalized late enough
  // (2.6 s after its first frame) to overlap the span in the ring.
  rig.AddSegment(SegmentFromBytes(bytes, now - 12 * kTicks, 2.6, 60));
  for (int i = 0; i < 5; ++i) rig.AddSegment(SegmentFromBytes(bytes, now - (10 - 2 * i) * kTicks - kTicks / 2, 2.0, 60));
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();
  ClipInfo clip = Probe(path);
  ExpectWellFormedVideo(clip.video);
  EXPECT_EQ(clip.video.packets.size(), 5u * 60u);
  EXPECT_GE(clip.durationSeconds, 10.0 - 1e-3);
  EXPECT_LE(clip.durationSeconds, 10.0 + 2.1);
}

TEST(ClipSave, ProgressSeenFromAnotherThreadRunsThroughEveryStage) {
  SaveRig rig(10.0);
  ScratchFolder folder;
  AddSegmentsEndingAt(rig, 3, TickClock::Now() - kTicks);
  // Each stage is held long enough for the poller to see it.
  ScopedHooks hooks({nullptr, [](uint32_t, uint32_t, uint32_t) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(60));
                     }});
  std::atomic<bool> done{false};
  std::vector<std::array<int, 3>> seen;
  std::thread poller([&] {
    std::array<int, 3> last{-1, -1, -1};
    while (!done.load()) {
      std::array<int, 3> now{};
      rig.progress.Read(&now[0], &now[1], &now[2]);
      if (now != last) seen.push_back(now);
      last = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::array<int, 3> final{};
    rig.progress.Read(&final[0], &final[1], &final[2]);
    if (final != last) seen.push_back(final);
  });
  bool saved = rig.Save(folder.Wide());
  done.store(true);
  poller.join();
  ASSERT_TRUE(saved) << rig.Dump();
  // Leading idle readings (before the save began) are not part of it.
  while (!seen.empty() && seen.front()[0] == 0) seen.erase(seen.begin());
  const std::vector<std::array<int, 3>> expected{{1, 0, 0}, {2, 0, 0}, {3, 0, 3}, {3, 1, 3}, {3, 2, 3},
                                                 {3, 3, 3}, {4, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(seen, expected);
}

TEST(ClipSave, NotRunningOrNothingBufferedSavesNothing) {
  ScratchFolder folder;
  const std::filesystem::path target = folder.Path() / "clips";
  {
    SaveRig rig;
    rig.running.store(false);
    AddSegmentsEndingAt(rig, 2, TickClock::Now());
    EXPECT_FALSE(rig.Save(target.wstring()));
    EXPECT_EQ(rig.Lines(), std::vector<std::wstring>{L"SaveClipNow() called while not running - ignored."});
    EXPECT_EQ(rig.progress.stage.load(), 0u);
  }
  {
    SaveRig rig;
    EXPECT_FALSE(rig.Save(target.wstring()));
    EXPECT_TRUE(rig.HasLine(L"Nothing buffered yet - save ignored.")) << rig.Dump();
    EXPECT_EQ(StageNames(rig), (std::vector<std::wstring>{L"entry", L"snapshot"}));
    EXPECT_EQ(rig.progress.stage.load(), 0u);
    EXPECT_EQ(rig.progress.total.load(), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

TEST(ClipSave, FolderIsCreatedAndTwoSavesNeverShareAFile) {
  SaveRig rig;
  ScratchFolder folder;
  AddSegmentsEndingAt(rig, 2, TickClock::Now());
  const std::filesystem::path target = folder.Path() / "new";
  std::wstring first, second;
  ASSERT_TRUE(rig.Save(target.wstring(), &first)) << rig.Dump();
  const auto firstSize = std::filesystem::file_size(first);
  ASSERT_TRUE(rig.Save(target.wstring() + L"/", &second)) << rig.Dump();
  EXPECT_NE(first, second);
  EXPECT_EQ(std::filesystem::path(first).parent_path(), target);
  EXPECT_EQ(std::filesystem::file_size(first), firstSize);
  EXPECT_TRUE(std::filesystem::exists(second));
  const std::wstring firstName = std::filesystem::path(first).filename().wstring();
  const std::wstring secondName = std::filesystem::path(second).filename().wstring();
  EXPECT_TRUE(std::regex_match(Narrow(firstName), std::regex(R"(clip_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.mp4)")));
  if (firstName.substr(0, 24) == secondName.substr(0, 24)) {
    EXPECT_EQ(secondName, firstName.substr(0, 24) + L"_2.mp4");  // the same second
  }
}

TEST(ClipSave, TwentyFiveSegmentsLogEveryTenthAndTheLastStage) {
  SaveRig rig(50.0);
  ScratchFolder folder;
  AddSegmentsEndingAt(rig, 25, TickClock::Now() - kTicks / 2);
  ASSERT_TRUE(rig.Save(folder.Wide())) << rig.Dump();
  EXPECT_EQ(StageNames(rig),
            (std::vector<std::wstring>{L"entry", L"snapshot", L"transcoder-init", L"header", L"mixed-alloc",
                                       L"segment-00", L"segment-10", L"segment-20", L"segment-24", L"flush",
                                       L"trailer"}));
  const std::wregex stageLine(
      LR"(\[DIAG-SAVE-MEM\] stage=segment-10         priv=\d+\.\dMB ws=\d+\.\dMB dPriv=[+-]\d+\.\dMB )"
      LR"(ringV=\d+MB ringA=0MB snapV=\d+MB snapA=0MB)");
  auto lines = rig.LinesContaining(L"stage=segment-10 ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], stageLine)) << Narrow(lines[0]);
  EXPECT_EQ(rig.LinesContaining(L"[DIAG-SAVE-MEM] stage=entry              priv=").size(), 1u);
}

TEST(ClipSave, TheSamplerLogsEverySecondOfALongSave) {
  SaveRig rig;
  ScratchFolder folder;
  AddSegmentsEndingAt(rig, 2, TickClock::Now());
  ScopedHooks hooks({nullptr, [](uint32_t stage, uint32_t done, uint32_t) {
                       if (stage == 3 && done == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2600));
                     }});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.Save(folder.Wide())) << rig.Dump();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto lines = rig.LinesContaining(L"[DIAG-SAVE-MEM-1S] ");
  ASSERT_GE(lines.size(), 2u) << rig.Dump();
  EXPECT_LE(static_cast<double>(lines.size()), elapsed);
  const std::wregex format(LR"(\[DIAG-SAVE-MEM-1S\] t=(\d+)s priv=\d+\.\dMB ws=\d+\.\dMB)");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, format)) << Narrow(lines[i]);
    EXPECT_EQ(std::stoi(match[1].str()), static_cast<int>(i + 1));
  }
}

// One way for a save to fail: set the rig up, then expect this exact text.
struct FailureCase {
  const char* name;
  std::function<void(SaveRig&, ScratchFolder&, std::wstring& folder)> setUp;
  std::function<bool(FaultPoint, int)> fail;
  std::wstring text;
};

void AddSegmentPair(SaveRig& rig, SharedBytes first, SharedBytes second, bool reencode = false) {
  const int64_t now = TickClock::Now();
  rig.AddSegment(SegmentFromBytes(std::move(first), now - 4 * kTicks, 2.0, 60, reencode));
  rig.AddSegment(SegmentFromBytes(std::move(second), now - 2 * kTicks, 2.0, 60, reencode));
}

SharedBytes Garbage() { return std::make_shared<std::vector<uint8_t>>(4096, uint8_t{0x5A}); }

void AddTone(SaveRig& rig, const std::vector<uint8_t>& format) {
  rig.desktopRing.SetWaveFormat(format);
  rig.AddDesktop(MakeAudioChunk(std::vector<uint8_t>(19200, 0), TickClock::Now() - 3 * kTicks, 2.0));
}

TEST(ClipSave, EveryFailureEndsTheSaveWithItsText) {
  auto plain = [](SaveRig& rig, ScratchFolder&, std::wstring&) {
    AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60));
  };
  auto reencoded = [](SaveRig& rig, ScratchFolder&, std::wstring&) {
    AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60), true);
  };
  auto failAt = [](FaultPoint wanted) { return [wanted](FaultPoint point, int) { return point == wanted; }; };
  const std::vector<FailureCase> cases{
      {"garbage first segment",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) { AddSegmentPair(rig, Garbage(), CachedSegmentBytes(60)); },
       nullptr, L"avformat_open_input failed probing first segment"},
      {"probe stream info", plain, failAt(FaultPoint::kProbeStreamInfo),
       L"avformat_find_stream_info failed probing first segment"},
      {"output context", plain, failAt(FaultPoint::kAllocOutputContext), L"avformat_alloc_output_context2 failed"},
      {"missing parent folder",
       [](SaveRig& rig, ScratchFolder& scratch, std::wstring& folder) {
         AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60));
         folder = (scratch.Path() / "missing" / "clips").wstring();
       },
       nullptr, L"avio_open2 failed for output file"},
      {"header", plain, failAt(FaultPoint::kWriteHeader), L"avformat_write_header failed"},
      {"garbage second segment",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) { AddSegmentPair(rig, CachedSegmentBytes(60), Garbage()); },
       nullptr, L"avformat_open_input failed for segment passthrough"},
      {"passthrough stream info", plain, failAt(FaultPoint::kPassthroughStreamInfo),
       L"avformat_find_stream_info failed for segment passthrough"},
      {"aac encoder",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) {
         AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60));
         AddTone(rig, WaveFormatBlock(1, 2, 48000, 16));
       },
       failAt(FaultPoint::kAacEncoderOpen), L"avcodec_open2 failed for aac encoder"},
      {"unsupported audio format",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) {
         AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60));
         AddTone(rig, WaveFormatBlock(0x55, 2, 48000, 16));
       },
       nullptr, L"unsupported audio format: format tag 0x0055"},
      {"unknown re-encoder",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) {
         AddSegmentPair(rig, CachedSegmentBytes(60), CachedSegmentBytes(60), true);
         rig.encoderName = "no_such_encoder";
       },
       nullptr, L"save-time re-encoder: encoder not found"},
      {"re-encoder refuses", reencoded, failAt(FaultPoint::kReencoderOpen),
       L"save-time re-encoder: avcodec_open2 failed"},
      {"garbage re-encoded segment",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) {
         AddSegmentPair(rig, CachedSegmentBytes(60), Garbage(), true);
       },
       nullptr, L"save-time transcode: avformat_open_input failed"},
      {"transcode stream info", reencoded, failAt(FaultPoint::kTranscodeStreamInfo),
       L"save-time transcode: find_stream_info failed"},
      {"transcode decoder", reencoded, failAt(FaultPoint::kTranscodeDecoderOpen),
       L"save-time transcode: decoder open failed"},
      {"4:2:2 segment",
       [](SaveRig& rig, ScratchFolder&, std::wstring&) {
         SegmentOptions options;
         options.frameCount = 4;
         options.pixelFormat = AV_PIX_FMT_YUV422P;
         SharedBytes bytes = EncodeSegmentBytes(options);
         AddSegmentPair(rig, bytes, bytes, true);
       },
       nullptr,
       L"save-time transcode: unexpected decoded pixel format " + std::to_wstring(static_cast<int>(AV_PIX_FMT_YUV422P))},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    SaveRig rig;
    ScratchFolder scratch;
    std::wstring folder = scratch.Wide();
    c.setUp(rig, scratch, folder);
    ScopedHooks hooks({c.fail, nullptr});
    std::wstring path = L"untouched";
    EXPECT_FALSE(rig.Save(folder, &path));
    EXPECT_EQ(path, L"untouched");
    EXPECT_TRUE(rig.HasLine(L"SaveClipNow() failed: " + c.text)) << rig.Dump();
    EXPECT_TRUE(rig.LinesContaining(L"Saved clip").empty());
    EXPECT_EQ(rig.progress.stage.load(), 0u);
  }
}

TEST(ClipSave, AFailedSaveKeepsWhatItWroteWithATrailer) {
  SaveRig rig;
  ScratchFolder folder;
  AddSegmentPair(rig, CachedSegmentBytes(60), Garbage());
  EXPECT_FALSE(rig.Save(folder.Wide()));
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  ClipInfo clip = ProbeClip(files[0].string(), false);
  ASSERT_TRUE(clip.opened);
  ExpectWellFormedVideo(clip.video);
  EXPECT_EQ(clip.video.packets.size(), 60u);
}

TEST(ClipSave, PlatformErrorsAreLoggedWithTheirCodeAndMessage) {
  SaveRig rig;
  ScratchFolder folder;
  AddSegmentsEndingAt(rig, 2, TickClock::Now());
  ScopedHooks hooks({nullptr, [](uint32_t stage, uint32_t done, uint32_t) {
                       if (stage == 3 && done == 2) throw HresultError(hr::kFail);
                     }});
  EXPECT_FALSE(rig.Save(folder.Wide()));
  EXPECT_TRUE(rig.HasLine(L"SaveClipNow() failed: 0x80004005 (" + HresultMessage(hr::kFail) + L")")) << rig.Dump();
  EXPECT_EQ(rig.progress.stage.load(), 0u);
}

}  // namespace
}  // namespace ostrel::testing
