// The smaller parts of a save: in-memory reader, clip names, telemetry
// lines and the re-encoder's modes and frame copy.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <set>
#include <thread>

#include "save/clip_path.h"
#include "save/memory_reader.h"
#include "save/save_reencoder.h"
#include "save/save_telemetry.h"
#include "save_rig.h"

namespace ostrel::testing {
namespace {

TEST(MemoryReader, ReadsAndSeeksLikeAFile) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(100);
  for (size_t i = 0; i < 100; ++i) (*bytes)[i] = static_cast<uint8_t>(i);
  MemoryReader reader(bytes);
  uint8_t buffer[64];
  EXPECT_EQ(MemoryReader::Seek(&reader, 0, AVSEEK_SIZE), 100);
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 64), 64);
  EXPECT_EQ(buffer[63], 63);
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 64), 36);
  EXPECT_EQ(buffer[0], 64);
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 64), AVERROR_EOF);
  EXPECT_EQ(MemoryReader::Seek(&reader, 10, SEEK_SET), 10);
  EXPECT_EQ(MemoryReader::Seek(&reader, 5, SEEK_CUR), 15);
  EXPECT_EQ(MemoryReader::Seek(&reader, -20, SEEK_END), 80);
  EXPECT_EQ(MemoryReader::Seek(&reader, -81, SEEK_CUR), -1);  // negative: refused, position kept
  EXPECT_EQ(MemoryReader::Seek(&reader, 0, 7), -1);           // unknown whence
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 1), 1);
  EXPECT_EQ(buffer[0], 80);
  EXPECT_EQ(MemoryReader::Seek(&reader, 500, SEEK_SET), 500);  // past the end: reads end the file
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 1), AVERROR_EOF);
  MemoryReader empty(nullptr);
  EXPECT_EQ(MemoryReader::Seek(&empty, 0, AVSEEK_SIZE), 0);
  EXPECT_EQ(MemoryReader::Read(&empty, buffer, 1), AVERROR_EOF);
}

TEST(MemoryReader, OpensASegmentAndRefusesGarbage) {
  MemoryInput input;
  ASSERT_TRUE(input.Open(CachedSegmentBytes(60)));
  ASSERT_GE(avformat_find_stream_info(input.Context(), nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  int count = 0;
  while (av_read_frame(input.Context(), packet) >= 0) {
    ++count;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  EXPECT_EQ(count, 60);
  EXPECT_FALSE(input.Open(std::make_shared<std::vector<uint8_t>>(1000, uint8_t{7})));
  EXPECT_EQ(input.Context(), nullptr);
  EXPECT_FALSE(input.Open(nullptr));
}

TEST(ClipPath, SeparatorOnlyWhenMissingAndDistinctNamesPerSecond) {
  const wchar_t sep = PreferredPathSeparator();
  EXPECT_EQ(JoinClipPath(L"/clips", L"a.mp4"), std::wstring(L"/clips") + sep + L"a.mp4");
  EXPECT_EQ(JoinClipPath(L"/clips/", L"a.mp4"), L"/clips/a.mp4");
  EXPECT_EQ(JoinClipPath(L"C:\\clips\\", L"a.mp4"), L"C:\\clips\\a.mp4");
  EXPECT_EQ(JoinClipPath(L"", L"a.mp4"), L"a.mp4");
#ifndef _WIN32
  EXPECT_EQ(sep, L'/');
#endif
  const platform::LocalTime time{2026, 12, 5, 14, 3, 7, 250};
  EXPECT_EQ(ClipFileName(time, 1), L"clip_2026-12-05_14-03-07.mp4");
  EXPECT_EQ(ClipFileName(time, 2), L"clip_2026-12-05_14-03-07_2.mp4");
  std::set<std::wstring> taken{L"d/clip_2026-12-05_14-03-07.mp4", L"d/clip_2026-12-05_14-03-07_2.mp4"};
  auto exists = [&](const std::wstring& path) { return taken.count(path) > 0; };
  EXPECT_EQ(UniqueClipPath(L"d", time, exists), L"d/clip_2026-12-05_14-03-07_3.mp4");
  taken.clear();
  EXPECT_EQ(UniqueClipPath(L"d/", time, exists), L"d/clip_2026-12-05_14-03-07.mp4");

  ScratchFolder folder;
  EXPECT_FALSE(ClipPathExists((folder.Path() / "none.mp4").wstring()));
  EXPECT_TRUE(ClipPathExists(folder.Wide()));
}

TEST(SaveTelemetry, StageLinesCarryTheChangeSinceThePreviousStage) {
  std::vector<std::wstring> lines;
  std::vector<MemorySample> samples{{100.0, 150.0}, {90.25, 140.0}, {90.25, 141.0}};
  size_t next = 0;
  SaveMemoryTracker tracker([&](const std::wstring& line) { lines.push_back(line); },
                            [&] { return samples[next++]; });
  tracker.Stage(L"entry", L"");
  tracker.Stage(L"audio-concat", L" rawBytes=3MB");
  tracker.Stage(L"a-stage-name-longer-than-18", L"");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"[DIAG-SAVE-MEM] stage=entry              priv=100.0MB ws=150.0MB dPriv=+100.0MB");
  EXPECT_EQ(lines[1], L"[DIAG-SAVE-MEM] stage=audio-concat       priv=90.2MB ws=140.0MB dPriv=-9.8MB rawBytes=3MB");
  EXPECT_EQ(lines[2], L"[DIAG-SAVE-MEM] stage=a-stage-name-longer-than-18 priv=90.2MB ws=141.0MB dPriv=+0.0MB");

  EXPECT_EQ(SegmentStageName(0), L"segment-00");
  EXPECT_EQ(SegmentStageName(24), L"segment-24");
  EXPECT_EQ(SegmentStageName(123), L"segment-123");
  EXPECT_EQ(MiBSuffix(L" floatBytes=", 5 * 1048576 - 1), L" floatBytes=4MB");
  EXPECT_EQ(FormatCut(8, L"%ls", L"0123456789"), L"0123456");
}

TEST(SaveTelemetry, SizeSuffixCountsLiveRingsAndWhatTheSaveStillHolds) {
  SegmentRing videoRing;
  AudioRing desktopRing, micRing;
  auto mib = [](size_t n) { return std::make_shared<std::vector<uint8_t>>(n << 20); };
  EncodedSegment a, b;
  a.bytes = mib(3);
  b.bytes = mib(2);
  videoRing.AppendWithCutoff(a, INT64_MIN);
  videoRing.AppendWithCutoff(b, INT64_MIN);
  AudioChunk chunk;
  chunk.bytes = mib(1);
  desktopRing.AppendWithCutoff(chunk, INT64_MIN);
  micRing.AppendWithCutoff(chunk, INT64_MIN);
  SegmentRing::Snapshot video{a, b};
  AudioRing::Snapshot desktop{chunk}, mic;
  SaveSizeSuffix suffix{video, desktop, mic, videoRing, desktopRing, micRing};
  EXPECT_EQ(suffix.Text(), L" ringV=5MB ringA=2MB snapV=5MB snapA=1MB");
  video[0].bytes.reset();
  desktop.clear();
  EXPECT_EQ(suffix.Text(), L" ringV=5MB ringA=2MB snapV=2MB snapA=0MB");
}

TEST(SaveTelemetry, RecordingLinesComeAtOnceAndThenEveryFortySteps) {
  EXPECT_EQ(RecordingTelemetryLine(20, {12.34, 56.78}, 7u << 20, (3u << 20) - 1),
            L"[DIAG-REC-MEM] t=20s priv=12.3MB ws=56.8MB ringV=7MB ringA=2MB");
  SegmentRing videoRing;
  AudioRing desktopRing, micRing;
  EncodedSegment segment;
  segment.bytes = std::make_shared<std::vector<uint8_t>>(4u << 20);
  videoRing.AppendWithCutoff(segment, INT64_MIN);
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<std::wstring> lines;
  // 5 ms steps: a line at once, then one every 200 ms.
  std::thread worker([&] {
    RunRecordingTelemetryLoop(stop, videoRing, desktopRing, micRing,
                              [&](const std::wstring& line) {
                                std::lock_guard lock(mutex);
                                lines.push_back(line);
                              },
                              std::chrono::milliseconds(5), [] { return MemorySample{1.0, 2.0}; });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop.store(true);
  worker.join();
  std::lock_guard lock(mutex);
  ASSERT_GE(lines.size(), 1u);
  ASSERT_LE(lines.size(), 2u);  // 300 ms cannot hold three sets of 40 sleeps of 5 ms
  EXPECT_EQ(lines[0], L"[DIAG-REC-MEM] t=0s priv=1.0MB ws=2.0MB ringV=4MB ringA=0MB");
}

TEST(SaveTelemetry, TheSamplerStopsAtOnceWhenAskedAndIsSilentBeforeOneSecond) {
  std::vector<std::wstring> lines;
  const auto start = std::chrono::steady_clock::now();
  {
    SaveMemorySampler sampler([&](const std::wstring& line) { lines.push_back(line); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(lines.empty());

  // The body alone with counted steps: a line on every fourth step, t in
  // seconds, and no line for the steps of an unfinished second.
  std::atomic<bool> stop{false};
  int steps = 0;
  lines.clear();
  RunSaveMemorySampler(
      stop, [&](const std::wstring& line) { lines.push_back(line); }, [] { return MemorySample{3.0, 4.5}; },
      [&] {
        if (++steps == 11) stop.store(true);
      });
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"[DIAG-SAVE-MEM-1S] t=1s priv=3.0MB ws=4.5MB",
                                              L"[DIAG-SAVE-MEM-1S] t=2s priv=3.0MB ws=4.5MB"}));
}

TEST(SaveReencoder, OnlyTheSingleCharacterOneSelectsQualityMode) {
  const std::vector<std::pair<const char*, bool>> values{
      {"1", true}, {"0", false}, {"true", false}, {"11", false}, {"", false}, {"1 ", false}, {"123456789", false}};
  for (const auto& [value, quality] : values) {
    setenv("OSTREL_SAVE_QUALITY", value, 1);
    EXPECT_EQ(SaveQualityModeRequested(), quality) << "\"" << value << "\"";
  }
  unsetenv("OSTREL_SAVE_QUALITY");
  EXPECT_FALSE(SaveQualityModeRequested());
}

TEST(SaveReencoder, QuickSyncOptionsPerAttemptAndNoneForOtherEncoders) {
  using Options = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(ReencoderOptions(true, ReencodeAttempt::kFast), (Options{{"preset", "veryfast"}, {"async_depth", "6"}}));
  EXPECT_EQ(ReencoderOptions(true, ReencodeAttempt::kQualityTier2),
            (Options{{"preset", "veryslow"},
                     {"async_depth", "6"},
                     {"extbrc", "1"},
                     {"b_strategy", "1"},
                     {"look_ahead", "1"},
                     {"look_ahead_depth", "40"}}));
  EXPECT_EQ(ReencoderOptions(true, ReencodeAttempt::kQualityTier1),
            (Options{{"preset", "veryslow"}, {"async_depth", "6"}, {"extbrc", "1"}, {"b_strategy", "1"}}));
  EXPECT_EQ(ReencoderOptions(true, ReencodeAttempt::kQualityTier0),
            (Options{{"preset", "veryslow"}, {"async_depth", "6"}}));
  for (auto attempt : {ReencodeAttempt::kFast, ReencodeAttempt::kQualityTier2, ReencodeAttempt::kQualityTier1,
                       ReencodeAttempt::kQualityTier0}) {
    EXPECT_TRUE(ReencoderOptions(false, attempt).empty());
  }
}

ffmpeg::FramePtr Frame(AVPixelFormat format, int width, int height) {
  ffmpeg::FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  return frame;
}

TEST(SaveReencoder, DecodedFramesAreCopiedIntoNv12) {
  const int w = 8, h = 4;
  auto target = Frame(AV_PIX_FMT_NV12, w, h);
  auto planar = Frame(AV_PIX_FMT_YUV420P, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) planar->data[0][y * planar->linesize[0] + x] = static_cast<uint8_t>(10 * y + x);
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x) {
      planar->data[1][y * planar->linesize[1] + x] = static_cast<uint8_t>(100 + 10 * y + x);
      planar->data[2][y * planar->linesize[2] + x] = static_cast<uint8_t>(200 + 10 * y + x);
    }
  CopyDecodedToNv12(*planar, *target, w, h);
  EXPECT_EQ(target->data[0][3 * target->linesize[0] + 7], 37);
  const uint8_t* row1 = target->data[1] + target->linesize[1];
  EXPECT_EQ(row1[0], 110);  // U then V, side by side
  EXPECT_EQ(row1[1], 210);
  EXPECT_EQ(row1[6], 113);
  EXPECT_EQ(row1[7], 213);

  auto nv12 = Frame(AV_PIX_FMT_NV12, w, h);
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w; ++x) nv12->data[1][y * nv12->linesize[1] + x] = static_cast<uint8_t>(50 + 10 * y + x);
  CopyDecodedToNv12(*nv12, *target, w, h);
  EXPECT_EQ(target->data[1][target->linesize[1] + 7], 67);

  auto yuv422 = Frame(AV_PIX_FMT_YUV422P, w, h);
  try {
    CopyDecodedToNv12(*yuv422, *target, w, h);
    ADD_FAILURE() << "4:2:2 accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "save-time transcode: unexpected decoded pixel format " +
                                             std::to_string(static_cast<int>(AV_PIX_FMT_YUV422P)));
  }
  auto larger = Frame(AV_PIX_FMT_YUV420P, 2 * w, h);
  EXPECT_THROW(CopyDecodedToNv12(*larger, *target, w, h), std::runtime_error);
}

}  // namespace
}  // namespace ostrel::testing
