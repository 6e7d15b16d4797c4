#include "encode/ffmpeg_segment_encoder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <thread>

#include "encode/bounded_map_retry.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "ffmpeg/hardware_frames.h"
#include "platform/platform.h"
#include "replay/tick_clock.h"

namespace ostrel {

// ---- MemoryWriter --------------------------------------------------------

int MemoryWriter::Write(void* opaque, const uint8_t* data, int size) {
  if (size <= 0) return 0;
  auto* writer = static_cast<MemoryWriter*>(opaque);
  const uint64_t end = writer->position_ + static_cast<uint64_t>(size);
  if (end > writer->bytes_.size()) writer->bytes_.resize(end);
  std::memcpy(writer->bytes_.data() + writer->position_, data, static_cast<size_t>(size));
  writer->position_ = end;
  return size;
}

int64_t MemoryWriter::Seek(void* opaque, int64_t offset, int whence) {
  auto* writer = static_cast<MemoryWriter*>(opaque);
  const auto size = static_cast<int64_t>(writer->bytes_.size());
  if (whence == AVSEEK_SIZE) return size;
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = static_cast<int64_t>(writer->position_);
      break;
    case SEEK_END:
      base = size;
      break;
    default:
      return -1;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  writer->position_ = static_cast<uint64_t>(target);
  return target;
}

// ---- EncoderOpener -------------------------------------------------------

const AVCodec* EncoderOpener::Find(const std::string& name) const {
  return avcodec_find_encoder_by_name(name.c_str());
}

int EncoderOpener::Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const {
  return avcodec_open2(context, codec, options);
}

int EncoderOpener::SendFrame(AVCodecContext* context, const AVFrame* frame) const {
  return avcodec_send_frame(context, frame);
}

int EncoderOpener::ReceivePacket(AVCodecContext* context, AVPacket* packet) const {
  return avcodec_receive_packet(context, packet);
}

const EncoderOpener& EncoderOpener::Default() {
  static const EncoderOpener opener;
  return opener;
}

// ---- settings ------------------------------------------------------------

AVPixelFormat SegmentEncoderPixelFormat(const AVCodec* codec, bool planarFirst) {
  const AVPixelFormat* formats = ffmpeg::EncoderPixelFormats(codec);
  if (formats == nullptr) return AV_PIX_FMT_NV12;  // the encoder does not say: it gets what it always got
  bool planar = false, nv12 = false;
  for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
    nv12 = nv12 || *format == AV_PIX_FMT_NV12;
    planar = planar || *format == AV_PIX_FMT_YUV420P;
  }
  if (planar && (planarFirst || !nv12)) return AV_PIX_FMT_YUV420P;
  return AV_PIX_FMT_NV12;
}

void ApplySegmentEncoderSettings(AVCodecContext* context, uint32_t width, uint32_t height, uint32_t fps,
                                 uint64_t bitrate) {
  context->width = static_cast<int>(std::min<uint32_t>(width, INT_MAX));
  context->height = static_cast<int>(std::min<uint32_t>(height, INT_MAX));
  const int rate = static_cast<int>(std::min<uint32_t>(fps, INT_MAX / 2));
  context->time_base = AVRational{1, rate};
  context->framerate = AVRational{rate, 1};
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->bit_rate = static_cast<int64_t>(bitrate);
  context->rc_max_rate = static_cast<int64_t>(2 * bitrate);
  context->rc_buffer_size = static_cast<int>(std::min<uint64_t>(4 * bitrate, INT_MAX));
  context->gop_size = 2 * rate;
  context->max_b_frames = 0;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_BT709;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_range = AVCOL_RANGE_MPEG;
}

namespace {

bool IsQuickSync(std::string_view name) { return name.find("qsv") != std::string_view::npos; }
bool IsLibx264(std::string_view name) { return name == "libx264"; }
bool IsVaapi(std::string_view name) { return name == "h264_vaapi"; }
bool IsMediaFoundation(std::string_view name) { return name == "h264_mf"; }

// libx264 in software has to share two cores with capture and conversion at
// up to 1080p30 / 720p60. Measured with bench/segment_encoder_bench on
// detailed moving content at 6 Mbit/s: "ultrafast" costs about 0.25-0.3 CPU
// seconds per second of video, "superfast" 0.45-0.5 and "veryfast" 0.7, for
// 1-2.5 dB more luma PSNR. Ultrafast overshoots the target by 10-20% but stays
// well inside the 2x maximum rate. Zero-latency tuning costs nothing extra and
// keeps each segment's encoder free of frame-thread and lookahead delay, so
// finalizing has nothing left to flush; two slice threads keep the per-frame
// latency low without a thread pool per core on big machines.
//
// A quality floor of QP 15 (x264's own floor is 0) changes nothing on moving
// content and keeps near-still content above 46 dB PSNR, with half its bits.
// x264 sizes each thread's output buffer by that floor: at 720p 1.7 MB
// instead of 3.7 MB, below the 1.75 MB from which it backs a buffer with
// transparent huge pages, which made each touched buffer 2 MB resident. Some
// 5 MB less per encoder (bench/segment_encoder_bench, bench/memory_bench).
constexpr const char* kLibx264Preset = "ultrafast";
constexpr const char* kLibx264Tune = "zerolatency";
constexpr const char* kLibx264Threads = "2";
constexpr const char* kLibx264QualityFloor = "15";

}  // namespace

std::vector<std::pair<std::string, std::string>> SingleStageEncoderOptions(std::string_view encoderName) {
  if (IsQuickSync(encoderName)) return {{"preset", "veryfast"}, {"async_depth", "6"}};
  if (IsLibx264(encoderName)) {
    return {{"preset", kLibx264Preset},
            {"tune", kLibx264Tune},
            {"threads", kLibx264Threads},
            {"qmin", kLibx264QualityFloor}};
  }
  // Constant bit rate at the target; GOP and no B-frames come with the
  // context's settings.
  if (IsVaapi(encoderName)) return {{"rc_mode", "CBR"}};
  // Without it h264_mf lists only synchronous transforms: Microsoft's
  // software encoder. Hardware transforms are asynchronous; FFmpeg drives
  // them through their events.
  if (IsMediaFoundation(encoderName)) return {{"hw_encoding", "1"}};
  return {};
}

namespace {

constexpr int kStagingSlotCount = static_cast<int>(GpuEncodeContext::kStagingTexturesPerEncoder);
constexpr int kIoBufferSize = 32768;
constexpr std::chrono::milliseconds kMapStallLimit{200};
constexpr std::chrono::milliseconds kMapPollInterval{2};
constexpr double kSlowStageMs = 30.0;
// The longest run of slots a frame fills behind it: an encoder held up for
// seconds (one that took a frame of a huge window slowly, a rotation that had
// to build its encoder in place) leaves that much of the timeline to fill;
// longer gaps are not a stall but a capture that stood still.
constexpr int64_t kLongestFillSeconds = 4;

// DrainOldest results.
constexpr int kDrainEncoded = 1;
constexpr int kDrainNotReady = 0;
constexpr int kDrainDropped = -1;

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// A frame that could not reach the encoder's hardware surface: an encoder
// error of that frame only, the segment goes on.
class HardwareUploadError : public std::runtime_error {
 public:
  explicit HardwareUploadError(int code) : std::runtime_error(Text(code)) {}

 private:
  static std::string Text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return std::string("hardware frame upload failed: ") + text;
  }
};


// FFmpeg's Media Foundation encoder joins the apartment on the thread that
// opens it and leaves it on the thread that frees it, which is another
// library thread (the spare builder opens, the finalize thread frees). The
// opener gives that join back at once and the freeing thread takes one just
// before the free, so each thread keeps exactly its own membership.
class ApartmentHandOver {
 public:
  ApartmentHandOver() = default;
  ApartmentHandOver(const ApartmentHandOver&) = delete;
  ApartmentHandOver& operator=(const ApartmentHandOver&) = delete;
  ~ApartmentHandOver() {
    if (armed_) platform::GetPlatform().media.JoinMultithreadedApartment();
  }
  // After a successful open.
  void Arm() {
    platform::GetPlatform().media.LeaveApartment();
    armed_ = true;
  }

 private:
  bool armed_ = false;
};

TexturePool::Lease TakeNv12Texture(const GpuEncodeContext& context, uint32_t width, uint32_t height,
                                   bool staging) {
  platform::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = platform::PixelFormat::Nv12;
  desc.usage = staging ? platform::TextureUsage::Staging : platform::TextureUsage::Default;
  desc.renderTarget = !staging;
  desc.cpuRead = staging;
  return context.Textures().Take(context.Device(), desc);
}

class FfmpegSegmentEncoder final : public IVideoSegmentEncoder {
 public:
  FfmpegSegmentEncoder(const GpuEncodeContext& context, uint32_t width, uint32_t height, uint32_t fps,
                       uint32_t bitrate, const EncoderOpener& opener);
  FfmpegSegmentEncoder(const FfmpegSegmentEncoder&) = delete;
  FfmpegSegmentEncoder& operator=(const FfmpegSegmentEncoder&) = delete;

  bool WriteFrame(platform::ITexture& frame, int64_t ticks) override;
  bool RepeatLast(int64_t ticks) override;
  void ContinueAt(int64_t slotTicks) override;
  std::optional<int64_t> NextSlotTicks() const override;
  void DrainPending() override;
  EncodedSegment Finalize() override;

 private:
  struct PendingCopy {
    int32_t slot = 0;  // kRepeatSlot: the previous picture again, no copy
    int64_t ticks = 0;
  };
  static constexpr int32_t kRepeatSlot = -1;

  // Frees any codec context and allocates a new one with the settings and
  // this bit rate; false when no context could be made.
  bool Configure(const AVCodec* codec, uint64_t bitrate);
  bool Open(const EncoderOpener& opener, const AVCodec* codec, bool lowPower);
  int DrainOldest(bool blocking);
  // The frame's picture read straight into frame_ and sent (readsIntoFrame_).
  bool WriteIntoFrame(platform::ITexture& frame, int64_t ticks);
  // The stream position of a frame stamped `ticks`; the segment's first
  // frame sets where it starts.
  int64_t PtsOf(int64_t ticks);
  // Sends the picture in frame_ for every slot from `from` to before `to`
  // (at most kLongestFillSeconds of them); false when the encoder refused one.
  bool RepeatPicture(int64_t from, int64_t to);
  bool SendPicture(int64_t pts);
  // Sends `frame` (null: end of stream); a refusal (EAGAIN) takes the
  // packets out and offers the same frame again, up to
  // kRefusedFrameRetryLimit. The last send's result.
  int SendTakingPackets(const AVFrame* frame);
  // Writes every packet the encoder has ready; how many.
  int ReceiveAndWritePackets();
  // After the end of stream: every packet up to AVERROR_EOF (an asynchronous
  // transform may answer EAGAIN while it finishes), up to
  // kRefusedFrameRetryLimit.
  void TakeRemainingPackets();
  void WritePacket();

  const GpuEncodeContext& context_;
  const EncoderOpener& opener_;
  // Taken from the capture's pool and given back when the encoder is freed.
  TexturePool::Lease nv12Target_;
  std::array<TexturePool::Lease, kStagingSlotCount> stagingSlots_;
  std::deque<PendingCopy> pending_;
  // Declared before the FFmpeg objects so that it outlives them; they are
  // freed in reverse order: codec context, frame, packet, format context,
  // then the I/O context with its buffer.
  MemoryWriter writer_;
  ffmpeg::AvioContextPtr io_;
  ffmpeg::OutputFormatContextPtr format_;
  ffmpeg::PacketPtr packet_;
  ffmpeg::FramePtr frame_;
  // The hardware surface the frame is uploaded into, for an encoder of
  // hardware frames; null otherwise.
  ffmpeg::FramePtr surface_;
  ffmpeg::CodecContextPtr codec_;
  // After codec_: runs before the codec context is freed.
  ApartmentHandOver apartmentHandOver_;
  AVStream* stream_ = nullptr;
  uint32_t frameCount_ = 0;
  uint32_t width_;
  uint32_t height_;
  uint32_t fps_;
  int64_t startTicks_ = 0;
  int64_t lastPts_ = -1;
  std::optional<int64_t> continueAt_;  // the first slot, continuing the previous segment's grid
  bool twoStage_ = false;
  bool readsIntoFrame_ = false;
  bool finalized_ = false;
};

FfmpegSegmentEncoder::FfmpegSegmentEncoder(const GpuEncodeContext& context, uint32_t width, uint32_t height,
                                           uint32_t fps, uint32_t bitrate, const EncoderOpener& opener)
    : context_(context), opener_(opener), width_(width), height_(height), fps_(fps) {
  const std::string& name = context_.EncoderName();
  if (name.empty()) throw std::runtime_error("No FFmpeg encoder available (fallback chain exhausted)");

  const AVCodec* codec = opener.Find(name);
  const LogSink& sink = context_.Sink();

  if (IsQuickSync(name)) {
    const uint64_t liveBitrate = std::min<uint64_t>(3ull * bitrate, kTwoStageLiveBitrateCap);
    if (Configure(codec, liveBitrate) && Open(opener, codec, true)) {
      twoStage_ = true;
      LogTo(sink, L"[DIAG-ENCODER-OPTS] two-stage live arm: VDEnc (low_power=1) veryfast async_depth=6 @ " +
                      std::to_wstring(liveBitrate / 1000) + L"kbps (save re-encodes to " +
                      std::to_wstring(bitrate / 1000) + L"kbps)");
    }
  }
  if (!twoStage_) {
    const bool opened = Configure(codec, bitrate) && Open(opener, codec, false);
    // The same words whatever the encoder: hosts match this line.
    LogTo(sink, std::wstring(L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: ") +
                    (opened ? L"ok" : L"FAILED"));
    if (!opened) {
      codec_.reset();
      throw std::runtime_error("avcodec_open2 failed for previously-probed encoder");
    }
  }
  // FFmpeg's own Media Foundation wrapper (not a stand-in of that name).
  if (IsMediaFoundation(codec->name)) apartmentHandOver_.Arm();

  frame_.reset(av_frame_alloc());
  if (!frame_) throw HresultError(hr::kFail);
  // An encoder of hardware frames gets the NV12 of its surfaces uploaded.
  frame_->format = codec_->hw_frames_ctx != nullptr ? AV_PIX_FMT_NV12 : codec_->pix_fmt;
  frame_->width = codec_->width;
  frame_->height = codec_->height;
  if (av_frame_get_buffer(frame_.get(), 0) < 0) throw HresultError(hr::kFail);
  // Written once here, on the thread that builds the encoder (a spare is
  // built ahead of its segment), so that the first frame's copy does not
  // fault the picture's pages in on the encoder thread: under some
  // hypervisors a page costs 15-20 us, several frame periods' worth at a
  // rotation.
  for (AVBufferRef* buffer : frame_->buf) {
    if (buffer != nullptr) std::memset(buffer->data, 0, buffer->size);
  }
  if (codec_->hw_frames_ctx != nullptr) {
    surface_.reset(av_frame_alloc());
    if (!surface_) throw HresultError(hr::kFail);
  }
  // A device whose textures are system memory converts each frame straight
  // into the picture: no conversion target, staging copy or map, and
  // nothing per segment to fault in but the picture itself.
  readsIntoFrame_ = context_.ImmediateContext().ReadsIntoMemory() &&
                    (frame_->format == AV_PIX_FMT_NV12 ||
                     (frame_->format == AV_PIX_FMT_YUV420P && frame_->linesize[1] == frame_->linesize[2]));
  if (!readsIntoFrame_) {
    nv12Target_ = TakeNv12Texture(context_, width_, height_, false);
    // A context whose copies complete at once only ever uses the first
    // slot: its textures are heap memory, so the others are made only if a
    // copy ever queues up.
    const bool oneSlot = context_.ImmediateContext().CopiesCompleteAtOnce();
    for (auto& slot : stagingSlots_) {
      slot = TakeNv12Texture(context_, width_, height_, true);
      if (oneSlot) break;
    }
  }

  packet_.reset(av_packet_alloc());
  if (!packet_) throw std::runtime_error("av_packet_alloc failed");
  ffmpeg::AvBufferPtr ioBuffer(static_cast<uint8_t*>(av_malloc(kIoBufferSize)));
  if (!ioBuffer) throw std::runtime_error("av_malloc failed");
  io_.reset(avio_alloc_context(ioBuffer.get(), kIoBufferSize, 1, &writer_, nullptr, &MemoryWriter::AvioWrite,
                               &MemoryWriter::Seek));
  if (!io_) throw std::runtime_error("avio_alloc_context failed");
  ioBuffer.release();  // the I/O context owns it now

  AVFormatContext* rawFormat = nullptr;
  if (avformat_alloc_output_context2(&rawFormat, nullptr, "mp4", nullptr) < 0 || rawFormat == nullptr) {
    throw std::runtime_error("avformat_alloc_output_context2 failed");
  }
  format_.reset(rawFormat);
  format_->pb = io_.get();
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;

  stream_ = avformat_new_stream(format_.get(), nullptr);
  if (stream_ == nullptr) throw std::runtime_error("avformat_new_stream failed");
  if (avcodec_parameters_from_context(stream_->codecpar, codec_.get()) < 0) {
    throw std::runtime_error("avcodec_parameters_from_context failed");
  }
  stream_->time_base = codec_->time_base;

  if (avformat_write_header(format_.get(), nullptr) < 0) throw std::runtime_error("avformat_write_header failed");
}

bool FfmpegSegmentEncoder::Configure(const AVCodec* codec, uint64_t bitrate) {
  codec_.reset();
  if (codec == nullptr) return false;
  codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) return false;
  ApplySegmentEncoderSettings(codec_.get(), width_, height_, fps_, bitrate);
  // Converted on the CPU straight into the picture, planar chroma saves the
  // scaler's output an interleaving pass (libx264 takes either, and
  // interleaves for itself with SIMD).
  codec_->pix_fmt = SegmentEncoderPixelFormat(codec, context_.ImmediateContext().ReadsIntoMemory());
  // Constant bit rate: the peak is the target.
  if (IsVaapi(context_.EncoderName())) codec_->rc_max_rate = codec_->bit_rate;
  // Without the capture's device (or its frames) this encoder cannot open:
  // the segment fails the way a refused open does.
  if (const ffmpeg::HardwareFramesNeed hardware = ffmpeg::EncoderHardwareFrames(codec)) {
    return ffmpeg::AttachHardwareFrames(*codec_, context_.HardwareDevice(), hardware.format);
  }
  return true;
}

bool FfmpegSegmentEncoder::Open(const EncoderOpener& opener, const AVCodec* codec, bool lowPower) {
  ffmpeg::DictionaryPtr options;
  for (const auto& [key, value] : SingleStageEncoderOptions(context_.EncoderName())) {
    ffmpeg::DictSet(options, key.c_str(), value.c_str());
  }
  if (lowPower) ffmpeg::DictSet(options, "low_power", "1");
  AVDictionary* raw = options.release();
  const int result = opener.Open(codec_.get(), codec, &raw);
  options.reset(raw);
  return result >= 0;
}

bool FfmpegSegmentEncoder::WriteFrame(platform::ITexture& frame, int64_t ticks) {
  if (finalized_) return false;
  // Nothing queues on such a device: a repeat drains at once.
  if (readsIntoFrame_ && pending_.empty()) return WriteIntoFrame(frame, ticks);
  const auto t0 = Clock::now();
  bool accepted = true;
  bool blocked = false;
  if (pending_.size() >= kStagingSlotCount) {
    accepted = DrainOldest(true) == kDrainEncoded;
    blocked = true;
  }
  const auto t1 = Clock::now();

  int32_t slot = 0;
  while (std::any_of(pending_.begin(), pending_.end(), [slot](const PendingCopy& p) { return p.slot == slot; })) {
    ++slot;
  }
  if (!stagingSlots_[slot]) stagingSlots_[slot] = TakeNv12Texture(context_, width_, height_, true);
  {
    LockGuard lock(context_.ContextMutex());
    platform::IGpuContext& gpu = context_.ImmediateContext();
    if (frame.Desc().format == platform::PixelFormat::Nv12) {
      gpu.CopyResource(*stagingSlots_[slot], frame);  // converted at the capture copy
    } else {
      Check(gpu.ConvertAndScale(context_.Converter(), frame, *nv12Target_));
      gpu.CopyResource(*stagingSlots_[slot], *nv12Target_);
    }
  }
  const auto t2 = Clock::now();
  pending_.push_back(PendingCopy{slot, ticks});

  bool drained = false;
  if (!blocked && !pending_.empty()) drained = DrainOldest(false) == kDrainEncoded;
  const auto t3 = Clock::now();

  if (Ms(t3 - t0) > kSlowStageMs && context_.Sink()) {
    LogF(context_.Sink(), L"[DIAG-WRITE-STAGES] total=%ls mapWait=%ls gpuSubmit=%ls drain=%ls drained=%d queued=%zu",
         Fixed6(Ms(t3 - t0)).c_str(), Fixed6(Ms(t1 - t0)).c_str(), Fixed6(Ms(t2 - t1)).c_str(),
         Fixed6(Ms(t3 - t2)).c_str(), drained ? 1 : 0, pending_.size());
  }
  return accepted;
}

int64_t FfmpegSegmentEncoder::PtsOf(int64_t ticks) {
  if (frameCount_ == 0) {
    startTicks_ = ticks;
    // A segment that follows another starts in the slot after its last
    // frame, on its grid, so that segments tile the timeline without a gap
    // or a shift (a frame's stamp may lie up to half a slot off its slot).
    const int64_t halfPeriod = TickClock::kTicksPerSecond / std::max<uint32_t>(fps_, 1) / 2;
    if (continueAt_ && ticks >= *continueAt_ - halfPeriod &&
        ticks - *continueAt_ <= kLongestFillSeconds * TickClock::kTicksPerSecond) {
      startTicks_ = *continueAt_;
    }
  }
  return std::max<int64_t>(
      0, av_rescale_q(ticks - startTicks_, AVRational{1, TickClock::kTicksPerSecond}, codec_->time_base));
}

bool FfmpegSegmentEncoder::WriteIntoFrame(platform::ITexture& frame, int64_t ticks) {
  const auto t0 = Clock::now();
  const int64_t pts = PtsOf(ticks);
  // The slots skipped before it get the previous picture, still in frame_.
  if (frameCount_ != 0) RepeatPicture(lastPts_ + 1, pts);
  if (av_frame_make_writable(frame_.get()) < 0) return false;
  const platform::Nv12Memory picture{frame_->data[0],
                                     static_cast<uint32_t>(frame_->linesize[0]),
                                     frame_->data[1],
                                     static_cast<uint32_t>(frame_->linesize[1]),
                                     width_,
                                     height_,
                                     frame_->format == AV_PIX_FMT_YUV420P ? frame_->data[2] : nullptr};
  {
    LockGuard lock(context_.ContextMutex());
    Check(context_.ImmediateContext().ReadInto(context_.Converter(), frame, picture));
  }
  const auto t1 = Clock::now();
  // The first frame of a continuing segment also fills the slots before it.
  if (frameCount_ == 0 && !RepeatPicture(0, pts)) return false;
  const bool sent = SendPicture(std::max(pts, lastPts_ + 1));
  const auto t2 = Clock::now();
  if (Ms(t2 - t0) > kSlowStageMs && context_.Sink()) {
    LogF(context_.Sink(), L"[DIAG-ENCODE-SPLIT] total=%ls convert=%ls send=%ls direct", Fixed6(Ms(t2 - t0)).c_str(),
         Fixed6(Ms(t1 - t0)).c_str(), Fixed6(Ms(t2 - t1)).c_str());
  }
  return sent;
}

int FfmpegSegmentEncoder::DrainOldest(bool blocking) {
  const PendingCopy entry = pending_.front();
  const int64_t pts = PtsOf(entry.ticks);
  // Slots the capture skipped (a slower source, a late pacer, a frame lost
  // to a busy encoder) hold the previous picture: the stream stays one frame
  // per slot.
  if (frameCount_ != 0) RepeatPicture(lastPts_ + 1, pts);
  if (entry.slot == kRepeatSlot) {
    pending_.pop_front();
    if (frameCount_ == 0) return kDrainDropped;  // the picture it repeats was dropped
    return pts > lastPts_ && SendPicture(pts) ? kDrainEncoded : kDrainDropped;
  }
  platform::ITexture& staging = *stagingSlots_[entry.slot];
  platform::IGpuContext& gpu = context_.ImmediateContext();
  const auto ts = Clock::now();

  platform::MappedTexture mapped;
  const auto tryMap = [&]() {
    LockGuard lock(context_.ContextMutex());
    return gpu.Map(staging, true, &mapped);
  };
  if (blocking) {
    if (bounded_map_retry(tryMap, kMapStallLimit, kMapPollInterval) == kBoundedMapGaveUp) {
      LogTo(context_.Sink(), L"[DIAG-FFMPEG-MAP-STALL-DROP] gave up after 200ms waiting for GPU copy to finish t=" +
                                 TickSeconds(entry.ticks));
      pending_.pop_front();
      return kDrainDropped;
    }
  } else {
    const Hresult result = tryMap();
    if (result == hr::kDxgiWasStillDrawing) return kDrainNotReady;
    Check(result);
  }

  const auto tm = Clock::now();
  const bool writable = av_frame_make_writable(frame_.get()) >= 0;
  if (writable) {
    const size_t rowBytes = width_;
    uint8_t* luma = frame_->data[0];
    for (uint32_t row = 0; row < height_; ++row) {
      std::memcpy(luma + static_cast<size_t>(row) * frame_->linesize[0],
                  mapped.data + static_cast<size_t>(row) * mapped.rowPitch, rowBytes);
    }
    const uint8_t* chromaSource = mapped.data + static_cast<size_t>(mapped.rowPitch) * height_;
    if (frame_->format == AV_PIX_FMT_NV12) {
      uint8_t* chroma = frame_->data[1];
      for (uint32_t row = 0; row < height_ / 2; ++row) {
        std::memcpy(chroma + static_cast<size_t>(row) * frame_->linesize[1],
                    chromaSource + static_cast<size_t>(row) * mapped.rowPitch, rowBytes);
      }
    } else {
      // Planar 4:2:0: the interleaved U/V pairs go to planes 1 and 2.
      for (uint32_t row = 0; row < height_ / 2; ++row) {
        const uint8_t* pairs = chromaSource + static_cast<size_t>(row) * mapped.rowPitch;
        uint8_t* u = frame_->data[1] + static_cast<size_t>(row) * frame_->linesize[1];
        uint8_t* v = frame_->data[2] + static_cast<size_t>(row) * frame_->linesize[2];
        for (uint32_t x = 0; x < width_ / 2; ++x) {
          u[x] = pairs[2 * x];
          v[x] = pairs[2 * x + 1];
        }
      }
    }
  }
  {
    LockGuard lock(context_.ContextMutex());
    gpu.Unmap(staging);
  }
  const auto tc = Clock::now();
  pending_.pop_front();
  if (!writable) return kDrainDropped;

  // The first frame of a continuing segment also fills the slots before it.
  if (frameCount_ == 0 && !RepeatPicture(0, pts)) return kDrainDropped;
  if (!SendPicture(std::max(pts, lastPts_ + 1))) return kDrainDropped;

  const auto te = Clock::now();
  if (Ms(te - ts) > kSlowStageMs && context_.Sink()) {
    LogF(context_.Sink(), L"[DIAG-ENCODE-SPLIT] total=%ls map=%ls copy=%ls send=%ls%ls", Fixed6(Ms(te - ts)).c_str(),
         Fixed6(Ms(tm - ts)).c_str(), Fixed6(Ms(tc - tm)).c_str(), Fixed6(Ms(te - tc)).c_str(),
         blocking ? L" blocking" : L" opportunistic");
  }
  return kDrainEncoded;
}

bool FfmpegSegmentEncoder::RepeatPicture(int64_t from, int64_t to) {
  to = std::min<int64_t>(to, from + kLongestFillSeconds * std::max<uint32_t>(fps_, 1));
  for (int64_t pts = from; pts < to; ++pts) {
    if (!SendPicture(pts)) return false;
  }
  return true;
}

bool FfmpegSegmentEncoder::SendPicture(int64_t pts) {
  frame_->pts = pts;
  AVFrame* sent = frame_.get();
  if (surface_) {
    const int uploaded = ffmpeg::UploadToHardwareFrame(*frame_, codec_->hw_frames_ctx, *surface_);
    if (uploaded < 0) throw HardwareUploadError(uploaded);
    sent = surface_.get();
  }
  if (SendTakingPackets(sent) < 0) return false;
  lastPts_ = pts;
  ReceiveAndWritePackets();
  ++frameCount_;
  return true;
}

bool FfmpegSegmentEncoder::RepeatLast(int64_t ticks) {
  if (finalized_ || (frameCount_ == 0 && pending_.empty())) return false;
  // After the copies still in flight, in order; whatever is ready goes out
  // now, and a queue past its staging copies waits for the oldest.
  pending_.push_back(PendingCopy{kRepeatSlot, ticks});
  while (!pending_.empty()) {
    if (DrainOldest(pending_.size() > kStagingSlotCount) == kDrainNotReady) break;
  }
  return true;
}

void FfmpegSegmentEncoder::ContinueAt(int64_t slotTicks) {
  if (frameCount_ == 0) continueAt_ = slotTicks;
}

std::optional<int64_t> FfmpegSegmentEncoder::NextSlotTicks() const {
  if (lastPts_ < 0) return continueAt_;
  return startTicks_ + av_rescale_q(lastPts_ + 1, codec_->time_base, AVRational{1, TickClock::kTicksPerSecond});
}

int FfmpegSegmentEncoder::SendTakingPackets(const AVFrame* frame) {
  const auto deadline = Clock::now() + kRefusedFrameRetryLimit;
  for (;;) {
    const int sent = opener_.SendFrame(codec_.get(), frame);
    if (sent != AVERROR(EAGAIN) || Clock::now() >= deadline) return sent;
    // An encoder that refused without a packet ready is still busy with the
    // frames before: it gets a moment.
    if (ReceiveAndWritePackets() == 0) std::this_thread::sleep_for(kMapPollInterval);
  }
}

int FfmpegSegmentEncoder::ReceiveAndWritePackets() {
  int written = 0;
  while (opener_.ReceivePacket(codec_.get(), packet_.get()) == 0) {
    WritePacket();
    ++written;
  }
  return written;
}

void FfmpegSegmentEncoder::TakeRemainingPackets() {
  const auto deadline = Clock::now() + kRefusedFrameRetryLimit;
  for (;;) {
    const int received = opener_.ReceivePacket(codec_.get(), packet_.get());
    if (received == 0) {
      WritePacket();
      continue;
    }
    if (received != AVERROR(EAGAIN) || Clock::now() >= deadline) return;
    std::this_thread::sleep_for(kMapPollInterval);
  }
}

void FfmpegSegmentEncoder::WritePacket() {
  // Encoders of FFmpeg 5.x leave packet durations at 0. The muxer then gives
  // the segment's last sample no duration, its edit list ends where that
  // sample starts, and readers drop the last frame. One frame period is
  // that frame's true length at the nominal rate.
  if (packet_->duration <= 0) packet_->duration = 1;
  av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
  packet_->stream_index = stream_->index;
  av_interleaved_write_frame(format_.get(), packet_.get());
  av_packet_unref(packet_.get());
}

void FfmpegSegmentEncoder::DrainPending() {
  // The segment is being retired and its frames still reach it after one
  // that failed to upload; the failures get one line with their count, as
  // the encoder thread reports its errors.
  std::string failure;
  uint64_t failures = 0;
  while (!pending_.empty()) {
    try {
      DrainOldest(true);
    } catch (const HardwareUploadError& error) {
      if (failures++ == 0) failure = error.what();
    }
  }
  if (failures == 0) return;
  std::wstring line = L"Encoder thread error: " + Widen(failure);
  if (failures > 1) line += L" (repeated " + std::to_wstring(failures - 1) + L" more times in the segment)";
  LogTo(context_.Sink(), line);
}

EncodedSegment FfmpegSegmentEncoder::Finalize() {
  EncodedSegment segment;
  if (finalized_) return segment;
  finalized_ = true;
  pending_.clear();
  SendTakingPackets(nullptr);
  TakeRemainingPackets();
  av_write_trailer(format_.get());
  avio_flush(io_.get());

  segment.bytes = std::make_shared<std::vector<uint8_t>>(writer_.TakeBytes());
  segment.frameCount = frameCount_;
  segment.startTicks = startTicks_;
  // The segment lasts at least to the end of its last frame's slot: a
  // segment finalised as its last frame arrives would otherwise end a slot
  // early, and a clip starting in that slot would miss the frame it shows.
  int64_t endTicks = TickClock::Now();
  if (lastPts_ >= 0) endTicks = std::max(endTicks, *NextSlotTicks());
  segment.durationSeconds =
      static_cast<double>(endTicks - startTicks_) / static_cast<double>(TickClock::kTicksPerSecond);
  segment.needsReencode = twoStage_;
  return segment;
}

}  // namespace

std::unique_ptr<IVideoSegmentEncoder> MakeFfmpegSegmentEncoder(const GpuEncodeContext& context, uint32_t width,
                                                               uint32_t height, uint32_t fps, uint32_t bitrate,
                                                               const EncoderOpener& opener) {
  return std::make_unique<FfmpegSegmentEncoder>(context, width, height, fps, bitrate, opener);
}

}  // namespace ostrel
