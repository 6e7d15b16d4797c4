// What a frame costs on the CPU device's encode path, from the BGRA frame
// texture to the packet in the segment (conversion, any copies, libx264),
// in process CPU milliseconds per frame, for
//   into picture - each frame converted straight into the encoder's picture
//                  (the CPU device as the Linux backend uses it),
//   staging      - the same device taking the GPU-shaped way: conversion
//                  target, staging copy, map, copy into the picture.
// 1920x1080 frames of moving content to 720p and 1080p, libx264 with the
// segment encoders' options; the paths alternate segment by segment, so load
// changes hit both alike.
//
// Usage: cpu_encode_path_bench [frames per segment=120] [segments per path=4]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "encode/ffmpeg_segment_encoder.h"
#include "encode/gpu_encode_context.h"
#include "platform/cpu/cpu_gpu.h"
#include "replay/tick_clock.h"

namespace {

using namespace ostrel;
using platform::cpu::CpuContext;
using platform::cpu::CpuDevice;
using platform::cpu::CpuTexture;

constexpr uint32_t kWidth = 1920, kHeight = 1080, kFps = 60, kBitrate = 6000000;

// The CPU context without the read straight into memory.
class StagingContext final : public CpuContext {
 public:
  bool ReadsIntoMemory() const override { return false; }
};

// The CPU device with that context.
class StagingDevice final : public CpuDevice {
 public:
  StagingDevice() : CpuDevice(4096) {}
  platform::IGpuContext& ImmediateContext() override { return context_; }

 private:
  StagingContext context_;
};

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Frame `index` of a moving picture: gradients and bands that scroll.
void Paint(CpuTexture& frame, int index) {
  for (uint32_t y = 0; y < kHeight; ++y) {
    uint8_t* row = frame.Data() + static_cast<size_t>(y) * frame.RowPitch();
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint32_t u = x + 4 * static_cast<uint32_t>(index);
      row[x * 4] = static_cast<uint8_t>(u / 4 + y / 8);
      row[x * 4 + 1] = static_cast<uint8_t>(((u / 48 + y / 48) % 2) ? 200 : 40);
      row[x * 4 + 2] = static_cast<uint8_t>((x ^ y) + index);
      row[x * 4 + 3] = 255;
    }
  }
}

struct Path {
  std::string name;
  std::shared_ptr<platform::IGpuDevice> device;
  std::unique_ptr<GpuEncodeContext> context;
  double cpuMs = 0;
  int frames = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 120;
  const int segments = argc > 2 ? std::atoi(argv[2]) : 4;
  if (frames <= 0 || segments <= 0) {
    std::printf("usage: cpu_encode_path_bench [frames per segment=120] [segments per path=4]\n");
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);  // x264's per-encoder statistics
  std::shared_ptr<CpuTexture> frame = std::make_shared<CpuTexture>(platform::TextureDesc{kWidth, kHeight});
  std::printf("BGRA %ux%u frames -> libx264 segments on the CPU device: process CPU ms per frame (%d frames x %d "
              "segments per path)\n",
              kWidth, kHeight, frames, segments);
  for (const uint32_t height : {720u, 1080u}) {
    const uint32_t width = height * 16 / 9;
    Path paths[2];
    paths[0].name = "into picture";
    paths[0].device = std::make_shared<CpuDevice>(4096);
    paths[1].name = "staging";
    paths[1].device = std::make_shared<StagingDevice>();
    for (Path& path : paths) {
      path.context = std::make_unique<GpuEncodeContext>(
          path.device, kWidth, kHeight, width, height, [](const std::wstring&) {},
          [](uint32_t, uint32_t, const LogSink&) { return std::string("libx264"); });
    }
    for (int segment = 0; segment < segments; ++segment) {
      for (Path& path : paths) {
        auto encoder = MakeFfmpegSegmentEncoder(*path.context, width, height, kFps, kBitrate);
        const double start = ProcessCpuMs();
        for (int i = 0; i < frames; ++i) {
          Paint(*frame, i);  // the same pictures for both paths; its cost is taken out below
          encoder->WriteFrame(*frame, TickClock::kTicksPerSecond * 100 + i * TickClock::kTicksPerSecond / kFps);
        }
        encoder->DrainPending();
        encoder->Finalize();
        path.cpuMs += ProcessCpuMs() - start;
        path.frames += frames;
      }
    }
    const double paintStart = ProcessCpuMs();
    for (int i = 0; i < frames; ++i) Paint(*frame, i);
    const double paintMs = (ProcessCpuMs() - paintStart) / frames;
    for (const Path& path : paths) {
      std::printf("  %up %-13s %6.2f ms\n", height, path.name.c_str(), path.cpuMs / path.frames - paintMs);
    }
  }
  return 0;
}
