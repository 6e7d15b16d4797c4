#include "support/clip_probe.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

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

void TakeVideoFrame(const AVFrame* frame, AVRational timeBase, VideoStreamInfo* video, bool details) {
  int64_t pts = frame->best_effort_timestamp;
  video->framePtsSeconds.push_back(Seconds(pts, timeBase));
  ++video->framesDecoded;
  if (!details) return;
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

void TakeAudioFrame(const AVFrame* frame, AVRational timeBase, AudioStreamInfo* audio, bool details) {
  if (!details) return;
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

void Drain(Decoder& decoder, AVFrame* frame, const AVStream* stream, ClipInfo* info, bool details) {
  const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  while (avcodec_receive_frame(decoder.context, frame) == 0) {
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
      ++(video ? info->video.decodeErrors : info->audio.decodeErrors);
    }
    if (video) TakeVideoFrame(frame, stream->time_base, &info->video, details);
    else TakeAudioFrame(frame, stream->time_base, &info->audio, details);
    av_frame_unref(frame);
  }
}

// The timeline checks: strictly increasing time stamps in each stream, and
// video frames on the slot grid of the stream's frame rate from its first
// frame, with the slots left empty counted.
void CheckTimeline(ClipInfo* info) {
  auto problem = [info](const std::string& text) { info->problems.push_back(text); };
  for (const auto* packets : {&info->video.packets, &info->audio.packets}) {
    const char* name = packets == &info->video.packets ? "video" : "audio";
    for (size_t i = 1; i < packets->size(); ++i) {
      if (!((*packets)[i].dtsSeconds > (*packets)[i - 1].dtsSeconds)) {
        std::ostringstream text;
        text << name << " dts not strictly increasing at packet " << i << ": " << (*packets)[i - 1].dtsSeconds
             << " -> " << (*packets)[i].dtsSeconds << " s";
        problem(text.str());
        break;
      }
    }
  }
  for (const char* name : {"video", "audio"}) {
    const int errors = name[0] == 'v' ? info->video.decodeErrors : info->audio.decodeErrors;
    if (errors != 0) problem(std::string(name) + " decode errors: " + std::to_string(errors));
  }
  VideoStreamInfo& video = info->video;
  if (video.frameRate <= 0 || video.framePtsSeconds.size() < 2) return;
  const double period = 1.0 / video.frameRate;
  std::vector<double> pts = video.framePtsSeconds;
  const double first = pts.front();
  for (size_t i = 1; i < pts.size(); ++i) {
    if (!(pts[i] > pts[i - 1])) {
      std::ostringstream text;
      text << "video frame times not strictly increasing at frame " << i << ": " << pts[i - 1] << " -> " << pts[i]
           << " s";
      problem(text.str());
      return;
    }
    const double slots = (pts[i] - first) / period;
    // Half a millisecond: what the clip's time base can round a slot by.
    if (std::fabs(slots - std::round(slots)) * period > 0.0005) {
      std::ostringstream text;
      text << "video frame " << i << " at " << pts[i] << " s is " << (slots - std::round(slots)) * period * 1000.0
           << " ms off the " << video.frameRate << " fps slot grid";
      problem(text.str());
      return;
    }
    video.emptySlots += static_cast<uint64_t>(std::llround((pts[i] - pts[i - 1]) / period)) - 1;
  }
}

}  // namespace

std::string FfmpegDecodeErrors(const std::string& path) {
  const std::string command =
      "command -v ffmpeg >/dev/null && ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
  return output;
}

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
      if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0) info.video.frameRate = av_q2d(stream->r_frame_rate);
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
      if (indices[i] >= 0 && !decoders[i].Open(input->streams[indices[i]])) ++*decodeErrors[i];
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
      if (i >= 0 && decoders[i].context) {
        if (avcodec_send_packet(decoders[i].context, packet) < 0) ++*decodeErrors[i];
        Drain(decoders[i], frame, stream, &info, decode);
      }
      av_packet_unref(packet);
    }
    for (int i = 0; i < 2; ++i) {
      if (!decoders[i].context) continue;
      avcodec_send_packet(decoders[i].context, nullptr);
      Drain(decoders[i], frame, input->streams[indices[i]], &info, decode);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    CheckTimeline(&info);
    if (info.streamCount > 0) {
      if (std::string errors = FfmpegDecodeErrors(path); !errors.empty()) info.problems.push_back("ffmpeg: " + errors);
    }
    for (const std::string& text : info.problems) ADD_FAILURE() << path << ": " << text;
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
