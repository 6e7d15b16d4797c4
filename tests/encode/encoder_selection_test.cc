#include "encode/encoder_selection.h"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "encode_test_util.h"
#include "ffmpeg/ffmpeg_log.h"

namespace ostrel {
namespace {

using testing::SimWorldTest;
using testing::SinkLines;

const std::vector<std::string> kExpectedChain = {"h264_nvenc", "h264_qsv", "h264_amf", "libopenh264", "libx264"};

// A probe that opens only the names it is given and records every call.
struct FakeProbe {
  std::vector<std::string> opens;
  std::vector<std::tuple<std::string, uint32_t, uint32_t, uint32_t, uint32_t>> calls;

  FfmpegEncoderProbe Fn() {
    return [this](const std::string& name, uint32_t w, uint32_t h, uint32_t fps, uint32_t bitrate) {
      calls.emplace_back(name, w, h, fps, bitrate);
      return std::find(opens.begin(), opens.end(), name) != opens.end();
    };
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& call : calls) out.push_back(std::get<0>(call));
    return out;
  }
};

TEST(EncoderSelectionTest, TriesTheChainInOrderAndLogsOnlyTheFirstSuccess) {
  EXPECT_EQ(std::vector<std::string>(FfmpegEncoderFallbackChain().begin(), FfmpegEncoderFallbackChain().end()),
            kExpectedChain);

  FakeProbe probe;
  probe.opens = {"h264_amf", "libx264"};
  SinkLines lines;
  EXPECT_EQ(SelectFfmpegEncoderWith(probe.Fn(), 1280, 720, 60, 9000000, lines.Sink()), "h264_amf");
  EXPECT_EQ(probe.Names(), (std::vector<std::string>{"h264_nvenc", "h264_qsv", "h264_amf"}));
  for (const auto& call : probe.calls) {
    EXPECT_EQ(call, std::make_tuple(std::get<0>(call), 1280u, 720u, 60u, 9000000u));
  }
  EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{L"[CAPABILITY] FFmpeg encoder selected: h264_amf"}));
}

TEST(EncoderSelectionTest, NothingOpensGivesOneLineAndAnEmptyName) {
  FakeProbe probe;
  SinkLines lines;
  EXPECT_EQ(SelectFfmpegEncoderWith(probe.Fn(), 640, 360, 30, 6000000, lines.Sink()), "");
  EXPECT_EQ(probe.Names(), kExpectedChain);
  EXPECT_EQ(lines.Lines(),
            (std::vector<std::wstring>{L"[CAPABILITY] No FFmpeg encoder in the fallback chain opened successfully."}));
}

TEST(EncoderSelectionTest, WithoutASinkTheChoiceIsTheSame) {
  FakeProbe probe;
  probe.opens = {"libopenh264"};
  EXPECT_EQ(SelectFfmpegEncoderWith(probe.Fn(), 640, 360, 30, 6000000, LogSink{}), "libopenh264");
  FakeProbe none;
  EXPECT_EQ(SelectFfmpegEncoderWith(none.Fn(), 640, 360, 30, 6000000, LogSink{}), "");
}

TEST(EncoderSelectionTest, RealProbesOpenWhatThisMachineHas) {
  RouteFfmpegLogTo({});  // keep the failing hardware encoders quiet
  EXPECT_TRUE(ProbeFfmpegEncoder("libx264", 640, 360, 30, 6000000));
  EXPECT_FALSE(ProbeFfmpegEncoder("no_such_encoder", 640, 360, 30, 6000000));
  EXPECT_FALSE(ProbeFfmpegEncoder("h264", 640, 360, 30, 6000000));  // a decoder name, no encoder
  EXPECT_FALSE(ProbeFfmpegEncoder("libx264", 640, 360, 0, 6000000));
  EXPECT_FALSE(ProbeFfmpegEncoder("libx264", 0, 0, 30, 6000000));

  // The real selection is the first chain name the real probe opens.
  std::string expected;
  for (const char* name : FfmpegEncoderFallbackChain()) {
    if (ProbeFfmpegEncoder(name, 640, 360, 30, 6000000)) {
      expected = name;
      break;
    }
  }
  SinkLines lines;
  EXPECT_EQ(SelectFfmpegEncoder(640, 360, 30, 6000000, lines.Sink()), expected);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(lines.Lines(), (std::vector<std::wstring>{L"[CAPABILITY] FFmpeg encoder selected: " + Widen(expected)}));
}

class HardwareProbeTest : public SimWorldTest {};

TEST_F(HardwareProbeTest, FollowTheWorldsEncoderPresenceAndAwareness) {
  EXPECT_TRUE(ProbeHardwareEncoder());
  EXPECT_TRUE(ProbeD3D11AwareEncoder());

  OstrelSim_SetHardwareEncoderD3D11Aware(false);
  EXPECT_TRUE(ProbeHardwareEncoder());
  EXPECT_FALSE(ProbeD3D11AwareEncoder());

  OstrelSim_SetHardwareEncoderD3D11Aware(true);
  OstrelSim_SetHardwareEncoderPresent(false);
  EXPECT_FALSE(ProbeHardwareEncoder());
  EXPECT_FALSE(ProbeD3D11AwareEncoder());

  // Nothing is cached: the next call sees the change back.
  OstrelSim_SetHardwareEncoderPresent(true);
  EXPECT_TRUE(ProbeHardwareEncoder());
  EXPECT_TRUE(ProbeD3D11AwareEncoder());
}

}  // namespace
}  // namespace ostrel
