#include "encode/h264_encoder.h"

#include <algorithm>
#include <string_view>

#include "encode/ffmpeg_segment_encoder.h"
#include "ffmpeg/hardware_frames.h"

namespace ostrel {

const AVCodec* EncoderOpener::Find(const std::string& name) const {
  return avcodec_find_encoder_by_name(name.c_str());
}

int EncoderOpener::Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const {
  return avcodec_open2(context, codec, options);
}

const EncoderOpener& EncoderOpener::Default() {
  static const EncoderOpener opener;
  return opener;
}

namespace {

std::string UploadErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return std::string("hardware frame upload failed: ") + text;
}

// Software encoders that hold no frame back (libx264 is opened zero-latency:
// no lookahead, no B-frames, slice threads) and honour a forced key frame.
bool CanBeKeptAcrossSegments(std::string_view name) { return name == "libx264" || name == "libopenh264"; }

}  // namespace

HardwareUploadError::HardwareUploadError(int code) : std::runtime_error(UploadErrorText(code)) {}

H264Encoder::H264Encoder(const GpuEncodeContext& context, const H264EncoderSettings& settings)
    : context_(context), settings_(settings) {}

H264Encoder::~H264Encoder() = default;

std::unique_ptr<H264Encoder> H264Encoder::Open(const GpuEncodeContext& context, const AVCodec* codec,
                                               const EncoderOpener& opener, const H264EncoderSettings& settings) {
  std::unique_ptr<H264Encoder> encoder(new H264Encoder(context, settings));
  if (!encoder->Configure(codec)) return nullptr;
  ffmpeg::DictionaryPtr options;
  for (const auto& [key, value] : SingleStageEncoderOptions(context.EncoderName())) {
    ffmpeg::DictSet(options, key.c_str(), value.c_str());
  }
  if (settings.lowPower) ffmpeg::DictSet(options, "low_power", "1");
  AVDictionary* raw = options.release();
  const int opened = opener.Open(encoder->codec_.get(), codec, &raw);
  options.reset(raw);
  if (opened < 0) return nullptr;

  AVCodecContext& open = *encoder->codec_;
  encoder->keptAcrossSegments_ =
      !settings.lowPower && open.hw_frames_ctx == nullptr && CanBeKeptAcrossSegments(context.EncoderName());
  encoder->frame_.reset(av_frame_alloc());
  if (!encoder->frame_) throw HresultError(hr::kFail);
  // An encoder of hardware frames gets the NV12 of its surfaces uploaded.
  encoder->frame_->format = open.hw_frames_ctx != nullptr ? AV_PIX_FMT_NV12 : open.pix_fmt;
  encoder->frame_->width = open.width;
  encoder->frame_->height = open.height;
  if (av_frame_get_buffer(encoder->frame_.get(), 0) < 0) throw HresultError(hr::kFail);
  if (open.hw_frames_ctx != nullptr) {
    encoder->surface_.reset(av_frame_alloc());
    if (!encoder->surface_) throw HresultError(hr::kFail);
  }
  encoder->packet_.reset(av_packet_alloc());
  if (!encoder->packet_) throw HresultError(hr::kFail);
  return encoder;
}

bool H264Encoder::Configure(const AVCodec* codec) {
  if (codec == nullptr) return false;
  codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) return false;
  ApplySegmentEncoderSettings(codec_.get(), settings_.width, settings_.height, settings_.fps, settings_.bitrate);
  codec_->pix_fmt = SegmentEncoderPixelFormat(codec);
  // Constant bit rate: the peak is the target.
  if (context_.EncoderName() == "h264_vaapi") codec_->rc_max_rate = codec_->bit_rate;
  // Without the capture's device (or its frames) this encoder cannot open:
  // the segment fails the way a refused open does.
  if (const ffmpeg::HardwareFramesNeed hardware = ffmpeg::EncoderHardwareFrames(codec)) {
    return ffmpeg::AttachHardwareFrames(*codec_, context_.HardwareDevice(), hardware.format);
  }
  return true;
}

AVFrame* H264Encoder::WritableInput() {
  return av_frame_make_writable(frame_.get()) >= 0 ? frame_.get() : nullptr;
}

int H264Encoder::Encode(int64_t pts, bool segmentStart, const PacketSink& sink) {
  if (segmentStart) ptsOffset_ = lastEncoderPts_ + 1 - pts;
  frame_->pts = std::max(pts + ptsOffset_, lastEncoderPts_ + 1);
  lastEncoderPts_ = frame_->pts;
  // A kept encoder starts each segment afresh: an IDR frame, with the
  // parameter sets in front of it, that refers to nothing before.
  frame_->pict_type = keptAcrossSegments_ && segmentStart ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  AVFrame* sent = frame_.get();
  if (surface_) {
    const int uploaded = ffmpeg::UploadToHardwareFrame(*frame_, codec_->hw_frames_ctx, *surface_);
    if (uploaded < 0) throw HardwareUploadError(uploaded);
    sent = surface_.get();
  }
  const int result = avcodec_send_frame(codec_.get(), sent);
  if (result < 0) return result;
  ReceivePackets(sink);
  return 0;
}

void H264Encoder::Flush(const PacketSink& sink) {
  if (keptAcrossSegments_) return;
  avcodec_send_frame(codec_.get(), nullptr);
  ReceivePackets(sink);
}

void H264Encoder::ReceivePackets(const PacketSink& sink) {
  while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
    if (packet_->pts != AV_NOPTS_VALUE) packet_->pts -= ptsOffset_;
    if (packet_->dts != AV_NOPTS_VALUE) packet_->dts -= ptsOffset_;
    // A kept encoder holds nothing back, so a packet from before this
    // segment's start cannot come; if one did, it is not this segment's.
    if (keptAcrossSegments_ && packet_->pts < 0) {
      ++packetsOfEarlierSegments_;
    } else {
      sink(*packet_);
    }
    av_packet_unref(packet_.get());
  }
}

AcquiredH264Encoder AcquireH264Encoder(const GpuEncodeContext& context, const AVCodec* codec,
                                       const EncoderOpener& opener, const H264EncoderSettings& settings) {
  GpuEncodeContext::KeptEncoderSlot& slot = context.KeptEncoder();
  const auto matches = [&settings](const H264Encoder& kept) {
    const H264EncoderSettings& have = kept.Settings();
    return have.width == settings.width && have.height == settings.height && have.fps == settings.fps &&
           have.bitrate == settings.bitrate && have.lowPower == settings.lowPower;
  };
  {
    std::lock_guard lock(slot.mutex);
    if (slot.encoder && matches(*slot.encoder)) return {slot.encoder, true};
  }
  std::shared_ptr<H264Encoder> opened = H264Encoder::Open(context, codec, opener, settings);
  if (opened && opened->KeptAcrossSegments()) {
    std::lock_guard lock(slot.mutex);
    slot.encoder = opened;
  }
  return {std::move(opened), false};
}

}  // namespace ostrel
