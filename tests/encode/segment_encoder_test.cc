#include "encode/ffmpeg_segment_encoder.h"

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "encode/encoder_selection.h"
#include "encode_test_util.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "replay/tick_clock.h"
#include "support/encode_media_probe.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using testing::CreateBgraTexture;
using testing::CreateSimDevice;
using testing::DecodedFrame;
using testing::DecodeVideoFrames;
using testing::FillBgra;
using testing::FillSolid;
using testing::MediaProbe;
using testing::ProbeMediaBytes;
using testing::SimWorldTest;
using testing::SinkLines;

constexpr int64_t kTicks = TickClock::kTicksPerSecond;
// An arbitrary capture-time origin; segments never start at tick 0.
constexpr int64_t kBase = 500 * kTicks;

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Expected BT.709 limited-range YCbCr of a full-range RGB colour.
struct Yuv {
  double y, cb, cr;
};
Yuv Bt709Limited(uint8_t r8, uint8_t g8, uint8_t b8) {
  const double r = r8 / 255.0, g = g8 / 255.0, b = b8 / 255.0;
  const double kr = 0.2126, kb = 0.0722;
  const double luma = kr * r + (1.0 - kr - kb) * g + kb * b;
  return Yuv{16.0 + 219.0 * luma, 128.0 + 224.0 * (b - luma) / (2.0 * (1.0 - kb)),
             128.0 + 224.0 * (r - luma) / (2.0 * (1.0 - kr))};
}

// The fake world's device, a context choosing `encoderName`, and one BGRA
// capture texture.
class EncoderRig {
 public:
  EncoderRig(uint32_t captureWidth, uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight,
             std::string encoderName = "libx264")
      : device_(CreateSimDevice()),
        context_(std::make_unique<GpuEncodeContext>(
            device_, captureWidth, captureHeight, outputWidth, outputHeight, lines.Sink(),
            [encoderName](uint32_t, uint32_t, const LogSink&) { return encoderName; })),
        frame_(CreateBgraTexture(*device_, captureWidth, captureHeight)) {
    lines.Clear();  // only the encoder's own lines matter here
  }

  GpuEncodeContext& Context() { return *context_; }
  platform::ITexture& Frame() { return *frame_; }

  SinkLines lines;

 private:
  std::shared_ptr<platform::IGpuDevice> device_;
  std::unique_ptr<GpuEncodeContext> context_;
  std::shared_ptr<platform::ITexture> frame_;
};

// Quick Sync stand-in: records what it is asked to open, answers by mode, and
// opens libx264 for real in its place so that the segment still gets made.
class FakeOpener : public EncoderOpener {
 public:
  enum class Mode { OpenEverything, RefuseLowPower, RefuseEverything };

  struct Call {
    std::map<std::string, std::string> options;
    int64_t bitRate = 0;
    int64_t maxRate = 0;
    int bufferSize = 0;
    int width = 0;
    int height = 0;
    AVRational timeBase{0, 1};
    AVRational frameRate{0, 1};
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    int gop = 0;
    int maxBFrames = -1;
    int flags = 0;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  };

  explicit FakeOpener(Mode mode) : mode_(mode) {}

  const AVCodec* Find(const std::string& name) const override {
    found.push_back(name);
    return avcodec_find_encoder_by_name("libx264");
  }

  int Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const override {
    Call call;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(*options, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
      call.options[entry->key] = entry->value;
    }
    call.bitRate = context->bit_rate;
    call.maxRate = context->rc_max_rate;
    call.bufferSize = context->rc_buffer_size;
    call.width = context->width;
    call.height = context->height;
    call.timeBase = context->time_base;
    call.frameRate = context->framerate;
    call.pixelFormat = context->pix_fmt;
    call.gop = context->gop_size;
    call.maxBFrames = context->max_b_frames;
    call.flags = context->flags;
    call.primaries = context->color_primaries;
    call.transfer = context->color_trc;
    call.matrix = context->colorspace;
    call.range = context->color_range;
    calls.push_back(call);
    const bool lowPower = call.options.count("low_power") != 0;
    if (mode_ == Mode::RefuseEverything || (mode_ == Mode::RefuseLowPower && lowPower)) return AVERROR(ENOSYS);
    // libx264 knows "preset"; the Quick Sync keys stay unused in the dictionary.
    return avcodec_open2(context, codec, options);
  }

  mutable std::vector<std::string> found;
  mutable std::vector<Call> calls;

 private:
  Mode mode_;
};

// Writes frames with the given tick stamps (all with the texture's current
// content), drains and finalizes.
EncodedSegment EncodeWithTicks(IVideoSegmentEncoder& encoder, platform::ITexture& frame,
                               const std::vector<int64_t>& ticks) {
  for (int64_t t : ticks) EXPECT_TRUE(encoder.WriteFrame(frame, t));
  encoder.DrainPending();
  return encoder.Finalize();
}

std::vector<int64_t> PtsInFrames(const MediaProbe& probe) {
  std::vector<int64_t> out;
  if (probe.streams.empty()) return out;
  const AVRational tb = probe.streams[0].timeBase;
  for (const auto& packet : probe.PacketsOf(0)) out.push_back(av_rescale_q(packet.pts, tb, AVRational{1, 30}));
  return out;
}

class SegmentEncoderTest : public SimWorldTest {
 protected:
  void SetUp() override {
    SimWorldTest::SetUp();
    RouteFfmpegLogTo({});
  }
};

TEST_F(SegmentEncoderTest, ASegmentIsOneH264StreamAtOutputSizeWithBt709LimitedTags) {
  EncoderRig rig(1280, 720, 640, 360);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 640, 360, 30, 6000000);
  constexpr int kFrames = 45;
  for (int i = 0; i < kFrames; ++i) {
    // Moving diagonal bars, so that every frame differs.
    FillBgra(rig.Frame(), [i](uint32_t x, uint32_t y) {
      const uint32_t v = ((x + y + 12 * static_cast<uint32_t>(i)) / 40) % 2 ? 220u : 40u;
      return 0xFF000000u | (v << 16) | ((255 - v) << 8) | (x & 0xFF);
    });
    EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + i * (kTicks / 30)));
  }
  encoder->DrainPending();
  const int64_t beforeFinalize = TickClock::Now();
  const EncodedSegment segment = encoder->Finalize();

  EXPECT_EQ(segment.frameCount, static_cast<uint32_t>(kFrames));
  EXPECT_EQ(segment.startTicks, kBase);
  EXPECT_FALSE(segment.needsReencode);
  // The duration runs from the first frame to the moment of finalizing.
  EXPECT_GE(segment.durationSeconds, static_cast<double>(beforeFinalize - kBase) / kTicks);
  ASSERT_TRUE(segment.bytes);

  const MediaProbe probe = ProbeMediaBytes(*segment.bytes);
  ASSERT_TRUE(probe.opened) << probe.error;
  EXPECT_NE(probe.formatName.find("mp4"), std::string::npos);
  ASSERT_EQ(probe.streams.size(), 1u);
  const auto& stream = probe.streams[0];
  EXPECT_EQ(stream.type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(stream.codecId, AV_CODEC_ID_H264);
  EXPECT_EQ(stream.width, 640);
  EXPECT_EQ(stream.height, 360);
  EXPECT_EQ(stream.primaries, AVCOL_PRI_BT709);
  EXPECT_EQ(stream.transfer, AVCOL_TRC_BT709);
  EXPECT_EQ(stream.matrix, AVCOL_SPC_BT709);
  EXPECT_EQ(stream.range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(stream.frameCount, kFrames);

  const auto packets = probe.PacketsOf(0);
  ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames));
  EXPECT_TRUE(packets[0].key);
  // Frames one period apart get consecutive time stamps from 0.
  std::vector<int64_t> expected(kFrames);
  for (int i = 0; i < kFrames; ++i) expected[i] = i;
  EXPECT_EQ(PtsInFrames(probe), expected);
  for (const auto& packet : packets) {
    EXPECT_EQ(packet.pts, packet.dts);  // no B-frames
    EXPECT_FALSE(packet.discard);
  }

  std::string error;
  const auto frames = DecodeVideoFrames(*segment.bytes, -1, &error);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames)) << error;
  EXPECT_TRUE(frames[0].key);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, 360);
    EXPECT_EQ(frame.range, AVCOL_RANGE_MPEG);
  }
}

TEST_F(SegmentEncoderTest, EqualOrDecreasingTicksStillGiveStrictlyIncreasingPts) {
  EncoderRig rig(320, 180, 320, 180);
  FillSolid(rig.Frame(), 90, 90, 90);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
  const int64_t period = kTicks / 30;
  // first frame; the same instant again; earlier than the first; three
  // periods in; almost the same; ten periods in.
  const EncodedSegment segment = EncodeWithTicks(
      *encoder, rig.Frame(), {kBase, kBase, kBase - period, kBase + 3 * period, kBase + 3 * period + 1000,
                              kBase + 10 * period});
  EXPECT_EQ(segment.frameCount, 6u);
  EXPECT_EQ(segment.startTicks, kBase);
  const MediaProbe probe = ProbeMediaBytes(*segment.bytes);
  ASSERT_TRUE(probe.opened) << probe.error;
  EXPECT_EQ(PtsInFrames(probe), (std::vector<int64_t>{0, 1, 2, 3, 4, 10}));
  // The last frame has a duration too, so readers keep it.
  EXPECT_EQ(DecodeVideoFrames(*segment.bytes).size(), 6u);
}

TEST_F(SegmentEncoderTest, ConvertedSolidColoursDecodeToBt709LimitedRangeYuv) {
  EncoderRig rig(256, 144, 128, 72);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 128, 72, 30, 4000000);
  const std::vector<std::array<uint8_t, 3>> colours = {
      {200, 60, 30}, {20, 180, 240}, {255, 255, 255}, {0, 0, 0}, {128, 128, 128}};
  for (size_t i = 0; i < colours.size(); ++i) {
    FillSolid(rig.Frame(), colours[i][0], colours[i][1], colours[i][2]);
    encoder->WriteFrame(rig.Frame(), kBase + static_cast<int64_t>(i) * kTicks / 30);
  }
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  const auto frames = DecodeVideoFrames(*segment.bytes);
  ASSERT_EQ(frames.size(), colours.size());
  for (size_t i = 0; i < colours.size(); ++i) {
    const DecodedFrame& frame = frames[i];
    ASSERT_EQ(frame.format, AV_PIX_FMT_YUV420P);
    const Yuv want = Bt709Limited(colours[i][0], colours[i][1], colours[i][2]);
    EXPECT_NEAR(frame.MeanOf(0, 16, 16, 96, 40), want.y, 3.0) << "colour " << i;
    EXPECT_NEAR(frame.MeanOf(1, 8, 8, 48, 20), want.cb, 3.0) << "colour " << i;
    EXPECT_NEAR(frame.MeanOf(2, 8, 8, 48, 20), want.cr, 3.0) << "colour " << i;
  }
}

TEST_F(SegmentEncoderTest, AStalledCopyIsDroppedAfterTheLimitAndTheNewFrameIsStillSubmitted) {
  EncoderRig rig(320, 180, 320, 180);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
  OstrelSim_SetStagingDelayMs(1000000);  // no copy ever finishes
  const int64_t period = kTicks / 30;
  // Grey levels tell the frames apart after decoding.
  const std::vector<uint8_t> greys = {30, 80, 130, 180, 230};
  for (int i = 0; i < 4; ++i) {
    FillSolid(rig.Frame(), greys[i], greys[i], greys[i]);
    // Four copies in flight: nothing has to be dropped yet.
    EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + i * period));
  }
  EXPECT_TRUE(rig.lines.StartingWith(L"[DIAG-FFMPEG-MAP-STALL-DROP]").empty());

  FillSolid(rig.Frame(), greys[4], greys[4], greys[4]);
  std::atomic<bool> done{false};
  bool accepted = true;
  std::chrono::steady_clock::duration elapsed{};
  std::thread writer([&] {
    const auto start = std::chrono::steady_clock::now();
    accepted = encoder->WriteFrame(rig.Frame(), kBase + 4 * period);
    elapsed = std::chrono::steady_clock::now() - start;
    done = true;
  });
  // The wait polls without holding the context lock, so the capture
  // callback's copy is never held up for the whole stall: the lock keeps
  // being free while the writer waits.
  std::this_thread::sleep_for(30ms);
  int freeWhileWaiting = 0;
  while (!done.load()) {
    if (rig.Context().ContextMutex().try_lock()) {
      rig.Context().ContextMutex().unlock();
      ++freeWhileWaiting;
    }
    std::this_thread::sleep_for(1ms);
  }
  writer.join();
  EXPECT_GT(freeWhileWaiting, 0);

  EXPECT_FALSE(accepted);
  EXPECT_GE(elapsed, 200ms);
  EXPECT_LT(elapsed, 10s);
  EXPECT_EQ(rig.lines.StartingWith(L"[DIAG-FFMPEG-MAP-STALL-DROP]"),
            (std::vector<std::wstring>{L"[DIAG-FFMPEG-MAP-STALL-DROP] gave up after 200ms waiting for GPU copy to "
                                       L"finish t=" + TickSeconds(kBase)}));

  // Once the GPU catches up, the other four (the new one included) land.
  OstrelSim_SetStagingDelayMs(0);
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 4u);
  EXPECT_EQ(segment.startTicks, kBase + period);  // the dropped frame never started the segment
  const auto frames = DecodeVideoFrames(*segment.bytes);
  ASSERT_EQ(frames.size(), 4u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_NEAR(frames[i].MeanOf(0, 0, 0, 320, 180), Bt709Limited(greys[i + 1], greys[i + 1], greys[i + 1]).y,
                3.0)
        << "frame " << i;
  }
}

TEST_F(SegmentEncoderTest, FinishedCopiesAreEncodedWithinTheNextCallsAndDrainingCollectsTheRest) {
  const int64_t period = kTicks / 30;
  {
    // Copies that are ready at once are encoded by the opportunistic drain of
    // the same call: nothing is left for Finalize to discard.
    EncoderRig rig(320, 180, 320, 180);
    FillSolid(rig.Frame(), 100, 150, 200);
    auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + i * period));
    EXPECT_EQ(encoder->Finalize().frameCount, 6u);
  }
  {
    // Copies still in flight are discarded by a Finalize without draining.
    EncoderRig rig(320, 180, 320, 180);
    FillSolid(rig.Frame(), 100, 150, 200);
    auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
    OstrelSim_SetStagingDelayMs(1000000);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + i * period));
    const EncodedSegment segment = encoder->Finalize();
    EXPECT_EQ(segment.frameCount, 0u);
    const MediaProbe probe = ProbeMediaBytes(*segment.bytes);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_TRUE(probe.packets.empty());
    OstrelSim_SetStagingDelayMs(0);
  }
  {
    // A slow GPU: DrainPending waits for every copy still in flight.
    EncoderRig rig(320, 180, 320, 180);
    FillSolid(rig.Frame(), 100, 150, 200);
    auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
    OstrelSim_SetStagingDelayMs(40);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + i * period));
    encoder->DrainPending();
    EXPECT_EQ(encoder->Finalize().frameCount, 4u);
    EXPECT_TRUE(rig.lines.StartingWith(L"[DIAG-FFMPEG-MAP-STALL-DROP]").empty());
  }
}

TEST_F(SegmentEncoderTest, GpuWorkWaitsForTheSharedContextLock) {
  EncoderRig rig(320, 180, 320, 180);
  FillSolid(rig.Frame(), 10, 20, 30);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
  std::atomic<bool> written{false};
  std::thread writer;
  {
    // Stands in for the capture callback's copy.
    std::lock_guard<std::mutex> lock(rig.Context().ContextMutex());
    writer = std::thread([&] {
      encoder->WriteFrame(rig.Frame(), kBase);
      written = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(written.load());
  }
  writer.join();
  EXPECT_TRUE(written.load());
  encoder->DrainPending();
  EXPECT_EQ(encoder->Finalize().frameCount, 1u);
}

TEST_F(SegmentEncoderTest, GraphicsFailuresLeaveTheCallAndPendingCopiesAreRetried) {
  EncoderRig rig(320, 180, 320, 180);
  FillSolid(rig.Frame(), 10, 20, 30);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
  const int64_t period = kTicks / 30;
  OstrelSim_SetStagingDelayMs(1000000);
  EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase));
  EXPECT_TRUE(encoder->WriteFrame(rig.Frame(), kBase + period));

  constexpr uint32_t kHung = 0x887A0006;
  OstrelSim_LoseDevice(kHung);
  try {
    encoder->WriteFrame(rig.Frame(), kBase + 2 * period);
    FAIL() << "expected HresultError";
  } catch (const HresultError& error) {
    EXPECT_EQ(static_cast<uint32_t>(error.code()), kHung);
  }
  EXPECT_THROW(encoder->DrainPending(), HresultError);

  // The failed maps left their entries queued: after recovery both frames
  // still reach the segment.
  OstrelSim_LoseDevice(0);
  OstrelSim_SetStagingDelayMs(0);
  encoder->DrainPending();
  EXPECT_EQ(encoder->Finalize().frameCount, 2u);
}

TEST_F(SegmentEncoderTest, FinalizeWithoutFramesGivesAValidEmptyMp4) {
  EncoderRig rig(320, 180, 320, 180);
  auto encoder = MakeSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 0u);
  EXPECT_FALSE(segment.needsReencode);
  ASSERT_TRUE(segment.bytes);
  const MediaProbe probe = ProbeMediaBytes(*segment.bytes);
  // The muxer leaves a track without samples out of the movie box, so the
  // file holds no stream at all; what matters is that it opens.
  ASSERT_TRUE(probe.opened) << probe.error;
  EXPECT_TRUE(probe.packets.empty());

  // A second Finalize has nothing more to give.
  const EncodedSegment again = encoder->Finalize();
  EXPECT_EQ(ByteCount(again.bytes), 0u);
}

TEST_F(SegmentEncoderTest, NoEncoderNameMeansNoSegmentEncoder) {
  EncoderRig rig(320, 180, 320, 180, "");
  try {
    MakeSegmentEncoder(rig.Context(), 320, 180, 30, 2000000);
    FAIL() << "expected std::runtime_error";
  } catch (const HresultError&) {
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "No FFmpeg encoder available (fallback chain exhausted)");
  }
  EXPECT_TRUE(rig.lines.Lines().empty());
}

TEST_F(SegmentEncoderTest, TheCodecIsConfiguredForShortSelfContainedSegments) {
  EncoderRig rig(320, 180, 320, 180, "libx264");
  const FakeOpener opener(FakeOpener::Mode::OpenEverything);
  // A target whose 4x buffer does not fit an int.
  constexpr uint32_t kHuge = 1000000000;
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 60, kHuge, opener);
  EXPECT_EQ(opener.found, (std::vector<std::string>{"libx264"}));
  ASSERT_EQ(opener.calls.size(), 1u);
  const FakeOpener::Call& call = opener.calls[0];
  EXPECT_EQ(call.bitRate, kHuge);
  EXPECT_EQ(call.maxRate, 2 * int64_t{kHuge});
  EXPECT_EQ(call.bufferSize, INT_MAX);
  EXPECT_EQ(call.width, 320);
  EXPECT_EQ(call.height, 180);
  EXPECT_EQ(call.timeBase.num, 1);
  EXPECT_EQ(call.timeBase.den, 60);
  EXPECT_EQ(call.frameRate.num, 60);
  EXPECT_EQ(call.frameRate.den, 1);
  EXPECT_EQ(call.pixelFormat, AV_PIX_FMT_NV12);
  EXPECT_EQ(call.gop, 120);
  EXPECT_EQ(call.maxBFrames, 0);
  EXPECT_EQ(call.flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_EQ(call.primaries, AVCOL_PRI_BT709);
  EXPECT_EQ(call.transfer, AVCOL_TRC_BT709);
  EXPECT_EQ(call.matrix, AVCOL_SPC_BT709);
  EXPECT_EQ(call.range, AVCOL_RANGE_MPEG);
  // The software encoder runs with the real-time options it advertises.
  std::map<std::string, std::string> advertised;
  for (const auto& [key, value] : SingleStageEncoderOptions("libx264")) advertised[key] = value;
  EXPECT_EQ(call.options, advertised);
  EXPECT_EQ(advertised.count("low_power"), 0u);

  const auto opts = rig.lines.StartingWith(L"[DIAG-ENCODER-OPTS] ");
  ASSERT_EQ(opts.size(), 1u);
  EXPECT_EQ(opts[0].rfind(L"[DIAG-ENCODER-OPTS] single-stage arm: libx264 ", 0), 0u) << opts[0].c_str();
  EXPECT_TRUE(EndsWith(opts[0], L" @ target bitrate: ok")) << opts[0].c_str();
}

class TwoStageArmTest : public SegmentEncoderTest {};

TEST_F(TwoStageArmTest, QuickSyncOpensLowPowerAtTripleRateCappedAndMarksTheSegment) {
  struct Case {
    uint32_t target;
    int64_t live;
  };
  // Three times the target, but never above 35 Mbit/s.
  for (const Case& c : {Case{6000000, 18000000}, Case{20000000, 35000000}}) {
    EncoderRig rig(320, 180, 320, 180, "h264_qsv");
    const FakeOpener opener(FakeOpener::Mode::OpenEverything);
    auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, c.target, opener);
    ASSERT_EQ(opener.calls.size(), 1u);
    EXPECT_EQ(opener.calls[0].options, (std::map<std::string, std::string>{
                                           {"preset", "veryfast"}, {"async_depth", "6"}, {"low_power", "1"}}));
    EXPECT_EQ(opener.calls[0].bitRate, c.live);
    EXPECT_EQ(opener.calls[0].maxRate, 2 * c.live);
    EXPECT_EQ(opener.calls[0].bufferSize, 4 * c.live);
    EXPECT_EQ(rig.lines.Lines(),
              (std::vector<std::wstring>{L"[DIAG-ENCODER-OPTS] two-stage live arm: VDEnc (low_power=1) veryfast "
                                         L"async_depth=6 @ " +
                                         std::to_wstring(c.live / 1000) + L"kbps (save re-encodes to " +
                                         std::to_wstring(c.target / 1000) + L"kbps)"}));
    FillSolid(rig.Frame(), 50, 100, 150);
    const EncodedSegment segment = EncodeWithTicks(*encoder, rig.Frame(), {kBase, kBase + kTicks / 30});
    EXPECT_TRUE(segment.needsReencode);
    EXPECT_EQ(segment.frameCount, 2u);
    EXPECT_EQ(DecodeVideoFrames(*segment.bytes).size(), 2u);
  }
}

TEST_F(TwoStageArmTest, RefusedLowPowerFallsBackToTheSingleStageArmAtTheTarget) {
  EncoderRig rig(320, 180, 320, 180, "h264_qsv");
  const FakeOpener opener(FakeOpener::Mode::RefuseLowPower);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 6000000, opener);
  ASSERT_EQ(opener.calls.size(), 2u);
  EXPECT_EQ(opener.calls[1].options,
            (std::map<std::string, std::string>{{"preset", "veryfast"}, {"async_depth", "6"}}));
  EXPECT_EQ(opener.calls[1].bitRate, 6000000);
  EXPECT_EQ(rig.lines.Lines(),
            (std::vector<std::wstring>{
                L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: ok"}));
  FillSolid(rig.Frame(), 50, 100, 150);
  const EncodedSegment segment = EncodeWithTicks(*encoder, rig.Frame(), {kBase});
  EXPECT_FALSE(segment.needsReencode);
  EXPECT_EQ(segment.frameCount, 1u);
}

TEST_F(TwoStageArmTest, NothingOpensFailsConstructionAfterTheFailedLine) {
  for (const std::string name : {"h264_qsv", "libx264"}) {
    EncoderRig rig(320, 180, 320, 180, name);
    const FakeOpener opener(FakeOpener::Mode::RefuseEverything);
    try {
      MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 6000000, opener);
      FAIL() << "expected std::runtime_error for " << name;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "avcodec_open2 failed for previously-probed encoder");
    }
    const auto lines = rig.lines.Lines();
    ASSERT_EQ(lines.size(), 1u) << name;
    EXPECT_EQ(lines[0].rfind(L"[DIAG-ENCODER-OPTS] single-stage arm: ", 0), 0u);
    EXPECT_TRUE(EndsWith(lines[0], L" @ target bitrate: FAILED")) << lines[0].c_str();
    if (name == "h264_qsv") {
      EXPECT_EQ(lines[0], L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: FAILED");
      EXPECT_EQ(opener.calls.size(), 2u);
    }
  }
}

TEST_F(TwoStageArmTest, OnlyQuickSyncTriesTheLowPowerArm) {
  EncoderRig rig(320, 180, 320, 180, "h264_nvenc");
  const FakeOpener opener(FakeOpener::Mode::OpenEverything);
  auto encoder = MakeFfmpegSegmentEncoder(rig.Context(), 320, 180, 30, 6000000, opener);
  ASSERT_EQ(opener.calls.size(), 1u);
  EXPECT_TRUE(opener.calls[0].options.empty());
  EXPECT_EQ(opener.calls[0].bitRate, 6000000);
  EXPECT_EQ(rig.lines.Lines(), (std::vector<std::wstring>{L"[DIAG-ENCODER-OPTS] single-stage arm: h264_nvenc "
                                                          L"(encoder defaults) @ target bitrate: ok"}));
}

}  // namespace
}  // namespace ostrel
