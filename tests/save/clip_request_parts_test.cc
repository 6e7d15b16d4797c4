// The parts of a shaped clip on their own: the marker ring, merging what a
// waiting save holds, the wait and what ends it, chapters written into an
// MP4 and read back, and the titled audio tracks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "replay/tick_clock.h"
#include "save/aac_encoder.h"
#include "save/clip_chapters.h"
#include "save/clip_request.h"
#include "save/clip_tracks.h"

namespace ostrel::testing {
namespace {

constexpr int64_t kSecond = 10000000;

TEST(MarkerRing, KeepsTimeOrderDropsWhatLeftTheReplayAndStopsAtItsLimit) {
  MarkerRing ring;
  EXPECT_TRUE(ring.Add({30, L"c"}, 0));
  EXPECT_TRUE(ring.Add({10, L"a"}, 0));  // a host thread that raced
  EXPECT_TRUE(ring.Add({20, L"b"}, 0));
  auto all = ring.Take(0, 100);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].label, L"a");
  EXPECT_EQ(all[2].label, L"c");
  // [from, to): a marker at the clip's end is not in it.
  EXPECT_EQ(ring.Take(10, 30).size(), 2u);
  // The next add drops what lies before the cutoff.
  EXPECT_TRUE(ring.Add({40, L"d"}, 25));
  EXPECT_EQ(ring.Take(0, 100).size(), 2u);
  ring.Clear();
  for (size_t i = 0; i < MarkerRing::kMaxMarkers; ++i) EXPECT_TRUE(ring.Add({100 + static_cast<int64_t>(i), L""}, 0));
  EXPECT_FALSE(ring.Add({5000, L"full"}, 0));
  EXPECT_TRUE(ring.Add({5000, L"room again"}, 600));  // the old ones went
}

TEST(ClipHold, MergesEachRecordOnceInStartOrderAndSharesItsBytes) {
  SegmentRing video;
  AudioRing desktop, mic;
  MarkerRing markers;
  const ClipRings rings{video, desktop, mic, markers};
  auto segment = [](int64_t start) {
    EncodedSegment record;
    record.bytes = std::make_shared<std::vector<uint8_t>>(10, uint8_t{1});
    record.startTicks = start;
    record.durationSeconds = 2.0;
    record.frameCount = 60;
    return record;
  };
  video.AppendWithCutoff(segment(0), INT64_MIN);
  video.AppendWithCutoff(segment(2 * kSecond), INT64_MIN);
  markers.Add({kSecond, L"m"}, INT64_MIN);
  ClipHold hold;
  hold.startTicks = kSecond;
  hold.Merge(rings, 3 * kSecond);
  hold.Merge(rings, 3 * kSecond);
  ASSERT_EQ(hold.video.size(), 2u);
  ASSERT_EQ(hold.markers.size(), 1u);
  // Evicted from the ring, kept by the hold; a new one merged after it.
  video.AppendWithCutoff(segment(4 * kSecond), 3 * kSecond);
  video.AppendWithCutoff(segment(6 * kSecond), 5 * kSecond);
  hold.Merge(rings, 7 * kSecond);
  ASSERT_EQ(hold.video.size(), 4u);
  for (size_t i = 0; i < hold.video.size(); ++i) EXPECT_EQ(hold.video[i].startTicks, static_cast<int64_t>(2 * i) * kSecond);
  EXPECT_EQ(video.TakeSnapshot({0, 7 * kSecond}).back().bytes, hold.video.back().bytes);
}

// The wait ends at its end, at once for a host stop, and for a capture stop
// after taking in what the rings held; progress counts milliseconds.
TEST(ClipWaits, EndAtTheEndOrAtOnceForAStopKeepingWhatTheRingsHeld) {
  SegmentRing video;
  AudioRing desktop, mic;
  MarkerRing markers;
  const ClipRings rings{video, desktop, mic, markers};
  ClipWaits waits;
  SaveProgress progress;
  std::atomic<bool> stopped{false};
  auto wait = [&](double seconds) {
    const int64_t now = TickClock::Now();
    return std::async(std::launch::async, [&, now, seconds] {
      ClipHold hold;
      hold.startTicks = now - kSecond;
      auto ended = waits.Wait(hold, rings, progress, now, now + static_cast<int64_t>(seconds * kSecond), stopped);
      return std::make_tuple(ended, hold.video.size(), now);
    });
  };
  {
    auto running = wait(0.4);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    int stage = 0, done = 0, total = 0;
    EXPECT_TRUE(progress.Read(&stage, &done, &total));
    EXPECT_EQ(stage, 5);
    EXPECT_EQ(total, 400);
    EXPECT_GE(done, 100);  // set every tenth of a second
    const auto [ended, held, requested] = running.get();
    EXPECT_FALSE(ended.early);
    EXPECT_EQ(ended.endTicks, requested + 4 * kSecond / 10);
    EXPECT_GE(TickClock::Now(), ended.endTicks);
  }
  {
    auto running = wait(30);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto stopping = std::chrono::steady_clock::now();
    waits.BeginStop();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(500));
    const auto [ended, held, requested] = running.get();
    EXPECT_TRUE(ended.early);
    EXPECT_FALSE(ended.ringsCleared);
    EXPECT_GT(ended.endTicks, requested);
    // A wait that begins while a stop is pending does not wait at all.
    const auto [again, heldAgain, requestedAgain] = wait(30).get();
    EXPECT_TRUE(again.early);
    waits.EndStop();
  }
  {
    auto running = wait(30);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EncodedSegment record;
    record.bytes = std::make_shared<std::vector<uint8_t>>(4, uint8_t{2});
    record.startTicks = TickClock::Now() - kSecond / 2;
    record.durationSeconds = 0.5;
    record.frameCount = 15;
    // The capture stops on its own: the wait sees it, and ends once the
    // stop hands the rings over (appended since the last poll included).
    stopped.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    video.AppendWithCutoff(record, INT64_MIN);
    EXPECT_EQ(running.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    waits.HoldBeforeClear(rings);
    video.Clear();
    const auto [ended, held, requested] = running.get();
    EXPECT_TRUE(ended.early);
    EXPECT_TRUE(ended.ringsCleared);
    EXPECT_EQ(held, 1u);
  }
}

TEST(ClipChapters, RunFromEachMarkerToTheNextOrTheEndAndOnlyInsideTheClip) {
  const std::vector<Marker> markers{{5, L"before"}, {100, L"a"}, {250, L""}, {400, L"b"}, {1000, L"at the end"}};
  const auto chapters = ChaptersFor(markers, 50, 950);
  ASSERT_EQ(chapters.size(), 4u);
  // Untitled from the clip's start to the first marker.
  EXPECT_EQ(chapters[0].startTicks, 0);
  EXPECT_EQ(chapters[0].endTicks, 50);
  EXPECT_EQ(chapters[0].titleUtf8, "");
  EXPECT_EQ(chapters[1].startTicks, 50);
  EXPECT_EQ(chapters[1].endTicks, 200);
  EXPECT_EQ(chapters[1].titleUtf8, "a");
  EXPECT_EQ(chapters[2].titleUtf8, "");
  EXPECT_EQ(chapters[3].startTicks, 350);
  EXPECT_EQ(chapters[3].endTicks, 950);
  // A marker at the clip's start needs no untitled chapter before it.
  EXPECT_EQ(ChaptersFor(markers, 100, 950).front().titleUtf8, "a");
  EXPECT_EQ(WideToUtf8Text(L"caf\u00e9 \U0001F3AE"), "caf\xc3\xa9 \xf0\x9f\x8e\xae");
  std::wstring lone = L"a";
  lone += static_cast<wchar_t>(0xD800);  // a surrogate alone: U+FFFD
  EXPECT_EQ(WideToUtf8Text(lone), "a\xef\xbf\xbd");
}

// Written into an MP4 with three titled tracks and read back by FFmpeg:
// chapters at their times with their titles, the mix the one default track.
TEST(ClipChapters, AnMp4WithTracksAndChaptersReadsBackAsWritten) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("ostrel-chapters-" + std::to_string(::getpid()) + ".mp4");
  AVFormatContext* output = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mp4", file.c_str()), 0);
  {
    AacEncoder config(output, 0u);
    const auto streams = AddAudioStreams(output, config, true);
    ASSERT_EQ(streams.size(), 3u);
    AddChapters(output, ChaptersFor({{kSecond / 2, L"first"}, {kSecond, L"second \u2713"}}, 0, 2 * kSecond));
    ASSERT_GE(avio_open(&output->pb, file.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output, nullptr), 0);
    std::vector<float> silence(2 * 2 * 48000, 0.0f);
    for (unsigned index : streams) {
      AacEncoder encoder(output, index);
      encoder.Feed(silence.data(), silence.size() / 2);
      encoder.Flush();
    }
    ASSERT_GE(av_write_trailer(output), 0);
    avio_closep(&output->pb);
  }
  avformat_free_context(output);

  AVFormatContext* input = nullptr;
  ASSERT_GE(avformat_open_input(&input, file.c_str(), nullptr, nullptr), 0);
  avformat_find_stream_info(input, nullptr);
  int audio = 0, defaults = 0;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (input->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    const AVDictionaryEntry* name = av_dict_get(input->streams[i]->metadata, "handler_name", nullptr, 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name->value, kAudioTrackTitles[audio]);
    defaults += (input->streams[i]->disposition & AV_DISPOSITION_DEFAULT) != 0 ? 1 : 0;
    ++audio;
  }
  EXPECT_EQ(audio, 3);
  EXPECT_EQ(defaults, 1);
  EXPECT_TRUE((input->streams[0]->disposition & AV_DISPOSITION_DEFAULT) != 0);
  std::vector<std::pair<double, std::string>> read;
  for (unsigned i = 0; i < input->nb_chapters; ++i) {
    const AVChapter* chapter = input->chapters[i];
    const AVDictionaryEntry* title = av_dict_get(chapter->metadata, "title", nullptr, 0);
    read.emplace_back(chapter->start * av_q2d(chapter->time_base), title != nullptr ? title->value : "");
  }
  avformat_close_input(&input);
  if (std::getenv("OSTREL_KEEP_CHAPTER_FILE") == nullptr) std::filesystem::remove(file);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_NEAR(read[0].first, 0.0, 1e-3);
  EXPECT_EQ(read[0].second, "");
  EXPECT_NEAR(read[1].first, 0.5, 1e-3);
  EXPECT_EQ(read[1].second, "first");
  EXPECT_NEAR(read[2].first, 1.0, 1e-3);
  EXPECT_EQ(read[2].second, "second \xe2\x9c\x93");
}

}  // namespace
}  // namespace ostrel::testing
