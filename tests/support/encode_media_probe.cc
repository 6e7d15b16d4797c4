#include "support/encode_media_probe.h"

#include <algorithm>
#include <cstring>

#include "ffmpeg/ffmpeg_ptr.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace ostrel::testing {
namespace {

constexpr int kReadBufferSize = 32768;

// Read-only custom input over a byte vector.
struct MemoryReader {
  const std::vector<uint8_t>* bytes = nullptr;
  int64_t position = 0;

  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const int64_t total = static_cast<int64_t>(reader->bytes->size());
    if (reader->position >= total) return AVERROR_EOF;
    const int count = static_cast<int>(std::min<int64_t>(size, total - reader->position));
    std::memcpy(buffer, reader->bytes->data() + reader->position, static_cast<size_t>(count));
    reader->position += count;
    return count;
  }

  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<MemoryReader*>(opaque);
    const int64_t total = static_cast<int64_t>(reader->bytes->size());
    if (whence == AVSEEK_SIZE) return total;
    int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: target = offset; break;
      case SEEK_CUR: target = reader->position + offset; break;
      case SEEK_END: target = total + offset; break;
      default: return -1;
    }
    if (target < 0) return -1;
    reader->position = target;
    return target;
  }
};

// An opened in-memory demuxer with everything it owns.
struct OpenedInput {
  MemoryReader reader;
  ffmpeg::AvioContextPtr io;
  ffmpeg::InputFormatContextPtr format;
  std::string error;

  bool Open(const std::vector<uint8_t>& bytes) {
    reader.bytes = &bytes;
    ffmpeg::AvBufferPtr buffer(static_cast<uint8_t*>(av_malloc(kReadBufferSize)));
    if (!buffer) return Fail("av_malloc failed");
    io.reset(avio_alloc_context(buffer.get(), kReadBufferSize, 0, &reader, &MemoryReader::Read, nullptr,
                                &MemoryReader::Seek));
    if (!io) return Fail("avio_alloc_context failed");
    buffer.release();
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) return Fail("avformat_alloc_context failed");
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // avformat_open_input frees the context itself when it fails.
    if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) return Fail("avformat_open_input failed");
    format.reset(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return Fail("avformat_find_stream_info failed");
    return true;
  }

  bool Fail(const char* why) {
    error = why;
    return false;
  }
};

std::vector<uint8_t> CopyPlane(const uint8_t* data, int linesize, int rowBytes, int rows) {
  std::vector<uint8_t> out(static_cast<size_t>(rowBytes) * rows);
  for (int r = 0; r < rows; ++r) {
    std::memcpy(out.data() + static_cast<size_t>(r) * rowBytes, data + static_cast<ptrdiff_t>(r) * linesize,
                static_cast<size_t>(rowBytes));
  }
  return out;
}

DecodedFrame CopyFrame(const AVFrame& frame) {
  DecodedFrame out;
  out.width = frame.width;
  out.height = frame.height;
  out.format = static_cast<AVPixelFormat>(frame.format);
  out.pts = frame.pts;
  out.range = frame.color_range;
#if LIBAVUTIL_VERSION_MAJOR >= 58
  out.key = (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
  out.key = frame.pict_type == AV_PICTURE_TYPE_I;
#endif
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(out.format);
  if (desc == nullptr) return out;
  const int planeCount = av_pix_fmt_count_planes(out.format);
  for (int p = 0; p < planeCount; ++p) {
    const int rowBytes = av_image_get_linesize(out.format, frame.width, p);
    const int rows = (p == 1 || p == 2) ? AV_CEIL_RSHIFT(frame.height, desc->log2_chroma_h) : frame.height;
    out.planes.push_back(CopyPlane(frame.data[p], frame.linesize[p], rowBytes, rows));
    out.planeWidths.push_back(rowBytes);
    out.planeHeights.push_back(rows);
  }
  return out;
}

}  // namespace

std::vector<ProbedPacket> MediaProbe::PacketsOf(int streamIndex) const {
  std::vector<ProbedPacket> out;
  for (const auto& packet : packets) {
    if (packet.streamIndex == streamIndex) out.push_back(packet);
  }
  return out;
}

double DecodedFrame::MeanOf(int plane, int x, int y, int w, int h, int component, int components) const {
  if (plane < 0 || plane >= static_cast<int>(planes.size()) || w <= 0 || h <= 0) return -1.0;
  double sum = 0.0;
  int64_t count = 0;
  for (int r = y; r < y + h && r < planeHeights[plane]; ++r) {
    for (int c = x; c < x + w; ++c) {
      const int byte = c * components + component;
      if (byte >= planeWidths[plane]) break;
      sum += planes[plane][static_cast<size_t>(r) * planeWidths[plane] + byte];
      ++count;
    }
  }
  return count == 0 ? -1.0 : sum / static_cast<double>(count);
}

MediaProbe ProbeMediaBytes(const std::vector<uint8_t>& bytes) {
  MediaProbe probe;
  OpenedInput input;
  if (!input.Open(bytes)) {
    probe.error = input.error;
    return probe;
  }
  probe.opened = true;
  AVFormatContext* format = input.format.get();
  probe.formatName = format->iformat->name;
  if (format->duration != AV_NOPTS_VALUE) probe.durationSeconds = format->duration / double(AV_TIME_BASE);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    ProbedStream s;
    s.type = par->codec_type;
    s.codecId = par->codec_id;
    s.width = par->width;
    s.height = par->height;
    s.timeBase = stream->time_base;
    s.primaries = par->color_primaries;
    s.transfer = par->color_trc;
    s.matrix = par->color_space;
    s.range = par->color_range;
    s.frameCount = stream->nb_frames;
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    probe.streams.push_back(s);
  }
  ffmpeg::PacketPtr packet(av_packet_alloc());
  while (packet && av_read_frame(format, packet.get()) >= 0) {
    ProbedPacket p;
    p.streamIndex = packet->stream_index;
    p.pts = packet->pts;
    p.dts = packet->dts;
    p.duration = packet->duration;
    p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    p.discard = (packet->flags & AV_PKT_FLAG_DISCARD) != 0;
    p.size = packet->size;
    probe.packets.push_back(p);
    av_packet_unref(packet.get());
  }
  return probe;
}

std::vector<DecodedFrame> DecodeVideoFrames(const std::vector<uint8_t>& bytes, int maxFrames, std::string* error) {
  std::vector<DecodedFrame> frames;
  auto fail = [&](const char* why) {
    if (error != nullptr) *error = why;
    return std::vector<DecodedFrame>{};
  };
  OpenedInput input;
  if (!input.Open(bytes)) return fail(input.error.c_str());
  const int streamIndex = av_find_best_stream(input.format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (streamIndex < 0) return fail("no video stream");
  const AVCodecParameters* par = input.format->streams[streamIndex]->codecpar;
  const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
  if (decoder == nullptr) return fail("no decoder");
  ffmpeg::CodecContextPtr codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), par) < 0) return fail("decoder set-up failed");
  codec->pkt_timebase = input.format->streams[streamIndex]->time_base;
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return fail("decoder open failed");

  ffmpeg::PacketPtr packet(av_packet_alloc());
  ffmpeg::FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return fail("allocation failed");
  auto receive = [&]() {
    while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
      if (maxFrames < 0 || static_cast<int>(frames.size()) < maxFrames) frames.push_back(CopyFrame(*frame));
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(input.format.get(), packet.get()) >= 0) {
    if (packet->stream_index == streamIndex) {
      avcodec_send_packet(codec.get(), packet.get());
      receive();
    }
    av_packet_unref(packet.get());
    if (maxFrames >= 0 && static_cast<int>(frames.size()) >= maxFrames) return frames;
  }
  avcodec_send_packet(codec.get(), nullptr);
  receive();
  return frames;
}

}  // namespace ostrel::testing
