#include "clip_analysis.h"

#include <algorithm>
#include <cmath>

#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel::check {
namespace {

constexpr double kFlashLuma = 180.0;   // the dark scene is about 30, white 235
constexpr double kBeepQuietSeconds = 0.2;

using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;
using CodecPtr = ffmpeg::CodecContextPtr;
using FormatPtr = ffmpeg::InputFormatContextPtr;

CodecPtr OpenDecoder(const AVStream& stream) {
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (codec == nullptr) return nullptr;
  CodecPtr context(avcodec_alloc_context3(codec));
  if (!context || avcodec_parameters_to_context(context.get(), stream.codecpar) < 0 ||
      avcodec_open2(context.get(), codec, nullptr) < 0) {
    return nullptr;
  }
  return context;
}

// Mean of the luma plane, every fourth sample of every fourth row.
double MeanLuma(const AVFrame& frame) {
  if (frame.data[0] == nullptr || frame.width <= 0 || frame.height <= 0) return 0;
  double sum = 0;
  int count = 0;
  for (int y = 0; y < frame.height; y += 4) {
    const uint8_t* row = frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0];
    for (int x = 0; x < frame.width; x += 4, ++count) sum += row[x];
  }
  return count > 0 ? sum / count : 0;
}

// The loudest channel of sample i of a decoded frame (planar or packed
// float, or 16-bit).
float SamplePeak(const AVFrame& frame, int i, int channels) {
  float peak = 0;
  for (int c = 0; c < channels; ++c) {
    float value = 0;
    switch (frame.format) {
      case AV_SAMPLE_FMT_FLTP: value = reinterpret_cast<const float*>(frame.extended_data[c])[i]; break;
      case AV_SAMPLE_FMT_FLT: value = reinterpret_cast<const float*>(frame.data[0])[i * channels + c]; break;
      case AV_SAMPLE_FMT_S16P: value = reinterpret_cast<const int16_t*>(frame.extended_data[c])[i] / 32768.0f; break;
      case AV_SAMPLE_FMT_S16: value = reinterpret_cast<const int16_t*>(frame.data[0])[i * channels + c] / 32768.0f; break;
      default: break;
    }
    peak = std::max(peak, std::fabs(value));
  }
  return peak;
}

class Decoder {
 public:
  Decoder(ClipAnalysis& result, float beepThreshold) : result_(result), beepThreshold_(beepThreshold) {}

  bool Run(AVFormatContext& format) {
    const int video = av_find_best_stream(&format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(&format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0) return Fail("the clip has no video stream");
    videoStream_ = format.streams[video];
    videoCodec_ = OpenDecoder(*videoStream_);
    if (!videoCodec_) return Fail("no h264 decoder opened");
    if (audio >= 0) {
      audioStream_ = format.streams[audio];
      audioCodec_ = OpenDecoder(*audioStream_);
      if (!audioCodec_) return Fail("no aac decoder opened");
      result_.audioSampleRate = audioCodec_->sample_rate;
      result_.audioChannels = audioCodec_->ch_layout.nb_channels;
    }
    PacketPtr packet(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet || !frame_) return Fail("out of memory");
    while (av_read_frame(&format, packet.get()) >= 0) {
      if (packet->stream_index == video) Send(videoCodec_.get(), packet.get(), true);
      else if (audioCodec_ && packet->stream_index == audio) Send(audioCodec_.get(), packet.get(), false);
      av_packet_unref(packet.get());
    }
    Send(videoCodec_.get(), nullptr, true);
    if (audioCodec_) Send(audioCodec_.get(), nullptr, false);
    return true;
  }

 private:
  bool Fail(const char* why) {
    result_.error = why;
    return false;
  }

  void Send(AVCodecContext* codec, const AVPacket* packet, bool isVideo) {
    if (avcodec_send_packet(codec, packet) < 0) return;
    while (avcodec_receive_frame(codec, frame_.get()) >= 0) {
      if (isVideo) OnVideo(*frame_);
      else OnAudio(*frame_);
      av_frame_unref(frame_.get());
    }
  }

  void OnVideo(const AVFrame& frame) {
    const double seconds = Seconds(frame, *videoStream_);
    result_.width = frame.width;
    result_.height = frame.height;
    ++result_.videoFrames;
    result_.videoSeconds = std::max(result_.videoSeconds, seconds);
    const bool white = MeanLuma(frame) >= kFlashLuma;
    if (white && !lastWhite_) result_.flashes.push_back(seconds);
    lastWhite_ = white;
  }

  void OnAudio(const AVFrame& frame) {
    const double start = Seconds(frame, *audioStream_);
    const int channels = frame.ch_layout.nb_channels;
    const int rate = frame.sample_rate > 0 ? frame.sample_rate : 48000;
    for (int i = 0; i < frame.nb_samples; ++i) {
      const double at = start + static_cast<double>(i) / rate;
      if (SamplePeak(frame, i, channels) > beepThreshold_) {
        if (at - lastLoud_ >= kBeepQuietSeconds) result_.beeps.push_back(at);
        lastLoud_ = at;
      }
    }
    result_.audioSeconds = std::max(result_.audioSeconds, start + static_cast<double>(frame.nb_samples) / rate);
  }

  static double Seconds(const AVFrame& frame, const AVStream& stream) {
    const int64_t pts = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
    if (pts == AV_NOPTS_VALUE) return 0;
    return static_cast<double>(pts) * av_q2d(stream.time_base);
  }

  ClipAnalysis& result_;
  const float beepThreshold_;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  CodecPtr videoCodec_, audioCodec_;
  FramePtr frame_;
  bool lastWhite_ = false;
  double lastLoud_ = -1e9;
};

}  // namespace

ClipAnalysis AnalyseClip(const std::string& utf8Path, float beepThreshold) {
  ClipAnalysis result;
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, utf8Path.c_str(), nullptr, nullptr) < 0) {
    result.error = "the clip could not be opened";
    return result;
  }
  FormatPtr format(raw);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) {
    result.error = "the clip's streams could not be read";
    return result;
  }
  result.opened = Decoder(result, beepThreshold).Run(*format);
  return result;
}

std::vector<double> AvOffsets(const ClipAnalysis& clip) {
  std::vector<double> offsets;
  for (double flash : clip.flashes) {
    auto nearest = std::min_element(clip.beeps.begin(), clip.beeps.end(), [&](double a, double b) {
      return std::fabs(a - flash) < std::fabs(b - flash);
    });
    if (nearest != clip.beeps.end() && std::fabs(*nearest - flash) <= 0.5) offsets.push_back(flash - *nearest);
  }
  return offsets;
}

}  // namespace ostrel::check
