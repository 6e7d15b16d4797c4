#include "save/save_reencoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "ffmpeg/hardware_frames.h"
#include "platform/platform.h"
#include "save/memory_reader.h"

namespace ostrel {
namespace {

constexpr AVRational kTickBase{1, 10000000};
constexpr int kDecoderThreads = 4;
constexpr int64_t kNoTimestamp = AV_NOPTS_VALUE;

int AttemptNumber(ReencodeAttempt attempt) { return static_cast<int>(attempt); }

}  // namespace

bool SaveQualityModeRequested() {
  size_t length = 0;
  auto value = platform::GetPlatform().system.GetEnvironmentVariable(L"OSTREL_SAVE_QUALITY", 8, &length);
  return value && length == 1 && value->size() == 1 && (*value)[0] == L'1';
}

std::vector<std::pair<std::string, std::string>> ReencoderOptions(bool qsv, ReencodeAttempt attempt) {
  if (!qsv) return {};
  switch (attempt) {
    case ReencodeAttempt::kFast: return {{"preset", "veryfast"}, {"async_depth", "6"}};
    case ReencodeAttempt::kQualityTier2:
      return {{"preset", "veryslow"}, {"async_depth", "6"}, {"extbrc", "1"},
              {"b_strategy", "1"},    {"look_ahead", "1"},  {"look_ahead_depth", "40"}};
    case ReencodeAttempt::kQualityTier1:
      return {{"preset", "veryslow"}, {"async_depth", "6"}, {"extbrc", "1"}, {"b_strategy", "1"}};
    case ReencodeAttempt::kQualityTier0: return {{"preset", "veryslow"}, {"async_depth", "6"}};
  }
  return {};
}

std::wstring ReencoderDescription(ReencodeAttempt attempt) {
  const std::wstring quality = L"QUALITY (veryslow, B=3, GOP=10s, ";
  switch (attempt) {
    case ReencodeAttempt::kFast: return L"CURRENT (veryfast, VBR, no-B, GOP=2s)";
    case ReencodeAttempt::kQualityTier2: return quality + L"LA-VBR depth=40 +extbrc)";
    case ReencodeAttempt::kQualityTier1: return quality + L"+extbrc, no-LA)";
    case ReencodeAttempt::kQualityTier0: return quality + L"preset-only)";
  }
  return {};
}

void CopyDecodedToNv12(const AVFrame& decoded, AVFrame& target, uint32_t width, uint32_t height) {
  // Live segments are always the target size; anything else would read or
  // write outside the planes, so it is refused rather than guessed at.
  if (decoded.width != static_cast<int>(width) || decoded.height != static_cast<int>(height)) {
    throw std::runtime_error("save-time transcode: unexpected decoded frame size " + std::to_string(decoded.width) +
                             "x" + std::to_string(decoded.height));
  }
  const auto format = static_cast<AVPixelFormat>(decoded.format);
  if (format != AV_PIX_FMT_NV12 && format != AV_PIX_FMT_YUV420P) {
    throw std::runtime_error("save-time transcode: unexpected decoded pixel format " + std::to_string(decoded.format));
  }
  for (uint32_t row = 0; row < height; ++row) {
    std::memcpy(target.data[0] + row * target.linesize[0], decoded.data[0] + row * decoded.linesize[0], width);
  }
  const uint32_t chromaRows = height / 2;
  const uint32_t chromaColumns = width / 2;
  if (format == AV_PIX_FMT_NV12) {
    for (uint32_t row = 0; row < chromaRows; ++row) {
      std::memcpy(target.data[1] + row * target.linesize[1], decoded.data[1] + row * decoded.linesize[1],
                  chromaColumns * 2);
    }
    return;
  }
  for (uint32_t row = 0; row < chromaRows; ++row) {
    uint8_t* dst = target.data[1] + row * target.linesize[1];
    const uint8_t* u = decoded.data[1] + row * decoded.linesize[1];
    const uint8_t* v = decoded.data[2] + row * decoded.linesize[2];
    for (uint32_t column = 0; column < chromaColumns; ++column) {
      dst[2 * column] = u[column];
      dst[2 * column + 1] = v[column];
    }
  }
}

SaveReencoder::SaveReencoder(const std::string& encoderName, const LogSink& log, AVFormatContext* output,
                             unsigned streamIndex, uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate,
                             const SaveSeam& seam)
    : output_(output),
      seam_(seam),
      streamIndex_(streamIndex),
      width_(width),
      height_(height),
      fps_(std::max<uint32_t>(fps, 1)),
      bitrate_(bitrate) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
  if (codec == nullptr) throw std::runtime_error("save-time re-encoder: encoder not found");
  quality_ = SaveQualityModeRequested();
  // Fed the way the segment encoder feeds it: NV12 uploaded into surfaces.
  if (const ffmpeg::HardwareFramesNeed hardware = ffmpeg::EncoderHardwareFrames(codec)) {
    hardwareFormat_ = hardware.format;
    device_ = platform::HardwareEncoderDeviceOrNull(encoderName);
  }
  const bool qsv = encoderName.find("qsv") != std::string::npos;

  bool opened = false;
  if (!quality_) {
    opened = OpenAttempt(codec, ReencodeAttempt::kFast, qsv);
  } else {
    for (ReencodeAttempt attempt :
         {ReencodeAttempt::kQualityTier2, ReencodeAttempt::kQualityTier1, ReencodeAttempt::kQualityTier0}) {
      if (OpenAttempt(codec, attempt, qsv)) {
        opened = true;
        break;
      }
    }
  }
  if (!opened) throw std::runtime_error("save-time re-encoder: avcodec_open2 failed");

  if (log) {
    log(L"[DIAG-SAVE-QUALITY] mode=" + ReencoderDescription(openedWith_) + L" @ " + std::to_wstring(bitrate_ / 1000) +
        L"kbps");
  }

  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) throw std::bad_alloc();
  frame_->format = AV_PIX_FMT_NV12;
  frame_->width = static_cast<int>(width_);
  frame_->height = static_cast<int>(height_);
  if (av_frame_get_buffer(frame_.get(), 0) < 0) throw std::bad_alloc();
  if (hardwareFormat_ != AV_PIX_FMT_NONE) {
    surface_.reset(av_frame_alloc());
    if (!surface_) throw std::bad_alloc();
  }
}

SaveReencoder::~SaveReencoder() {
  // Packet, frames, then codec context.
  packet_.reset();
  surface_.reset();
  frame_.reset();
  codec_.reset();
}

bool SaveReencoder::OpenAttempt(const AVCodec* codec, ReencodeAttempt attempt, bool qsv) {
  // Every attempt starts from a fresh context with the base settings.
  codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) throw std::bad_alloc();
  const int fps = static_cast<int>(fps_);
  codec_->width = static_cast<int>(width_);
  codec_->height = static_cast<int>(height_);
  codec_->time_base = AVRational{1, fps};
  codec_->framerate = AVRational{fps, 1};
  codec_->pix_fmt = AV_PIX_FMT_NV12;
  codec_->bit_rate = bitrate_;
  codec_->rc_max_rate = 2 * static_cast<int64_t>(bitrate_);
  codec_->rc_buffer_size = static_cast<int>(std::min<int64_t>(2147483647, 4 * static_cast<int64_t>(bitrate_)));
  codec_->gop_size = quality_ ? 10 * fps : 2 * fps;
  codec_->max_b_frames = quality_ ? 3 : 0;
  codec_->color_primaries = AVCOL_PRI_BT709;
  codec_->color_trc = AVCOL_TRC_BT709;
  codec_->colorspace = AVCOL_SPC_BT709;
  codec_->color_range = AVCOL_RANGE_MPEG;
  if (output_ != nullptr && output_->oformat != nullptr && (output_->oformat->flags & AVFMT_GLOBALHEADER)) {
    codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (hardwareFormat_ != AV_PIX_FMT_NONE && !ffmpeg::AttachHardwareFrames(*codec_, device_.get(), hardwareFormat_)) {
    codec_.reset();
    return false;
  }
  ffmpeg::DictionaryPtr options;
  for (const auto& [key, value] : ReencoderOptions(qsv, attempt)) ffmpeg::DictSet(options, key.c_str(), value.c_str());
  AVDictionary* raw = options.release();
  int result = seam_.Fails(SaveFault::kReencoderOpen, AttemptNumber(attempt))
                   ? AVERROR(EINVAL)
                   : avcodec_open2(codec_.get(), codec, &raw);
  options.reset(raw);
  if (result < 0) {
    codec_.reset();
    return false;
  }
  openedWith_ = attempt;
  return true;
}

void SaveReencoder::SetupStream(AVStream* stream) const {
  if (avcodec_parameters_from_context(stream->codecpar, codec_.get()) < 0) throw std::bad_alloc();
  stream->time_base = codec_->time_base;
}

void SaveReencoder::TranscodeSegment(const EncodedSegment& segment, int64_t clipStartTicks, int64_t clipLengthTicks,
                                     int64_t& videoEndTicks) {
  MemoryInput input;
  if (!input.Open(segment.bytes)) throw std::runtime_error("save-time transcode: avformat_open_input failed");
  if (seam_.Fails(SaveFault::kTranscodeStreamInfo, 0) ||
      avformat_find_stream_info(input.Context(), nullptr) < 0) {
    throw std::runtime_error("save-time transcode: find_stream_info failed");
  }
  AVFormatContext* in = input.Context();
  int videoIndex = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* decoderCodec =
      videoIndex >= 0 ? avcodec_find_decoder(in->streams[videoIndex]->codecpar->codec_id) : nullptr;
  ffmpeg::CodecContextPtr decoder(decoderCodec ? avcodec_alloc_context3(decoderCodec) : nullptr);
  if (!decoder || seam_.Fails(SaveFault::kTranscodeDecoderOpen, 0) ||
      avcodec_parameters_to_context(decoder.get(), in->streams[videoIndex]->codecpar) < 0) {
    throw std::runtime_error("save-time transcode: decoder open failed");
  }
  decoder->thread_count = kDecoderThreads;
  if (avcodec_open2(decoder.get(), decoderCodec, nullptr) < 0) {
    throw std::runtime_error("save-time transcode: decoder open failed");
  }
  const AVRational inputBase = in->streams[videoIndex]->time_base;
  // Segments are placed at their true offset from the clip's zero; the
  // straddling segment's frames before zero are decoded (they lead up to the
  // first one shown) but not encoded.
  const int64_t offset = segment.startTicks - clipStartTicks;
  int64_t first = kNoTimestamp;

  ffmpeg::PacketPtr packet(av_packet_alloc());
  ffmpeg::FramePtr decoded(av_frame_alloc());
  if (!packet || !decoded) throw std::bad_alloc();
  auto receiveAll = [&] {
    while (avcodec_receive_frame(decoder.get(), decoded.get()) == 0) {
      EncodeDecoded(*decoded, inputBase, offset, clipLengthTicks, first, videoEndTicks);
      av_frame_unref(decoded.get());
    }
  };
  while (av_read_frame(in, packet.get()) >= 0) {
    if (packet->stream_index == videoIndex && avcodec_send_packet(decoder.get(), packet.get()) >= 0) receiveAll();
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(decoder.get(), nullptr);
  receiveAll();
}

void SaveReencoder::EncodeDecoded(const AVFrame& decoded, AVRational inputBase, int64_t offset,
                                  int64_t clipLengthTicks, int64_t& first, int64_t& videoEndTicks) {
  int64_t framePts = decoded.pts != kNoTimestamp ? decoded.pts : decoded.best_effort_timestamp;
  if (first == kNoTimestamp) first = framePts != kNoTimestamp ? framePts : 0;
  const int64_t pts = framePts != kNoTimestamp ? framePts : first;
  const int64_t t = av_rescale_q(pts - first, inputBase, kTickBase) + offset;
  if (t < 0 || t >= clipLengthTicks) return;
  int64_t e = av_rescale_q(t, kTickBase, codec_->time_base);
  if (e <= lastTimestamp_) e = lastTimestamp_ + 1;
  lastTimestamp_ = e;

  if (av_frame_make_writable(frame_.get()) < 0) throw std::bad_alloc();
  CopyDecodedToNv12(decoded, *frame_, width_, height_);
  frame_->pts = e;
  AVFrame* sent = frame_.get();
  if (surface_) {
    if (ffmpeg::UploadToHardwareFrame(*frame_, codec_->hw_frames_ctx, *surface_) < 0) {
      throw std::runtime_error("save-time transcode: hardware frame upload failed");
    }
    sent = surface_.get();
  }
  avcodec_send_frame(codec_.get(), sent);  // a refused frame is lost
  DrainEncoder();
  videoEndTicks = std::max(videoEndTicks, t);
}

void SaveReencoder::DrainEncoder() {
  AVRational streamBase = output_->streams[streamIndex_]->time_base;
  while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
    av_packet_rescale_ts(packet_.get(), codec_->time_base, streamBase);
    packet_->stream_index = static_cast<int>(streamIndex_);
    packet_->pos = -1;
    av_interleaved_write_frame(output_, packet_.get());  // a refused packet is lost
    av_packet_unref(packet_.get());
  }
}

void SaveReencoder::Flush() {
  avcodec_send_frame(codec_.get(), nullptr);
  DrainEncoder();
}

}  // namespace ostrel
