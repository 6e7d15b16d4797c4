// What the live video encode costs on this machine.
//
// The first half compares libx264 configurations under the segment encoder's
// settings (rate control, GOP, no B-frames, 2 s segments each starting on an
// IDR frame) on synthetic game-like content: CPU seconds spent per second of
// video, achieved bit rate against the target, and luma PSNR of the decoded
// last segment. The live rotation opens a fresh encoder per segment; the
// "kept" row runs one encoder across the segments with their key frames
// forced, which would allocate x264's state once, and shows why it is not
// used: x264's rate control in its steady state gives 1-2.5 dB less here.
// The first row is the live encoder's configuration, quality floor included;
// the "still" case shows what that floor does where it applies.
//
// The second half runs the real segment encoder on the fake world's GPU (BGRA capture
// texture -> convert/scale -> staging -> encode -> MP4), so the cost of the
// fake world's software conversion shows next to the encoder's.
//
// Usage: segment_encoder_bench [seconds-per-case]   (default 6)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encode/ffmpeg_segment_encoder.h"
#include "encode/gpu_encode_context.h"
#include "ffmpeg/ffmpeg_log.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sim_gpu.h"
#include "process_readings.h"
#include "replay/tick_clock.h"

namespace {

using namespace ostrel;

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// A tight NV12 picture.
struct Nv12 {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y;
  std::vector<uint8_t> uv;
};

// Game-like content: a textured ground scrolling diagonally (detail the
// encoder can motion-compensate), a smooth sky gradient, moving solid
// sprites, and a little per-frame noise (film grain / particles) that it
// cannot predict.
Nv12 MakeFrame(int width, int height, int index) {
  Nv12 f;
  f.width = width;
  f.height = height;
  f.y.resize(static_cast<size_t>(width) * height);
  f.uv.resize(static_cast<size_t>(width) * height / 2);
  const int horizon = height / 3;
  const int scrollX = index * 6, scrollY = index * 3;
  for (int yy = 0; yy < height; ++yy) {
    uint8_t* row = f.y.data() + static_cast<size_t>(yy) * width;
    for (int xx = 0; xx < width; ++xx) {
      int v;
      if (yy < horizon) {
        v = 150 + (yy * 60) / horizon + ((xx + index * 2) % 256) / 16;
      } else {
        const uint32_t tx = static_cast<uint32_t>(xx + scrollX) / 4, ty = static_cast<uint32_t>(yy + scrollY) / 4;
        v = 60 + static_cast<int>(Hash(tx * 7919u + ty * 104729u) % 90);
      }
      if ((Hash(static_cast<uint32_t>(index) * 2654435761u + static_cast<uint32_t>(yy * width + xx)) & 63) == 0) {
        v += 12;
      }
      row[xx] = static_cast<uint8_t>(std::clamp(v, 16, 235));
    }
  }
  for (int s = 0; s < 6; ++s) {
    const int sx = (s * width / 6 + index * (4 + s)) % (width - 80);
    const int sy = horizon + (s * 37 + index * 2) % (height - horizon - 80);
    for (int yy = sy; yy < sy + 64; ++yy) {
      std::memset(f.y.data() + static_cast<size_t>(yy) * width + sx, 40 + 30 * s, 64);
    }
  }
  for (int yy = 0; yy < height / 2; ++yy) {
    uint8_t* row = f.uv.data() + static_cast<size_t>(yy) * width;
    for (int xx = 0; xx < width / 2; ++xx) {
      row[2 * xx] = static_cast<uint8_t>(128 + ((xx + index) % 64) - 32);
      row[2 * xx + 1] = static_cast<uint8_t>(128 + ((yy * 2) % 48) - 24);
    }
  }
  return f;
}

struct Config {
  const char* preset;
  const char* tune;  // nullptr: none
  const char* threads;
  bool kept = false;  // one encoder across the segments, key frames forced
  const char* qmin = nullptr;  // quality floor (the live encoder's is 15)
};

struct Result {
  double cpuPerVideoSecond = 0.0;
  double wallPerFrameMs = 0.0;
  double bitrate = 0.0;
  double psnrY = 0.0;
  double maxSegmentBits = 0.0;  // largest 2 s segment relative to target x 2 s
};

double PsnrY(const Nv12& source, const AVFrame& decoded) {
  double sse = 0.0;
  for (int yy = 0; yy < source.height; ++yy) {
    const uint8_t* a = source.y.data() + static_cast<size_t>(yy) * source.width;
    const uint8_t* b = decoded.data[0] + static_cast<ptrdiff_t>(yy) * decoded.linesize[0];
    for (int xx = 0; xx < source.width; ++xx) {
      const double d = static_cast<double>(a[xx]) - b[xx];
      sse += d * d;
    }
  }
  const double mse = sse / (static_cast<double>(source.width) * source.height);
  return mse <= 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

Result RunLibx264(const Config& config, const std::vector<Nv12>& frames, int width, int height, int fps,
                  uint32_t bitrate, int seconds) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  const int segmentFrames = 2 * fps;
  const int segments = std::max(1, seconds / 2);
  std::vector<std::vector<std::vector<uint8_t>>> packets(segments);  // per segment, in order
  std::vector<double> segmentBytes(segments, 0.0);
  double totalBytes = 0.0;

  const double cpu0 = bench::CpuSeconds();
  const double wall0 = WallSeconds();
  ffmpeg::CodecContextPtr context;
  ffmpeg::FramePtr frame;
  ffmpeg::PacketPtr packet(av_packet_alloc());
  int64_t pts = 0;
  for (int s = 0; s < segments; ++s) {
    if (!config.kept || s == 0) {
      context.reset(avcodec_alloc_context3(codec));
      ApplySegmentEncoderSettings(context.get(), width, height, fps, bitrate);
      ffmpeg::DictionaryPtr options;
      ffmpeg::DictSet(options, "preset", config.preset);
      if (config.tune != nullptr) ffmpeg::DictSet(options, "tune", config.tune);
      ffmpeg::DictSet(options, "threads", config.threads);
      if (config.qmin != nullptr) ffmpeg::DictSet(options, "qmin", config.qmin);
      AVDictionary* raw = options.release();
      const int opened = avcodec_open2(context.get(), codec, &raw);
      options.reset(raw);
      if (opened < 0) {
        std::printf("  open failed for preset=%s\n", config.preset);
        return {};
      }
      frame.reset(av_frame_alloc());
      frame->format = AV_PIX_FMT_NV12;
      frame->width = width;
      frame->height = height;
      av_frame_get_buffer(frame.get(), 0);
      pts = 0;
    }
    auto receive = [&] {
      while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
        packets[s].emplace_back(packet->data, packet->data + packet->size);
        segmentBytes[s] += packet->size;
        totalBytes += packet->size;
        av_packet_unref(packet.get());
      }
    };
    for (int i = 0; i < segmentFrames; ++i) {
      const Nv12& src = frames[static_cast<size_t>(s * segmentFrames + i) % frames.size()];
      av_frame_make_writable(frame.get());
      for (int yy = 0; yy < height; ++yy) {
        std::memcpy(frame->data[0] + static_cast<ptrdiff_t>(yy) * frame->linesize[0],
                    src.y.data() + static_cast<size_t>(yy) * width, width);
      }
      for (int yy = 0; yy < height / 2; ++yy) {
        std::memcpy(frame->data[1] + static_cast<ptrdiff_t>(yy) * frame->linesize[1],
                    src.uv.data() + static_cast<size_t>(yy) * width, width);
      }
      frame->pts = pts++;
      frame->pict_type = config.kept && i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
      avcodec_send_frame(context.get(), frame.get());
      receive();
    }
    if (!config.kept) {
      avcodec_send_frame(context.get(), nullptr);
      receive();
    }
  }
  const double cpu = bench::CpuSeconds() - cpu0;
  const double wall = WallSeconds() - wall0;

  Result result;
  const double videoSeconds = segments * 2.0;
  result.cpuPerVideoSecond = cpu / videoSeconds;
  result.wallPerFrameMs = wall * 1000.0 / (segments * segmentFrames);
  result.bitrate = totalBytes * 8.0 / videoSeconds;
  for (double bytes : segmentBytes) result.maxSegmentBits = std::max(result.maxSegmentBits, bytes * 8.0);
  result.maxSegmentBits /= bitrate * 2.0;

  // Decode the last segment on its own and compare against the source frames
  // (every segment shows the same sequence).
  const AVCodec* decoderCodec = avcodec_find_decoder(AV_CODEC_ID_H264);
  ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(decoderCodec));
  avcodec_open2(decoder.get(), decoderCodec, nullptr);
  ffmpeg::FramePtr decoded(av_frame_alloc());
  double psnrSum = 0.0;
  int decodedCount = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), decoded.get()) == 0) {
      psnrSum += PsnrY(frames[static_cast<size_t>(decodedCount) % frames.size()], *decoded);
      ++decodedCount;
      av_frame_unref(decoded.get());
    }
  };
  for (auto& bytes : packets.back()) {
    av_new_packet(packet.get(), static_cast<int>(bytes.size()));
    std::memcpy(packet->data, bytes.data(), bytes.size());
    avcodec_send_packet(decoder.get(), packet.get());
    av_packet_unref(packet.get());
    drain();
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  result.psnrY = decodedCount > 0 ? psnrSum / decodedCount : 0.0;
  return result;
}

void PartOne(int seconds) {
  struct Case {
    int width, height, fps;
    uint32_t bitrate;
    bool still;  // the picture changes twice a second: the quality floor's case
  };
  const Case cases[] = {
      {1280, 720, 60, 6000000, false}, {1920, 1080, 30, 6000000, false}, {1280, 720, 60, 6000000, true}};
  const Config configs[] = {
      {"ultrafast", "zerolatency", "2", false, "15"}, {"ultrafast", "zerolatency", "2", true, "15"},
      {"ultrafast", "zerolatency", "2"},
      {"ultrafast", "zerolatency", "1"},       {"ultrafast", nullptr, "2"},
      {"superfast", "zerolatency", "2"}, {"superfast", nullptr, "2"},       {"veryfast", "zerolatency", "2"},
      {"ultrafast", "zerolatency", "0"},
  };
  std::printf("libx264 under the segment settings (2 s segments, %d s per case)\n", seconds);
  std::printf("%-10s %-11s %-7s %-7s %-4s | %-22s %11s %12s %9s %9s %8s\n", "preset", "tune", "threads", "encoder",
              "qmin", "case",
              "cpu/s video", "wall/frame", "kbit/s", "max seg", "PSNR-Y");
  for (const Case& c : cases) {
    std::vector<Nv12> frames;
    for (int i = 0; i < 2 * c.fps; ++i) frames.push_back(MakeFrame(c.width, c.height, c.still ? i / (c.fps / 2) : i));
    for (const Config& config : configs) {
      const Result r = RunLibx264(config, frames, c.width, c.height, c.fps, c.bitrate, seconds);
      char label[64];
      std::snprintf(label, sizeof label, "%dx%d@%d %uk%s", c.width, c.height, c.fps, c.bitrate / 1000,
                    c.still ? " still" : "");
      std::printf("%-10s %-11s %-7s %-7s %-4s | %-22s %10.3fs %10.2fms %9.0f %8.2fx %7.2fdB\n", config.preset,
                  config.tune ? config.tune : "-", config.threads[0] == '0' ? "auto" : config.threads,
                  config.kept ? "kept" : "fresh", config.qmin ? config.qmin : "-", label,
                  r.cpuPerVideoSecond, r.wallPerFrameMs, r.bitrate / 1000.0, r.maxSegmentBits, r.psnrY);
      std::fflush(stdout);
    }
  }
}

// Copies a tight NV12-converted BGRA picture into a sim texture.
void FillTexture(platform::ITexture& texture, const std::vector<uint8_t>& bgra, int width, int height) {
  auto* sim = dynamic_cast<sim::SimTexture*>(&texture);
  for (int yy = 0; yy < height; ++yy) {
    std::memcpy(sim->Data() + static_cast<size_t>(yy) * sim->RowPitch(),
                bgra.data() + static_cast<size_t>(yy) * width * 4, static_cast<size_t>(width) * 4);
  }
}

void PartTwo(int seconds) {
  struct Case {
    int captureWidth, captureHeight, outputWidth, outputHeight, fps;
  };
  const Case cases[] = {{1920, 1080, 1280, 720, 60}, {1920, 1080, 1920, 1080, 30}};
  std::printf("\nsegment encoder on the fake world's GPU (selected encoder and its options, %d s per case)\n",
              seconds);
  OstrelSim_Reset();
  std::shared_ptr<platform::IGpuDevice> device;
  if (Failed(platform::GetPlatform().gpu.CreateDevice(nullptr, &device)) || !device) {
    std::printf("  no device in this build's platform\n");
    return;
  }
  for (const Case& c : cases) {
    std::wstring optsLine;
    GpuEncodeContext context(device, c.captureWidth, c.captureHeight, c.outputWidth, c.outputHeight,
                             [&](const std::wstring& line) {
                               if (line.rfind(L"[DIAG-ENCODER-OPTS]", 0) == 0) optsLine = line;
                             });
    platform::TextureDesc desc;
    desc.width = c.captureWidth;
    desc.height = c.captureHeight;
    std::shared_ptr<platform::ITexture> texture;
    device->CreateTexture(desc, &texture);
    // Capture-size BGRA pictures made from the synthetic content (grey).
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 8; ++i) {
      const Nv12 f = MakeFrame(c.captureWidth, c.captureHeight, i * 5);
      std::vector<uint8_t> bgra(static_cast<size_t>(c.captureWidth) * c.captureHeight * 4);
      for (size_t p = 0; p < f.y.size(); ++p) {
        bgra[4 * p] = bgra[4 * p + 1] = bgra[4 * p + 2] = f.y[p];
        bgra[4 * p + 3] = 255;
      }
      pictures.push_back(std::move(bgra));
    }

    // The conversion alone, as the fake world performs it.
    auto nv12 = std::shared_ptr<platform::ITexture>();
    platform::TextureDesc nd;
    nd.width = c.outputWidth;
    nd.height = c.outputHeight;
    nd.format = platform::PixelFormat::Nv12;
    nd.renderTarget = true;
    device->CreateTexture(nd, &nv12);
    const double convCpu0 = bench::CpuSeconds();
    for (int i = 0; i < c.fps; ++i) {
      context.ImmediateContext().ConvertAndScale(context.Converter(), *texture, *nv12);
    }
    const double convertCpuPerFrame = (bench::CpuSeconds() - convCpu0) / c.fps;

    const int frames = seconds * c.fps;
    const int64_t period = TickClock::kTicksPerSecond / c.fps;
    int64_t ticks = TickClock::Now();
    double fillCpu = 0.0;
    uint64_t bytes = 0;
    uint32_t encoded = 0;
    int dropped = 0;
    const double cpu0 = bench::CpuSeconds();
    const double wall0 = WallSeconds();
    std::unique_ptr<IVideoSegmentEncoder> encoder;
    for (int i = 0; i < frames; ++i) {
      if (i % (2 * c.fps) == 0) {
        if (encoder) {
          encoder->DrainPending();
          const EncodedSegment segment = encoder->Finalize();
          bytes += ByteCount(segment.bytes);
          encoded += segment.frameCount;
        }
        encoder = MakeFfmpegSegmentEncoder(context, c.outputWidth, c.outputHeight, c.fps, 6000000);
      }
      const double f0 = bench::CpuSeconds();
      FillTexture(*texture, pictures[static_cast<size_t>(i) % pictures.size()], c.captureWidth, c.captureHeight);
      fillCpu += bench::CpuSeconds() - f0;
      if (!encoder->WriteFrame(*texture, ticks)) ++dropped;
      ticks += period;
    }
    encoder->DrainPending();
    const EncodedSegment last = encoder->Finalize();
    bytes += ByteCount(last.bytes);
    encoded += last.frameCount;
    const double cpu = bench::CpuSeconds() - cpu0 - fillCpu;
    const double wall = WallSeconds() - wall0;
    std::printf("  %dx%d -> %dx%d @%d: %.3f cpu-s per video second (of which conversion ~%.3f), "
                "%.2f ms wall per frame, %u frames, %d dropped, %.0f kbit/s\n",
                c.captureWidth, c.captureHeight, c.outputWidth, c.outputHeight, c.fps,
                cpu / seconds, convertCpuPerFrame * c.fps, wall * 1000.0 / frames, encoded, dropped,
                static_cast<double>(bytes) * 8.0 / seconds / 1000.0);
    std::printf("    %ls\n", optsLine.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RouteFfmpegLogTo({});
  const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 6;
  PartOne(seconds);
  PartTwo(seconds);
  return 0;
}
