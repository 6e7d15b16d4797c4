// The memory writer behind the in-memory muxer, the bounded map retry, the
// encoder fallback chain and the capability lines of the GPU encode context.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "encode/bounded_map_retry.h"
#include "encode/encoder_selection.h"
#include "encode/ffmpeg_segment_encoder.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ostrel/ostrel_sim.h"
#include "platform/library_apartment.h"
#include "platform/platform.h"
#include "support/log_lines.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/log.h>
}

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::wstring>;
using Names = std::vector<std::string>;
using std::chrono::milliseconds;

int Write(MemoryWriter& writer, Bytes data) {
  return MemoryWriter::Write(&writer, data.data(), static_cast<int>(data.size()));
}

TEST(MemoryWriterTest, FollowsTheMuxersWriteAndSeekRules) {
  MemoryWriter writer;
  EXPECT_EQ(Write(writer, {1, 2, 3, 4, 5, 6}), 6);
  // Patching the middle, as the muxer does with box sizes, keeps the size.
  EXPECT_EQ(MemoryWriter::Seek(&writer, 1, SEEK_SET), 1);
  EXPECT_EQ(Write(writer, {9, 9}), 2);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -1, SEEK_END), 5);
  EXPECT_EQ(Write(writer, {7, 8}), 2);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 3, AVSEEK_SIZE), 7);  // a size query does not move
  // Seeking past the end does not grow; the next write leaves a zero gap.
  EXPECT_EQ(MemoryWriter::Seek(&writer, 2, SEEK_CUR), 9);
  EXPECT_EQ(writer.Bytes().size(), 7u);
  Write(writer, {3});
  EXPECT_EQ(writer.TakeBytes(), (Bytes{1, 9, 9, 4, 5, 7, 8, 0, 0, 3}));
  EXPECT_TRUE(writer.Bytes().empty());
  // Targets before the start, unknown whences and overflows fail without moving.
  MemoryWriter::Seek(&writer, 0, SEEK_SET);
  Write(writer, {1, 2, 3, 4});
  for (const auto& [offset, whence] : {std::pair<int64_t, int>{-1, SEEK_SET}, {-5, SEEK_END}, {0, 3},
                                       {INT64_MAX, SEEK_CUR}}) {
    EXPECT_EQ(MemoryWriter::Seek(&writer, offset, whence), -1) << offset << " " << whence;
    EXPECT_EQ(writer.Position(), 4u);
  }
  EXPECT_EQ(MemoryWriter::Write(&writer, nullptr, -5), 0);
}

TEST(BoundedMapRetryTest, RetriesWhileStillDrawingUntilTheLimitAndThrowsOtherFailuresAtOnce) {
  int attempts = 0;
  EXPECT_EQ(bounded_map_retry([&] { return ++attempts < 3 ? hr::kDxgiWasStillDrawing : hr::kFalse; },
                              milliseconds(5000), milliseconds(1)),
            kBoundedMapMapped);  // any success code counts as mapped
  EXPECT_EQ(attempts, 3);
  attempts = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(bounded_map_retry([&] { return ++attempts, hr::kDxgiWasStillDrawing; }, milliseconds(30), milliseconds(2)),
            kBoundedMapGaveUp);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));  // not before the limit
  EXPECT_GE(attempts, 2);
  EXPECT_LE(attempts, 16 + 1);  // polls at the interval, not in a busy loop
  attempts = 0;
  try {
    bounded_map_retry([&] { return ++attempts == 1 ? hr::kDxgiWasStillDrawing : hr::kDxgiDeviceRemoved; },
                      milliseconds(1000), milliseconds(1));
    ADD_FAILURE() << "a removed device counted as mapped";
  } catch (const HresultError& error) {
    EXPECT_EQ(error.code(), hr::kDxgiDeviceRemoved);
    EXPECT_EQ(attempts, 2);
  }
}

TEST(EncoderSelectionTest, TriesTheChainInOrderAndLogsOnlyTheOutcome) {
  const Names chain = {"h264_nvenc", "h264_qsv", "h264_amf", "h264_mf", "libopenh264", "libx264"};
  const std::tuple<Names, std::string, size_t, Lines> cases[] = {
      {{"h264_amf", "libx264"}, "h264_amf", 3, {L"[CAPABILITY] FFmpeg encoder selected: h264_amf"}},
      // The Media Foundation encoder names the transform it opens.
      {{"h264_mf", "libx264"},
       "h264_mf",
       4,
       {L"[CAPABILITY] FFmpeg encoder selected: h264_mf",
        L"[CAPABILITY] Media Foundation hardware transform: Fake world hardware H.264 encoder"}},
      {{}, "", 6, {L"[CAPABILITY] No FFmpeg encoder in the fallback chain opened successfully."}}};
  for (const auto& [opens, chosen, tried, expected] : cases) {
    Names asked;
    auto probe = [&](const std::string& name, uint32_t w, uint32_t h, uint32_t fps, uint32_t bitrate) {
      EXPECT_EQ(std::make_tuple(w, h, fps, bitrate), std::make_tuple(1280u, 720u, 60u, 9000000u));
      asked.push_back(name);
      return std::find(opens.begin(), opens.end(), name) != opens.end();
    };
    Lines lines;
    EXPECT_EQ(SelectFfmpegEncoderWith(probe, 1280, 720, 60, 9000000, [&](auto& l) { lines.push_back(l); }), chosen);
    EXPECT_EQ(asked, Names(chain.begin(), chain.begin() + static_cast<long>(tried)));
    EXPECT_EQ(lines, expected);
  }
}

// h264_mf without hw_encoding lists only synchronous transforms: Microsoft's
// software encoder. With it, hardware transforms only; and it is not even
// tried when no hardware transform activates.
TEST(EncoderSelectionTest, TheMediaFoundationEncoderOpensOnHardwareTransformsOnly) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(SingleStageEncoderOptions("h264_mf"), (Pairs{{"hw_encoding", "1"}}));
  EXPECT_EQ(SingleStageEncoderOptions("libopenh264"), Pairs{});
  OstrelSim_Reset();
  OstrelSim_SetHardwareEncoderPresent(false);
  Lines lines;
  const std::string chosen = SelectFfmpegEncoderWith(
      [](const std::string& name, uint32_t, uint32_t, uint32_t, uint32_t) { return name == "h264_mf"; }, 640, 360,
      30, 2000000, [&](auto& l) { lines.push_back(l); });
  EXPECT_EQ(chosen, "h264_mf");
  // Selected by the probe, but no transform to name.
  EXPECT_EQ(lines, Lines{L"[CAPABILITY] FFmpeg encoder selected: h264_mf"});
  OstrelSim_Reset();
}

// Every probe runs on a library thread in the apartment, whatever the
// caller's thread; the caller's own apartment is left as it was.
TEST(EncoderSelectionTest, ProbesRunOnALibraryThreadInTheApartment) {
  OstrelSim_Reset();
  uint64_t joins = 0, unmatched = 0;
  EXPECT_TRUE(ProbeHardwareEncoder());
  OstrelSim_GetApartmentCounts(&joins, &unmatched, nullptr);
  EXPECT_EQ(joins, 1u);
  Lines lines;
  const std::string chosen = SelectFfmpegEncoder(320, 180, 30, 2000000, [&](auto& l) { lines.push_back(l); });
  EXPECT_EQ(chosen, "libx264");  // the first of the fake world's chain this FFmpeg has
  OstrelSim_GetApartmentCounts(&joins, &unmatched, nullptr);
  EXPECT_EQ(joins, 2u);
  EXPECT_EQ(unmatched, 0u);
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);  // the caller never joined
}

TEST(LibraryApartmentTest, RunsTheTaskOnAnotherThreadInTheApartmentAndRethrows) {
  OstrelSim_Reset();
  const std::thread::id caller = std::this_thread::get_id();
  const auto [id, depth] = RunOnLibraryThread(
      [] { return std::make_pair(std::this_thread::get_id(), OstrelSim_GetApartmentDepthOfThisThread()); });
  EXPECT_NE(id, caller);
  EXPECT_EQ(depth, 1);
  EXPECT_EQ(OstrelSim_GetApartmentDepthOfThisThread(), 0);
  try {
    RunOnLibraryThread([]() -> int { throw HresultError(hr::kAccessDenied); });
    ADD_FAILURE() << "the task's exception was lost";
  } catch (const HresultError& error) {
    EXPECT_EQ(error.code(), hr::kAccessDenied);
  }
  uint64_t joins = 0, unmatched = 0;
  OstrelSim_GetApartmentCounts(&joins, &unmatched, nullptr);
  EXPECT_EQ(joins, 2u);
  EXPECT_EQ(unmatched, 0u);
}

const std::wstring kZeroCopyLine =
    L"[CAPABILITY] Zero-copy GPU submission supported - using NV12 GPU-resident encoder path.";
const std::wstring kCpuPathLine =
    L"[CAPABILITY] Zero-copy GPU submission not supported on this encoder - using CPU Map()/memcpy path.";
const std::wstring kNv12FallbackLine =
    L"[CAPABILITY] Encoder reports MF_SA_D3D11_AWARE but this GPU's video processor doesn't support NV12 output - "
    L"falling back to the CPU path.";
const std::wstring kCpuConversionLine =
    L"[CAPABILITY] GPU video processor unavailable (0x80004002) - converting BGRA to NV12 on the CPU.";

std::shared_ptr<platform::IGpuDevice> Device() {
  std::shared_ptr<platform::IGpuDevice> device;
  EXPECT_EQ(platform::GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  return device;
}

// Each case sets the fake world up afresh; the segment tests reset it too.
TEST(GpuEncodeContextTest, CapabilityLinesFollowTheEncoderAndTheVideoProcessor) {
  struct Case {
    bool present, aware, processor, nv12;  // hardware encoder, Direct3D 11 aware, video processor, its NV12 output
    Lines lines;
  };
  // Without a video processor the CPU converts, whatever the encoder could
  // take: the frames leave the GPU anyway, so there is no zero-copy path and
  // no NV12 question to ask.
  const Case cases[] = {{true, true, true, true, {kZeroCopyLine}},
                        {true, true, true, false, {kNv12FallbackLine, kCpuPathLine}},
                        {true, false, true, false, {kCpuPathLine}},
                        {false, false, true, false, {kCpuPathLine}},
                        {true, true, false, true, {kCpuConversionLine, kCpuPathLine}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.present << c.aware << c.processor << c.nv12);
    OstrelSim_Reset();
    OstrelSim_SetHardwareEncoderPresent(c.present);
    OstrelSim_SetHardwareEncoderD3D11Aware(c.aware);
    OstrelSim_SetVideoProcessorPresent(c.processor);
    OstrelSim_SetVideoProcessorNv12(c.nv12);
    Lines lines;
    GpuEncodeContext context(Device(), 1920, 1080, 1280, 720, [&](auto& l) { lines.push_back(l); },
                             [&](uint32_t w, uint32_t h, const LogSink& sink) {
                               EXPECT_EQ(std::make_pair(w, h), std::make_pair(1280u, 720u));  // the output size
                               LogTo(sink, L"selected");
                               return std::string("libx264");
                             });
    EXPECT_EQ(context.ZeroCopySupported(), c.lines == Lines{kZeroCopyLine});
    EXPECT_EQ(context.CpuConversion(), !c.processor);
    Lines expected = c.lines;
    expected.push_back(L"selected");  // the selection logs after the capability lines
    EXPECT_EQ(lines, expected);
  }

  // Any other failure of the video processor is not a missing processor:
  // construction fails with that code and nothing claims a CPU fallback.
  OstrelSim_Reset();
  OstrelSim_SetVideoProcessorPresent(false);
  auto device = Device();
  OstrelSim_LoseDevice(0x887A0005);
  Lines lines;
  try {
    GpuEncodeContext context(device, 640, 360, 640, 360, [&](auto& l) { lines.push_back(l); },
                             [](uint32_t, uint32_t, const LogSink&) { return std::string("libx264"); });
    ADD_FAILURE() << "a lost device built a context";
  } catch (const HresultError& error) {
    EXPECT_EQ(static_cast<uint32_t>(error.code()), 0x887A0005u);
  }
  EXPECT_TRUE(lines.empty());
  OstrelSim_Reset();
}

TEST(GpuEncodeContextTest, TheRealSelectionProbesQuietlyAndLogsAfterTheCapabilityLine) {
  OstrelSim_Reset();
  // The hardware encoders fail to open here; their complaints stay out of
  // the log, which FFmpeg's lines otherwise reach.
  testing::LogLines ffmpegLines;
  RouteFfmpegLogTo(ffmpegLines.Sink());
  Lines lines;
  GpuEncodeContext context(Device(), 1280, 720, 640, 360, [&](auto& l) { lines.push_back(l); });
  av_log(nullptr, AV_LOG_ERROR, "after the probes\n");
  RouteFfmpegLogTo({});
  ASSERT_FALSE(context.EncoderName().empty());  // libx264 at least is on every machine
  EXPECT_EQ(lines, (Lines{kZeroCopyLine, L"[CAPABILITY] FFmpeg encoder selected: " + Widen(context.EncoderName())}));
  EXPECT_EQ(ffmpegLines.All(), std::vector<std::wstring>{L"after the probes"});
}

}  // namespace
}  // namespace ostrel
