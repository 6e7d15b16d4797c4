// Encoders that take only hardware frames (h264_vaapi): how to recognise
// them, the frames context they are fed from and the upload of each
// system-memory frame into one of its surfaces.
#pragma once

#include <string>

extern "C" {
#include <libavutil/hwcontext.h>
}

#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel::ffmpeg {

// The codec's pixel formats (AV_PIX_FMT_NONE-terminated), or null when it
// does not list them.
const AVPixelFormat* EncoderPixelFormats(const AVCodec* codec);

// What an encoder must be fed: `format` is its hardware frame format, or
// AV_PIX_FMT_NONE when it takes NV12 or planar 4:2:0 in system memory.
struct HardwareFramesNeed {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  AVHWDeviceType deviceType = AV_HWDEVICE_TYPE_NONE;
  explicit operator bool() const { return format != AV_PIX_FMT_NONE; }
};

// Read from the codec's pixel formats and hardware configurations: an
// encoder that lists a system-memory format we produce is fed that, whatever
// hardware frames it also accepts (NVENC takes CUDA frames too).
HardwareFramesNeed EncoderHardwareFrames(const AVCodec* codec);

// Builds a frames context of `format` surfaces holding NV12 at the context's
// size on `device` and gives it to the context (hw_frames_ctx, pix_fmt).
// False, with the context untouched, when there is no device or the frames
// context cannot be built.
bool AttachHardwareFrames(AVCodecContext& context, AVBufferRef* device, AVPixelFormat format);

// Copies `source` (system memory, in the frames context's NV12) into a fresh
// surface of `frames`, its pts with it. `target` is emptied first and stays
// empty on failure. Returns 0 or a negative AVERROR.
int UploadToHardwareFrame(const AVFrame& source, AVBufferRef* frames, AVFrame& target);

}  // namespace ostrel::ffmpeg
