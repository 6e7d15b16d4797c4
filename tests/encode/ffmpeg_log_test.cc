#include "ffmpeg/ffmpeg_log.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "encode_test_util.h"
#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel {
namespace {

using testing::SinkLines;

class FfmpegLogTest : public ::testing::Test {
 protected:
  void TearDown() override { RouteFfmpegLogTo({}); }
};

TEST_F(FfmpegLogTest, ForwardsWarningsAndWorseWithoutTheNewline) {
  SinkLines lines;
  RouteFfmpegLogTo(lines.Sink());
  av_log(nullptr, AV_LOG_WARNING, "warned %d\n", 7);
  av_log(nullptr, AV_LOG_ERROR, "failed: %s\n", "badly");
  av_log(nullptr, AV_LOG_FATAL, "fatal\r\n");
  av_log(nullptr, AV_LOG_INFO, "chatty\n");
  av_log(nullptr, AV_LOG_VERBOSE, "chattier\n");
  av_log(nullptr, AV_LOG_DEBUG, "chattiest\n");
  av_log(nullptr, AV_LOG_WARNING, "\n");  // nothing left after stripping
  EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{L"warned 7", L"failed: badly", L"fatal"}));
}

TEST_F(FfmpegLogTest, KeepsTheComponentPrefix) {
  SinkLines lines;
  RouteFfmpegLogTo(lines.Sink());
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  ASSERT_NE(codec, nullptr);
  ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
  av_log(context.get(), AV_LOG_WARNING, "from a codec\n");
  const auto all = lines.Lines();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].rfind(L"[libx264 @ ", 0), 0u) << all[0].c_str();
  EXPECT_NE(all[0].find(L"] from a codec"), std::wstring::npos);
}

TEST_F(FfmpegLogTest, AnEmptySinkDropsLinesAndANewSinkReplacesTheOld) {
  SinkLines first;
  SinkLines second;
  RouteFfmpegLogTo(first.Sink());
  av_log(nullptr, AV_LOG_ERROR, "one\n");
  RouteFfmpegLogTo({});
  av_log(nullptr, AV_LOG_ERROR, "dropped\n");
  RouteFfmpegLogTo(second.Sink());
  av_log(nullptr, AV_LOG_ERROR, "two\n");
  EXPECT_EQ(first.Lines(), (std::vector<std::wstring>{L"one"}));
  EXPECT_EQ(second.Lines(), (std::vector<std::wstring>{L"two"}));
}

TEST_F(FfmpegLogTest, ManyThreadsLogWhileTheSinkChanges) {
  SinkLines lines;
  std::atomic<int> delivered{0};
  LogSink counting = [&](const std::wstring& line) {
    delivered.fetch_add(1);
    lines.Sink()(line);
  };
  RouteFfmpegLogTo(counting);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) av_log(nullptr, AV_LOG_WARNING, "thread %d line %d\n", t, i);
    });
  }
  for (int i = 0; i < 50; ++i) RouteFfmpegLogTo(counting);  // swapping in an equal sink loses nothing
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), kThreads * kLines);
  for (const auto& line : lines.Lines()) EXPECT_EQ(line.rfind(L"thread ", 0), 0u);
}

}  // namespace
}  // namespace ostrel
