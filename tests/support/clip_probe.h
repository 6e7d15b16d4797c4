// Reads a saved clip or a live segment back with FFmpeg: streams, packets,
// and when asked decoded video (luma per frame, for sync flashes; plane means
// of the picture's middle, for colours) and decoded audio (for sync clicks).
//
// Every probe decodes both streams whatever `decode` says and checks the
// timeline, and reports what a player or `ffmpeg -v error -i clip -f null -`
// would trip over as a test failure: packets or frames the decoder refused
// or marked corrupt, time stamps that do not strictly increase, and video
// frames off the stream's frame-slot grid.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::testing {

struct PacketInfo {
  double ptsSeconds = 0;
  double dtsSeconds = 0;
  bool key = false;
};

struct VideoStreamInfo {
  bool present = false;
  std::string codec;
  int width = 0, height = 0;
  int pixelFormat = -1;  // AVPixelFormat of the stream
  int colorPrimaries = 0, colorTransfer = 0, colorSpace = 0, colorRange = 0;
  std::vector<PacketInfo> packets;
  double durationSeconds = 0;           // the stream's own duration (after its edit list)
  std::vector<double> framePtsSeconds;  // decoded frames, in presentation order
  std::vector<double> frameMeanLuma;    // mean of the luma plane per decoded frame
  // Per decoded planar frame: the mean of Y, U and V over the middle of the
  // picture (a tenth of the width and a sixth of the height left out at
  // each side, where scaling blends in the edges).
  std::vector<std::array<double, 3>> frameMiddleYuv;
  int decodeErrors = 0;
  double frameRate = 0;      // the stream's frame rate (its slot grid)
  uint64_t framesDecoded = 0;
  // Slots between the first and the last frame that hold no frame (a clip of
  // constant frame rate has none).
  uint64_t emptySlots = 0;
};

struct AudioStreamInfo {
  bool present = false;
  std::string codec;
  int sampleRate = 0, channels = 0;
  long long bitRate = 0;
  std::vector<PacketInfo> packets;
  double durationSeconds = 0;     // the stream's own duration (after its edit list)
  double firstSampleSeconds = 0;  // presentation time of the first decoded sample
  std::vector<float> peak;        // per decoded sample: max |x| over channels
  std::vector<float> samples;     // decoded float samples, interleaved
  int decodeErrors = 0;
};

struct ClipInfo {
  bool opened = false;
  // What the shared check found (also reported as test failures).
  std::vector<std::string> problems;
  int streamCount = 0;
  double durationSeconds = 0;
  VideoStreamInfo video;
  AudioStreamInfo audio;
};

ClipInfo ProbeClip(const std::string& path, bool decode);
// What `ffmpeg -v error -i path -f null -` prints (empty for a clean clip, or
// when no ffmpeg program is installed).
std::string FfmpegDecodeErrors(const std::string& path);
// The same for a file held in memory (a live segment's MP4 bytes).
ClipInfo ProbeClipBytes(const std::vector<uint8_t>& bytes, bool decode);

// Start times of white flashes (mean luma crossing `threshold` upwards).
std::vector<double> FlashOnsets(const VideoStreamInfo& video, double threshold = 200.0);
// Start times of clicks: the first sample above `threshold` after at least
// `quietSeconds` below it.
std::vector<double> ClickOnsets(const AudioStreamInfo& audio, float threshold = 0.5f, double quietSeconds = 0.2);

}  // namespace ostrel::testing
