#include "support/save_segment_factory.h"

#include "encode/ffmpeg_segment_encoder.h"
#include "ffmpeg/ffmpeg_ptr.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace ostrel::testing {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("segment factory: " + what); }

void Paint(AVFrame* frame, const SegmentOptions& options, uint32_t index) {
  const bool white = static_cast<int>(index) == options.whiteFrame;
  for (uint32_t y = 0; y < options.height; ++y) {
    uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (uint32_t x = 0; x < options.width; ++x) {
      // Dark moving bars (luma 16..79); the white frame is full-scale 235.
      row[x] = white ? 235 : static_cast<uint8_t>(16 + ((x + 2 * index + y / 8) % 64));
    }
  }
  const bool nv12 = options.pixelFormat == AV_PIX_FMT_NV12;
  const uint32_t chromaHeight = options.pixelFormat == AV_PIX_FMT_YUV422P ? options.height : options.height / 2;
  const int planes = nv12 ? 1 : 2;
  for (int p = 1; p <= planes; ++p) {
    for (uint32_t y = 0; y < chromaHeight; ++y) {
      std::memset(frame->data[p] + y * frame->linesize[p], 128, nv12 ? options.width : options.width / 2);
    }
  }
}

}  // namespace

SharedBytes EncodeSegmentBytes(const SegmentOptions& options) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) Fail("libx264 not available");
  ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(codec));
  const int fps = static_cast<int>(options.fps);
  encoder->width = static_cast<int>(options.width);
  encoder->height = static_cast<int>(options.height);
  encoder->time_base = AVRational{1, fps};
  encoder->framerate = AVRational{fps, 1};
  encoder->pix_fmt = options.pixelFormat;
  encoder->gop_size = 2 * fps;
  encoder->max_b_frames = 0;
  encoder->color_primaries = AVCOL_PRI_BT709;
  encoder->color_trc = AVCOL_TRC_BT709;
  encoder->colorspace = AVCOL_SPC_BT709;
  encoder->color_range = AVCOL_RANGE_MPEG;
  encoder->thread_count = 1;
  av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0) Fail("avcodec_open2");

  ffmpeg::FramePtr frame(av_frame_alloc());
  frame->format = options.pixelFormat;
  frame->width = encoder->width;
  frame->height = encoder->height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) Fail("av_frame_get_buffer");
  ffmpeg::PacketPtr packet(av_packet_alloc());

  MemoryWriter writer;
  ffmpeg::AvioContextPtr io(avio_alloc_context(static_cast<uint8_t*>(av_malloc(32768)), 32768, 1, &writer, nullptr,
                                               &MemoryWriter::AvioWrite, &MemoryWriter::Seek));
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr) < 0) Fail("output context");
  ffmpeg::OutputFormatContextPtr format(raw);  // freed before the I/O context it writes through
  format->pb = io.get();
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(format.get(), nullptr);
  avcodec_parameters_from_context(stream->codecpar, encoder.get());
  stream->time_base = encoder->time_base;
  if (avformat_write_header(format.get(), nullptr) < 0) Fail("write header");

  auto drain = [&] {
    while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
      av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(format.get(), packet.get());
    }
  };
  for (uint32_t i = 0; i < options.frameCount; ++i) {
    if (av_frame_make_writable(frame.get()) < 0) Fail("frame writable");
    Paint(frame.get(), options, i);
    frame->pts = static_cast<int64_t>(i);
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0) Fail("send frame");
    drain();
  }
  avcodec_send_frame(encoder.get(), nullptr);
  drain();
  av_write_trailer(format.get());
  return std::make_shared<std::vector<uint8_t>>(writer.TakeBytes());
}

EncodedSegment SegmentFromBytes(SharedBytes bytes, int64_t startTicks, double durationSeconds, uint32_t frameCount,
                                bool needsReencode) {
  EncodedSegment segment;
  segment.bytes = std::move(bytes);
  segment.startTicks = startTicks;
  segment.durationSeconds = durationSeconds;
  segment.frameCount = frameCount;
  segment.needsReencode = needsReencode;
  return segment;
}

std::vector<uint8_t> WaveFormatBlock(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits,
                                     uint16_t validBits, uint32_t channelMask, uint16_t subFormatTag) {
  const bool extensible = formatTag == 0xFFFE;
  std::vector<uint8_t> block(extensible ? 40 : 18, 0);
  auto put16 = [&](size_t at, uint32_t v) {
    block[at] = static_cast<uint8_t>(v);
    block[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  const uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
  put16(0, formatTag);
  put16(2, channels);
  put32(4, rate);
  put32(8, rate * blockAlign);
  put16(12, blockAlign);
  put16(14, bits);
  put16(16, extensible ? 22 : 0);
  if (extensible) {
    put16(18, validBits ? validBits : bits);
    put32(20, channelMask);
    const uint8_t tail[12] = {0, 0, 0x10, 0, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    put16(24, subFormatTag);
    std::memcpy(block.data() + 28, tail, 12);
  }
  return block;
}

std::vector<uint8_t> MakeAudioBytes(const std::vector<uint8_t>& waveFormat, uint64_t frames,
                                    const std::function<double(uint64_t frame, int channel)>& sample) {
  const uint16_t tag = static_cast<uint16_t>(waveFormat[0] | (waveFormat[1] << 8));
  const int channels = waveFormat[2] | (waveFormat[3] << 8);
  const int bits = waveFormat[14] | (waveFormat[15] << 8);
  bool isFloat = tag == 3 || (tag == 0xFFFE && waveFormat[24] == 3);
  std::vector<uint8_t> out;
  out.reserve(frames * channels * bits / 8);
  for (uint64_t f = 0; f < frames; ++f) {
    for (int ch = 0; ch < channels; ++ch) {
      double v = std::fmax(-1.0, std::fmin(1.0, sample(f, ch)));
      if (isFloat) {
        float x = static_cast<float>(v);
        uint8_t raw[4];
        std::memcpy(raw, &x, 4);
        out.insert(out.end(), raw, raw + 4);
        continue;
      }
      if (bits == 8) {
        out.push_back(static_cast<uint8_t>(std::lround(v * 127.0) + 128));
        continue;
      }
      const double scale = std::ldexp(1.0, bits - 1) - 1.0;
      auto value = static_cast<int64_t>(std::llround(v * scale));
      for (int b = 0; b < bits / 8; ++b) out.push_back(static_cast<uint8_t>((value >> (8 * b)) & 0xFF));
    }
  }
  return out;
}

AudioChunk MakeAudioChunk(std::vector<uint8_t> bytes, int64_t startTicks, double durationSeconds,
                          const std::vector<uint8_t>* ownFormat) {
  AudioChunk chunk;
  chunk.bytes = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  chunk.startTicks = startTicks;
  chunk.durationSeconds = durationSeconds;
  if (ownFormat) chunk.waveFormat = std::make_shared<const std::vector<uint8_t>>(*ownFormat);
  return chunk;
}

}  // namespace ostrel::testing
