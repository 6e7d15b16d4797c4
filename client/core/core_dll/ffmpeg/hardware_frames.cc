#include "ffmpeg/hardware_frames.h"

namespace ostrel::ffmpeg {

const AVPixelFormat* EncoderPixelFormats(const AVCodec* codec) {
  if (codec == nullptr) return nullptr;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* supported = nullptr;
  if (avcodec_get_supported_config(nullptr, codec, AV_CODEC_CONFIG_PIX_FORMAT, 0, &supported, nullptr) < 0) {
    return nullptr;
  }
  return static_cast<const AVPixelFormat*>(supported);
#else
  return codec->pix_fmts;
#endif
}

HardwareFramesNeed EncoderHardwareFrames(const AVCodec* codec) {
  const AVPixelFormat* formats = EncoderPixelFormats(codec);
  if (formats == nullptr) return {};  // the encoder does not say: it gets NV12 as always
  const auto listed = [formats](AVPixelFormat wanted) {
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
      if (*format == wanted) return true;
    }
    return false;
  };
  if (listed(AV_PIX_FMT_NV12) || listed(AV_PIX_FMT_YUV420P)) return {};
  for (int index = 0; const AVCodecHWConfig* config = avcodec_get_hw_config(codec, index); ++index) {
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX) != 0 && listed(config->pix_fmt)) {
      return {config->pix_fmt, config->device_type};
    }
  }
  return {};
}

bool AttachHardwareFrames(AVCodecContext& context, AVBufferRef* device, AVPixelFormat format) {
  if (device == nullptr) return false;
  BufferRefPtr frames(av_hwframe_ctx_alloc(device));
  if (!frames) return false;
  auto* surfaces = reinterpret_cast<AVHWFramesContext*>(frames->data);
  surfaces->format = format;
  surfaces->sw_format = AV_PIX_FMT_NV12;
  surfaces->width = context.width;
  surfaces->height = context.height;
  // No fixed size, as with FFmpeg's own upload filter: the pool grows to the
  // few surfaces the encoder holds at once (its async depth and references)
  // and then reuses them, where a fixed guess that was too small for some
  // driver would fail every upload.
  surfaces->initial_pool_size = 0;
  if (av_hwframe_ctx_init(frames.get()) < 0) return false;
  av_buffer_unref(&context.hw_frames_ctx);
  context.hw_frames_ctx = frames.release();
  context.pix_fmt = format;
  return true;
}

int UploadToHardwareFrame(const AVFrame& source, AVBufferRef* frames, AVFrame& target) {
  av_frame_unref(&target);
  if (frames == nullptr) return AVERROR(EINVAL);
  int result = av_hwframe_get_buffer(frames, &target, 0);
  if (result >= 0) result = av_hwframe_transfer_data(&target, &source, 0);
  if (result < 0) {
    av_frame_unref(&target);
    return result;
  }
  target.pts = source.pts;
  return 0;
}

}  // namespace ostrel::ffmpeg
