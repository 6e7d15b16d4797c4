#include "support/clip_probe.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace ostrel::testing {
namespace {

struct Decoder {
  AVCodecContext* context = nullptr;
  ~Decoder() { avcodec_free_context(&context); }
  bool Open(const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return false;
    context = avcodec_alloc_context3(codec);
    if (!context || avcodec_parameters_to_context(context, stream->codecpar) < 0) return false;
    context->pkt_timebase = stream->time_base;
    return avcodec_open2(context, codec, nullptr) >= 0;
  }
};

double Seconds(int64_t value, AVRational timeBase) {
  return value == AV_NOPTS_VALUE ? NAN : static_cast<double>(value) * av_q2d(timeBase);
}

void TakeVideoFrame(const AVFrame* frame, AVRational timeBase, VideoStreamInfo* video) {
  int64_t pts = frame->best_effort_timestamp;
  video->framePtsSeconds.push_back(Seconds(pts, timeBase));
  double sum = 0;
  for (int y = 0; y < frame->height; ++y) {
    const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < frame->width; ++x) sum += row[x];
  }
  video->frameMeanLuma.push_back(sum / (static_cast<double>(frame->width) * frame->height));
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (desc == nullptr || av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format)) != 3) return;
  std::array<double, 3> middle{};
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? frame->width : AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w);
    const int h = p == 0 ? frame->height : AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
    double planeSum = 0;
    for (int y = h / 6; y < h - h / 6; ++y) {
      const uint8_t* row = frame->data[p] + static_cast<ptrdiff_t>(y) * frame->linesize[p];
      for (int x = w / 10; x < w - w / 10; ++x) planeSum += row[x];
    }
    middle[p] = planeSum / (static_cast<double>(w - 2 * (w / 10)) * (h - 2 * (h / 6)));
  }
  video->frameMiddleYuv.push_back(middle);
}

void TakeAudioFrame(const AVFrame* frame, AVRational timeBase, AudioStreamInfo* audio) {
  if (audio->peak.empty()) audio->firstSampleSeconds = Seconds(frame->best_effort_timestamp, timeBase);
  int channels = frame->ch_layout.nb_channels;
  for (int i = 0; i < frame->nb_samples; ++i) {
    float peak = 0;
    for (int c = 0; c < channels; ++c) {
      float sample = 0;
      if (frame->format == AV_SAMPLE_FMT_FLTP) sample = reinterpret_cast<const float*>(frame->extended_data[c])[i];
      else if (frame->format == AV_SAMPLE_FMT_FLT) sample = reinterpret_cast<const float*>(frame->data[0])[i * channels + c];
      peak = std::max(peak, std::fabs(sample));
      audio->samples.push_back(sample);
    }
    audio->peak.push_back(peak);
  }
}

void Drain(Decoder& decoder, AVFrame* frame, const AVStream* stream, ClipInfo* info) {
  while (avcodec_receive_frame(decoder.context, frame) == 0) {
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) TakeVideoFrame(frame, stream->time_base, &info->video);
    else TakeAudioFrame(frame, stream->time_base, &info->audio);
    av_frame_unref(frame);
  }
}

}  // namespace

ClipInfo ProbeClip(const std::string& path, bool decode) {
  ClipInfo info;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(input, nullptr) >= 0) {
    info.opened = true;
    info.streamCount = static_cast<int>(input->nb_streams);
    info.durationSeconds = input->duration > 0 ? input->duration / static_cast<double>(AV_TIME_BASE) : 0;
    const int videoIndex = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audioIndex = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    Decoder decoders[2];  // video, audio
    int* decodeErrors[2] = {&info.video.decodeErrors, &info.audio.decodeErrors};
    if (videoIndex >= 0) {
      const AVStream* stream = input->streams[videoIndex];
      const AVCodecParameters* par = stream->codecpar;
      VideoStreamInfo& v = info.video;
      v.present = true;
      v.codec = avcodec_get_name(par->codec_id);
      v.width = par->width, v.height = par->height, v.pixelFormat = par->format;
      v.colorPrimaries = par->color_primaries, v.colorTransfer = par->color_trc;
      v.colorSpace = par->color_space, v.colorRange = par->color_range;
      info.video.durationSeconds = Seconds(stream->duration, stream->time_base);
    }
    if (audioIndex >= 0) {
      const AVStream* stream = input->streams[audioIndex];
      const AVCodecParameters* par = stream->codecpar;
      info.audio.present = true;
      info.audio.codec = avcodec_get_name(par->codec_id);
      info.audio.sampleRate = par->sample_rate, info.audio.channels = par->ch_layout.nb_channels;
      info.audio.bitRate = par->bit_rate;
      info.audio.durationSeconds = Seconds(stream->duration, stream->time_base);
    }
    const int indices[2] = {videoIndex, audioIndex};
    for (int i = 0; i < 2; ++i) {
      if (decode && indices[i] >= 0 && !decoders[i].Open(input->streams[indices[i]])) ++*decodeErrors[i];
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(input, packet) >= 0) {
      const AVStream* stream = input->streams[packet->stream_index];
      const int i = packet->stream_index == videoIndex ? 0 : packet->stream_index == audioIndex ? 1 : -1;
      if (i >= 0) {
        (i == 0 ? info.video.packets : info.audio.packets)
            .push_back({Seconds(packet->pts, stream->time_base), Seconds(packet->dts, stream->time_base),
                        (packet->flags & AV_PKT_FLAG_KEY) != 0});
      }
      if (decode && i >= 0 && decoders[i].context) {
        if (avcodec_send_packet(decoders[i].context, packet) < 0) ++*decodeErrors[i];
        Drain(decoders[i], frame, stream, &info);
      }
      av_packet_unref(packet);
    }
    for (int i = 0; i < 2; ++i) {
      if (!decoders[i].context) continue;
      avcodec_send_packet(decoders[i].context, nullptr);
      Drain(decoders[i], frame, input->streams[indices[i]], &info);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
  }
  avformat_close_input(&input);
  return info;
}

ClipInfo ProbeClipBytes(const std::vector<uint8_t>& bytes, bool decode) {
  std::string path = (std::filesystem::temp_directory_path() / "ostrel-probe-XXXXXX").string();
  const int fd = mkstemp(path.data());
  if (fd < 0) return {};
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  ClipInfo info = written ? ProbeClip(path, decode) : ClipInfo{};
  std::remove(path.c_str());
  return info;
}

std::vector<double> FlashOnsets(const VideoStreamInfo& video, double threshold) {
  std::vector<double> onsets;
  bool inFlash = false;
  for (size_t i = 0; i < video.frameMeanLuma.size(); ++i) {
    bool bright = video.frameMeanLuma[i] > threshold;
    if (bright && !inFlash) onsets.push_back(video.framePtsSeconds[i]);
    inFlash = bright;
  }
  return onsets;
}

std::vector<double> ClickOnsets(const AudioStreamInfo& audio, float threshold, double quietSeconds) {
  std::vector<double> onsets;
  if (audio.sampleRate <= 0) return onsets;
  auto quietNeeded = static_cast<size_t>(quietSeconds * audio.sampleRate);
  size_t quiet = quietNeeded;  // the clip's start counts as quiet
  for (size_t i = 0; i < audio.peak.size(); ++i) {
    if (audio.peak[i] > threshold) {
      if (quiet >= quietNeeded) onsets.push_back(audio.firstSampleSeconds + static_cast<double>(i) / audio.sampleRate);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return onsets;
}

}  // namespace ostrel::testing
