// Test helper: opens an MP4 (or any container FFmpeg reads) held in memory,
// lists its streams and packets, and decodes its video frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

namespace ostrel::testing {

struct ProbedStream {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codecId = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  AVRational timeBase{0, 1};
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  int64_t frameCount = 0;  // as the container states it
  int sampleRate = 0;
  int channels = 0;
};

struct ProbedPacket {
  int streamIndex = 0;
  int64_t pts = AV_NOPTS_VALUE;
  int64_t dts = AV_NOPTS_VALUE;
  int64_t duration = 0;
  bool key = false;
  bool discard = false;  // the demuxer marks it to be dropped (outside the edit list)
  int size = 0;
};

struct MediaProbe {
  bool opened = false;
  std::string error;        // why it did not open
  std::string formatName;   // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  double durationSeconds = 0.0;
  std::vector<ProbedStream> streams;
  std::vector<ProbedPacket> packets;  // in file order

  std::vector<ProbedPacket> PacketsOf(int streamIndex) const;
};

// One decoded video frame with tight plane copies (YUV 4:2:0 or NV12 as the
// decoder delivers it; `format` tells which).
struct DecodedFrame {
  int width = 0;
  int height = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;
  int64_t pts = AV_NOPTS_VALUE;
  bool key = false;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  std::vector<std::vector<uint8_t>> planes;
  std::vector<int> planeWidths;   // bytes per row of each plane copy
  std::vector<int> planeHeights;

  // Mean sample value of a plane over a rectangle given in that plane's
  // sample coordinates (for NV12's interleaved chroma, component 0 = U and
  // 1 = V of plane 1).
  double MeanOf(int plane, int x, int y, int w, int h, int component = 0, int components = 1) const;
};

MediaProbe ProbeMediaBytes(const std::vector<uint8_t>& bytes);

// Decodes every frame of the first video stream (or at most `maxFrames`).
// Empty on failure; `error` (when given) says why.
std::vector<DecodedFrame> DecodeVideoFrames(const std::vector<uint8_t>& bytes, int maxFrames = -1,
                                            std::string* error = nullptr);

}  // namespace ostrel::testing
