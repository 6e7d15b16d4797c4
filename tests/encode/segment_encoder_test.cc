// The FFmpeg segment encoder on the fake world's GPU, decoded back with FFmpeg.
#include "encode/ffmpeg_segment_encoder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "encode/encoder_selection.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ostrel/ostrel_sim.h"
#include "platform/cpu/cpu_gpu.h"
#include "platform/platform.h"
#include "platform/sim/sim_gpu.h"
#include "replay/tick_clock.h"
#include "support/clip_probe.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the clip probe
using Lines = std::vector<std::wstring>;
using Options = std::map<std::string, std::string>;

constexpr int64_t kPeriod = TickClock::kTicksPerSecond / 30;
constexpr int64_t kBase = 500 * TickClock::kTicksPerSecond;  // segments never start at tick 0

using Colours = std::vector<std::array<uint8_t, 3>>;

// The segment decodes to planar 4:2:0 frames in the BT.709 limited-range
// YCbCr of the RGB colours given, one frame each.
void ExpectColours(const ClipInfo& clip, const Colours& colours, double tolerance) {
  EXPECT_EQ(clip.video.pixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(clip.video.decodeErrors, 0);
  ASSERT_EQ(clip.video.frameMiddleYuv.size(), colours.size());
  for (size_t i = 0; i < colours.size(); ++i) {
    const double r = colours[i][0] / 255.0, g = colours[i][1] / 255.0, b = colours[i][2] / 255.0;
    const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const std::array<double, 3> want{16.0 + 219.0 * luma, 128.0 + 224.0 * (b - luma) / 1.8556,
                                     128.0 + 224.0 * (r - luma) / 1.5748};
    for (int p = 0; p < 3; ++p) EXPECT_NEAR(clip.video.frameMiddleYuv[i][p], want[p], tolerance) << i << " " << p;
  }
}

// The fake world's device, a context that chooses `encoderName`, and one
// BGRA capture texture.
class SegmentEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OstrelSim_Reset();
    RouteFfmpegLogTo({});
  }
  void TearDown() override { OstrelSim_Reset(); }
  void Rig(uint32_t captureWidth, uint32_t captureHeight, uint32_t outputWidth, uint32_t outputHeight,
           std::string encoderName = "libx264") {
    std::shared_ptr<platform::IGpuDevice> device;
    ASSERT_EQ(platform::GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
    context_ = std::make_unique<GpuEncodeContext>(
        device, captureWidth, captureHeight, outputWidth, outputHeight,
        [this](const std::wstring& line) { lines_.push_back(line); },
        [encoderName](uint32_t, uint32_t, const LogSink&) { return encoderName; });
    lines_.clear();  // only the encoder's own lines matter here
    ASSERT_EQ(device->CreateTexture(platform::TextureDesc{captureWidth, captureHeight}, &frame_), hr::kOk);  // BGRA
  }
  void Fill(uint8_t r, uint8_t g, uint8_t b) {
    auto& sim = dynamic_cast<sim::SimTexture&>(*frame_);
    const uint8_t bgra[4] = {b, g, r, 0xFF};
    const size_t size = size_t{sim.Desc().height} * sim.RowPitch();  // row padding is filled too: harmless
    for (size_t i = 0; i < size; i += 4) std::memcpy(sim.Data() + i, bgra, 4);
  }
  // One frame of each colour at its tick (one period apart if none given).
  EncodedSegment Encode(IVideoSegmentEncoder& encoder, const Colours& colours, std::vector<int64_t> ticks = {}) {
    for (size_t i = 0; i < colours.size(); ++i) {
      Fill(colours[i][0], colours[i][1], colours[i][2]);
      EXPECT_TRUE(encoder.WriteFrame(*frame_, i < ticks.size() ? ticks[i] : kBase + static_cast<int64_t>(i) * kPeriod));
    }
    encoder.DrainPending();
    return encoder.Finalize();
  }

  Lines lines_;  // the stall line comes from the writing thread, read after its result
  std::unique_ptr<GpuEncodeContext> context_;
  std::shared_ptr<platform::ITexture> frame_;
};

// The same segment whether the GPU's video processor converts and scales or,
// on a device without one, the CPU does after a staging read-back.
TEST_F(SegmentEncoderTest, ASegmentIsOneH264StreamAtOutputSizeWithBt709LimitedRangeAndBumpedPts) {
  for (const bool videoProcessor : {true, false}) {
    SCOPED_TRACE(videoProcessor ? "video processor" : "CPU conversion");
    OstrelSim_Reset();
    OstrelSim_SetVideoProcessorPresent(videoProcessor);
    Rig(640, 360, 320, 180);
    auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
    const Colours colours = {{200, 60, 30}, {20, 180, 240}, {255, 255, 255}, {0, 0, 0}, {128, 128, 128}, {90, 200, 90}};
    // The same instant again and an earlier one are bumped one period past the
    // previous frame; a frame almost on top of one before it too. The slots
    // between the fifth frame and the last hold the fifth's picture again.
    const EncodedSegment segment = Encode(*encoder, colours, {kBase, kBase, kBase - kPeriod, kBase + 3 * kPeriod,
                                                              kBase + 3 * kPeriod + 1000, kBase + 10 * kPeriod});
    EXPECT_EQ(segment.frameCount, 11u);
    EXPECT_EQ(segment.startTicks, kBase);
    EXPECT_FALSE(segment.needsReencode);

    ASSERT_TRUE(segment.bytes);
    const ClipInfo clip = ProbeClipBytes(*segment.bytes, true);
    const auto& v = clip.video;
    EXPECT_EQ(clip.streamCount, 1);
    EXPECT_EQ(std::make_tuple(v.codec, v.width, v.height), std::make_tuple(std::string("h264"), 320, 180));
    EXPECT_EQ(std::make_tuple(v.colorPrimaries, v.colorTransfer, v.colorSpace, v.colorRange),
              std::make_tuple(+AVCOL_PRI_BT709, +AVCOL_TRC_BT709, +AVCOL_SPC_BT709, +AVCOL_RANGE_MPEG));
    ASSERT_EQ(v.packets.size(), 11u);
    EXPECT_TRUE(v.packets[0].key);
    std::vector<int64_t> pts;
    for (const auto& packet : v.packets) pts.push_back(std::llround(packet.ptsSeconds * 30));
    EXPECT_EQ(pts, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(v.emptySlots, 0u);
    // Every frame decodes (the last has a duration too) in the colours given,
    // the repeats in the fifth frame's.
    Colours shown(colours.begin(), colours.begin() + 5);
    shown.insert(shown.end(), 5, colours[4]);
    shown.push_back(colours[5]);
    ExpectColours(clip, shown, 3.0);
  }
}

// Repeats of the last picture fill their slots without a new copy (the
// texture may hold a newer picture by then), and a segment that continues
// another starts in the slot after the other's last frame, its first
// picture filling the slots up to its own.
TEST_F(SegmentEncoderTest, RepeatsAndAContinuingSegmentFillEverySlot) {
  Rig(640, 360, 320, 180);
  const Colours colours = {{200, 60, 30}, {20, 180, 240}};
  auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
  EXPECT_FALSE(encoder->RepeatLast(kBase));  // nothing to repeat yet
  Fill(colours[0][0], colours[0][1], colours[0][2]);
  EXPECT_TRUE(encoder->WriteFrame(*frame_, kBase));
  Fill(colours[1][0], colours[1][1], colours[1][2]);
  EXPECT_TRUE(encoder->RepeatLast(kBase + kPeriod));
  EXPECT_TRUE(encoder->RepeatLast(kBase + 3 * kPeriod));  // the slot between is filled too
  EXPECT_TRUE(encoder->WriteFrame(*frame_, kBase + 4 * kPeriod));
  encoder->DrainPending();
  EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 5u);
  ClipInfo clip = ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectColours(clip, {colours[0], colours[0], colours[0], colours[0], colours[1]}, 3.0);

  // The slot after the last frame, on the segment's own grid (five slots
  // of a third of a million ticks from its start), which the segment's
  // duration reaches at least.
  ASSERT_TRUE(encoder->NextSlotTicks());
  EXPECT_EQ(*encoder->NextSlotTicks(), kBase + 5 * TickClock::kTicksPerSecond / 30 + 1);
  EXPECT_GE(segment.EndTicks(), *encoder->NextSlotTicks());
  auto next = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
  next->ContinueAt(*encoder->NextSlotTicks());
  EXPECT_TRUE(next->WriteFrame(*frame_, kBase + 7 * kPeriod));
  next->DrainPending();
  segment = next->Finalize();
  EXPECT_EQ(segment.startTicks, *encoder->NextSlotTicks());
  EXPECT_EQ(segment.frameCount, 3u);
  clip = ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectColours(clip, {colours[1], colours[1], colours[1]}, 3.0);
}

TEST_F(SegmentEncoderTest, AStalledCopyIsDroppedWithALineWhileTheContextLockStaysFree) {
  Rig(320, 180, 320, 180);
  auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 2000000);
  OstrelSim_SetStagingDelayMs(1000000);  // no copy ever finishes
  Fill(30, 80, 130);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(encoder->WriteFrame(*frame_, kBase + i * kPeriod));  // four may wait
  auto write = std::async(std::launch::async, [&] { return encoder->WriteFrame(*frame_, kBase + 4 * kPeriod); });
  // The wait polls without the context lock, so the capture callback's copy
  // is not held up for the whole stall.
  int freeWhileWaiting = 0;
  for (std::this_thread::sleep_for(30ms); write.wait_for(1ms) != std::future_status::ready;) {
    if (context_->ContextMutex().try_lock()) {
      context_->ContextMutex().unlock();
      ++freeWhileWaiting;
    }
  }
  EXPECT_FALSE(write.get());
  EXPECT_GT(freeWhileWaiting, 0);
  EXPECT_EQ(std::ranges::count(lines_, L"[DIAG-FFMPEG-MAP-STALL-DROP] gave up after 200ms waiting for GPU copy to "
                                       L"finish t=" + TickSeconds(kBase)), 1);

  // Once the GPU catches up, the other four (the new one included) land.
  OstrelSim_SetStagingDelayMs(0);
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 4u);
  EXPECT_EQ(segment.startTicks, kBase + kPeriod);  // the dropped frame never started the segment
}

// Each new segment encoder takes the textures the last one gave back instead
// of creating its own; an encoder still alive keeps its own, and no picture
// of one segment shows up in the next.
TEST_F(SegmentEncoderTest, ANewEncoderTakesTheTexturesTheLastOneGaveBackAndNoneOfItsPictures) {
  Rig(640, 360, 320, 180);
  auto first = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
  const EncodedSegment before = Encode(*first, {{200, 60, 30}, {20, 180, 240}});
  EXPECT_EQ(before.frameCount, 2u);
  OstrelSim_FailTextureCreation(100, 0x80004005);
  EXPECT_THROW(MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000), HresultError)
      << "the first encoder's textures are still its own";

  first.reset();
  EXPECT_EQ(context_->Textures().IdleCount(), GpuEncodeContext::kPooledTextures);
  auto next = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);  // with the device refusing textures
  EXPECT_EQ(context_->Textures().IdleCount(), 0u);
  const Colours colours = {{90, 200, 90}, {255, 255, 255}, {0, 0, 0}};
  const EncodedSegment segment = Encode(*next, colours);
  EXPECT_EQ(segment.frameCount, 3u);
  const ClipInfo clip = ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectColours(clip, colours, 3.0);
}

TEST_F(SegmentEncoderTest, FinalizeWithoutFramesGivesAnEmptyMp4AndNoNameGivesNoEncoder) {
  Rig(320, 180, 320, 180);
  auto encoder = MakeSegmentEncoder(*context_, 320, 180, 30, 2000000);
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 0u);
  ASSERT_TRUE(segment.bytes);
  const ClipInfo clip = ProbeClipBytes(*segment.bytes, false);
  ASSERT_TRUE(clip.opened);
  EXPECT_TRUE(clip.video.packets.empty());
  EXPECT_EQ(ByteCount(encoder->Finalize().bytes), 0u);  // a second Finalize has nothing more
  encoder.reset();

  Rig(320, 180, 320, 180, "");
  try {
    MakeSegmentEncoder(*context_, 320, 180, 30, 2000000);
    ADD_FAILURE() << "an encoder without a name";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "No FFmpeg encoder available (fallback chain exhausted)");
  }
}

// An encoder that takes planar 4:2:0 but not NV12 (libopenh264 does that;
// FFmpeg's mpeg4 encoder stands in for it here): the probe opens it, and the
// interleaved chroma of the converted frames reaches it split into U and V,
// so the colours survive.
TEST_F(SegmentEncoderTest, AnEncoderWithoutNv12GetsPlanarChromaInTheRightColours) {
  EXPECT_TRUE(ProbeFfmpegEncoder("mpeg4", 320, 180, 30, 2000000));

  Rig(320, 180, 320, 180, "mpeg4");
  auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
  const Colours colours = {{200, 60, 30}, {20, 180, 240}, {90, 200, 90}};
  const EncodedSegment segment = Encode(*encoder, colours);
  ASSERT_TRUE(segment.bytes);
  ExpectColours(ProbeClipBytes(*segment.bytes, true), colours, 4.0);
}

// Quick Sync stand-in: records the options and rate of each open, refuses
// the first `refuse` of them, and opens libx264 for real in their place.
struct FakeOpener : EncoderOpener {
  explicit FakeOpener(int refuseCount) : refuse(refuseCount) {}
  const AVCodec* Find(const std::string&) const override { return avcodec_find_encoder_by_name("libx264"); }
  int Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const override {
    Options& opened = calls.emplace_back();
    for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(*options, "", e, AV_DICT_IGNORE_SUFFIX));) {
      opened[e->key] = e->value;
    }
    EXPECT_EQ(context->gop_size, 60);  // two seconds: each segment starts on a key frame
    lastRate = context->bit_rate;
    return static_cast<int>(calls.size()) <= refuse ? AVERROR(ENOSYS) : avcodec_open2(context, codec, options);
  }
  int refuse;
  mutable std::vector<Options> calls;
  mutable int64_t lastRate = 0;
};

TEST_F(SegmentEncoderTest, QuickSyncTriesTheTwoStageArmFirstAndFallsBackToTheTarget) {
  const Options kQsv = {{"preset", "veryfast"}, {"async_depth", "6"}};
  Options kLowPower = kQsv;
  kLowPower["low_power"] = "1";
  const std::wstring kLive = L"[DIAG-ENCODER-OPTS] two-stage live arm: VDEnc (low_power=1) veryfast async_depth=6 @ ";
  const std::wstring kPak = L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: ";
  struct Case {
    std::string name;
    int refuse;
    uint32_t target;
    std::vector<Options> opened;  // the options of each attempt
    int64_t lastRate;
    std::wstring line;
  };
  const Case cases[] = {
      // Three times the target, capped at 35 Mbit/s; the save re-encodes.
      {"h264_qsv", 0, 6000000, {kLowPower}, 18000000, kLive + L"18000kbps (save re-encodes to 6000kbps)"},
      {"h264_qsv", 0, 20000000, {kLowPower}, 35000000, kLive + L"35000kbps (save re-encodes to 20000kbps)"},
      {"h264_qsv", 1, 6000000, {kLowPower, kQsv}, 6000000, kPak + L"ok"},
      {"h264_qsv", 2, 6000000, {kLowPower, kQsv}, 6000000, kPak + L"FAILED"},
      {"h264_nvenc", 0, 6000000, {{}}, 6000000, kPak + L"ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " target " + std::to_string(c.target));
    Rig(320, 180, 320, 180, c.name);
    const FakeOpener opener(c.refuse);
    std::unique_ptr<IVideoSegmentEncoder> encoder;
    try {
      encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, c.target, opener);
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "avcodec_open2 failed for previously-probed encoder");
    }
    EXPECT_EQ(encoder == nullptr, c.refuse == 2);
    EXPECT_EQ(opener.calls, c.opened);
    EXPECT_EQ(opener.lastRate, c.lastRate);
    EXPECT_EQ(lines_, Lines{c.line});
    if (!encoder) continue;
    const EncodedSegment segment = Encode(*encoder, {{50, 100, 150}, {50, 100, 150}});
    EXPECT_EQ(segment.needsReencode, c.lastRate != c.target);
    EXPECT_EQ(ProbeClipBytes(*segment.bytes, true).video.framePtsSeconds.size(), 2u);
  }
}

// An asynchronous Media Foundation transform as h264_mf drives it: libx264
// behind a send that refuses (EAGAIN) the first offer of every other frame
// and of the end of the stream, and keeps refusing until the packets ready
// have been taken. `never`: refuses everything.
struct RefusingOpener : EncoderOpener {
  explicit RefusingOpener(bool never) : refuseForever(never) {}
  const AVCodec* Find(const std::string&) const override { return avcodec_find_encoder_by_name("libx264"); }
  int SendFrame(AVCodecContext* context, const AVFrame* frame) const override {
    const bool firstOfferRefused = !retrying && (frame == nullptr || accepted % 2 == 1);
    if (refuseForever || blocked || firstOfferRefused) {
      retrying = true;
      blocked = true;
      ++refusals;
      return AVERROR(EAGAIN);
    }
    retrying = false;
    if (frame != nullptr) ++accepted;
    if (frame == nullptr) flushed = true;
    return avcodec_send_frame(context, frame);
  }
  int ReceivePacket(AVCodecContext* context, AVPacket* packet) const override {
    blocked = false;
    return avcodec_receive_packet(context, packet);
  }
  bool refuseForever;
  mutable bool blocked = false;
  mutable bool retrying = false;
  mutable bool flushed = false;
  mutable int accepted = 0;
  mutable int refusals = 0;
};

TEST_F(SegmentEncoderTest, AFrameTheEncoderRefusesIsSentAgainAfterItsPacketsAreTakenNeverDropped) {
  Rig(320, 180, 320, 180, "h264_mf");
  const RefusingOpener opener(false);
  auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000, opener);
  const Colours colours = {{200, 60, 30}, {20, 180, 240}, {255, 255, 255}, {0, 0, 0}, {128, 128, 128}, {90, 200, 90}};
  const EncodedSegment segment = Encode(*encoder, colours);
  EXPECT_GE(opener.refusals, 4);  // every other frame, and the end of the stream
  EXPECT_TRUE(opener.flushed);
  EXPECT_EQ(segment.frameCount, 6u);
  ASSERT_TRUE(segment.bytes);
  const ClipInfo clip = ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(clip.video.packets.size(), 6u);
  ExpectColours(clip, colours, 3.0);
}

TEST_F(SegmentEncoderTest, AnEncoderThatNeverTakesTheFrameLosesItAfterTheLimitAndNothingHangs) {
  Rig(320, 180, 320, 180, "h264_mf");
  const RefusingOpener opener(true);
  auto encoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000, opener);
  Fill(30, 80, 130);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(encoder->WriteFrame(*frame_, kBase));  // the write itself goes on; the frame is lost
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(segment.frameCount, 0u);
  EXPECT_GE(elapsed, kRefusedFrameRetryLimit);
  EXPECT_LT(elapsed, 10 * kRefusedFrameRetryLimit);
  EXPECT_GT(opener.refusals, 2);
  EXPECT_LT(opener.refusals, 1000);  // offered again at an interval, not in a busy loop
}

// A device in system memory has its frames read straight into the encoder's
// picture: the encoder holds no texture at all, scaled BGRA frames and NV12
// frames converted at the capture copy land in their colours, and a skipped
// slot and a repeat hold the picture before them, not the one read after.
// The fake world's context, whose copies can be delayed as a GPU's, keeps its
// conversion target and all four staging slots.
TEST_F(SegmentEncoderTest, OnADeviceInSystemMemoryFramesAreReadStraightIntoThePicture) {
  const size_t nv12Bytes = size_t{platform::cpu::CpuTexture::PitchFor({320, 180, platform::PixelFormat::Nv12})} * 270;
  const Colours colours = {{200, 60, 30}, {20, 180, 240}, {255, 255, 255}, {0, 0, 0}};

  auto cpuDevice = std::make_shared<platform::cpu::CpuDevice>(4096);
  GpuEncodeContext cpuContext(
      cpuDevice, 640, 360, 320, 180, [](const std::wstring&) {},
      [](uint32_t, uint32_t, const LogSink&) { return std::string("libx264"); });
  EXPECT_TRUE(cpuContext.ImmediateContext().ReadsIntoMemory());
  std::shared_ptr<platform::ITexture> cpuFrame;
  ASSERT_EQ(cpuDevice->CreateTexture(platform::TextureDesc{640, 360}, &cpuFrame), hr::kOk);
  auto& bgra = static_cast<platform::cpu::CpuTexture&>(*cpuFrame);
  const auto paint = [&bgra](const std::array<uint8_t, 3>& colour) {
    for (size_t at = 0; at < bgra.ByteSize(); at += 4) {
      const uint8_t pixel[4] = {colour[2], colour[1], colour[0], 0xFF};
      std::memcpy(bgra.Data() + at, pixel, 4);
    }
  };
  // Mid grey in BT.709 limited range, as the capture copy converts it.
  std::shared_ptr<platform::ITexture> nv12Frame;
  ASSERT_EQ(cpuDevice->CreateTexture(platform::TextureDesc{320, 180, platform::PixelFormat::Nv12}, &nv12Frame),
            hr::kOk);
  auto& nv12 = static_cast<platform::cpu::CpuTexture&>(*nv12Frame);
  std::memset(nv12.Data(), 126, size_t{nv12.RowPitch()} * 180);
  std::memset(nv12.Data() + size_t{nv12.RowPitch()} * 180, 128, size_t{nv12.RowPitch()} * 90);

  const size_t before = platform::cpu::CpuTexture::LiveBytes();
  auto encoder = MakeFfmpegSegmentEncoder(cpuContext, 320, 180, 30, 4000000);
  EXPECT_EQ(platform::cpu::CpuTexture::LiveBytes(), before) << "no conversion target, no staging slot";
  paint(colours[0]);
  EXPECT_TRUE(encoder->WriteFrame(*cpuFrame, kBase));
  paint(colours[1]);
  EXPECT_TRUE(encoder->WriteFrame(*cpuFrame, kBase + kPeriod));
  paint(colours[2]);
  EXPECT_TRUE(encoder->WriteFrame(*cpuFrame, kBase + 3 * kPeriod));  // slot 2 skipped
  paint(colours[3]);  // a repeat sends the picture it has, not the texture's newer one
  EXPECT_TRUE(encoder->RepeatLast(kBase + 4 * kPeriod));
  EXPECT_TRUE(encoder->WriteFrame(*nv12Frame, kBase + 5 * kPeriod));
  encoder->DrainPending();
  const EncodedSegment segment = encoder->Finalize();
  EXPECT_EQ(segment.frameCount, 6u);
  const ClipInfo clip = ProbeClipBytes(*segment.bytes, true);
  EXPECT_EQ(clip.video.emptySlots, 0u);
  ExpectColours(clip, {colours[0], colours[1], colours[1], colours[2], colours[2], {128, 128, 128}}, 3.0);

  // An NV12 frame of another size is refused, and the segment goes on.
  std::shared_ptr<platform::ITexture> wrongSize;
  ASSERT_EQ(cpuDevice->CreateTexture(platform::TextureDesc{640, 360, platform::PixelFormat::Nv12}, &wrongSize),
            hr::kOk);
  auto refusing = MakeFfmpegSegmentEncoder(cpuContext, 320, 180, 30, 4000000);
  EXPECT_THROW(refusing->WriteFrame(*wrongSize, kBase), HresultError);
  EXPECT_TRUE(refusing->WriteFrame(*cpuFrame, kBase + kPeriod));
  refusing->DrainPending();
  EXPECT_EQ(refusing->Finalize().frameCount, 1u);

  Rig(640, 360, 320, 180);
  EXPECT_FALSE(context_->ImmediateContext().ReadsIntoMemory());
  const size_t simBefore = platform::cpu::CpuTexture::LiveBytes();
  auto simEncoder = MakeFfmpegSegmentEncoder(*context_, 320, 180, 30, 4000000);
  EXPECT_EQ(platform::cpu::CpuTexture::LiveBytes() - simBefore, 5 * nv12Bytes) << "target and four staging slots";
}

}  // namespace
}  // namespace ostrel
