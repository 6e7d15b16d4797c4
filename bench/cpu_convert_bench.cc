// What the CPU conversion of a captured frame costs: BGRA 1920x1080 to NV12
// at 1280x720 and at 1920x1080, in CPU milliseconds per frame (the thread's
// own CPU time, so a loaded machine inflates the figures less than wall
// time would), for
//   converter   - the library's CpuBgraToNv12 (libswscale to planar chroma,
//                 interleaved by the converter),
//   nv12 direct - libswscale writing NV12 itself, same filter and matrix,
//   tool        - what `ffmpeg -vf scale=...:flags=bicubic,format=nv12`
//                 does (no full-width chroma input).
// Each case runs its rounds interleaved with the others, so load changes
// during the run hit all of them alike.
//
// Usage: cpu_convert_bench [frames per round=60] [rounds=5]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/cpu/bgra_to_nv12.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

using ostrel::platform::BgraImage;
using ostrel::platform::CpuBgraToNv12;
using ostrel::platform::Nv12Image;

constexpr uint32_t kInWidth = 1920, kInHeight = 1080;

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

uint32_t Aligned(uint32_t bytes) { return (bytes + 63) / 64 * 64; }

// A game-like picture: gradients, edges and noise in every channel.
std::vector<uint8_t> Picture(uint32_t pitch) {
  std::vector<uint8_t> bgra(static_cast<size_t>(pitch) * kInHeight);
  uint32_t noise = 12345;
  for (uint32_t y = 0; y < kInHeight; ++y) {
    for (uint32_t x = 0; x < kInWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      uint8_t* p = bgra.data() + static_cast<size_t>(y) * pitch + x * 4;
      p[0] = static_cast<uint8_t>(x / 8 + ((noise >> 16) & 15));
      p[1] = static_cast<uint8_t>(((x / 64 + y / 64) % 2) ? 200 : 40);
      p[2] = static_cast<uint8_t>(y / 5 + ((noise >> 24) & 7));
      p[3] = 255;
    }
  }
  return bgra;
}

struct Case {
  std::string name;
  uint32_t outWidth, outHeight;
  int kind;  // 0 converter, 1 nv12 direct, 2 tool
  CpuBgraToNv12 converter;
  ostrel::ffmpeg::SwsContextPtr scaler;
  double totalMs = 0;
  int frames = 0;
};

ostrel::ffmpeg::SwsContextPtr Scaler(uint32_t width, uint32_t height, int flags) {
  ostrel::ffmpeg::SwsContextPtr scaler(sws_getContext(kInWidth, kInHeight, AV_PIX_FMT_BGRA, static_cast<int>(width),
                                                      static_cast<int>(height), AV_PIX_FMT_NV12, flags, nullptr,
                                                      nullptr, nullptr));
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (scaler) sws_setColorspaceDetails(scaler.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  return scaler;
}

void Convert(Case& c, const std::vector<uint8_t>& bgra, uint32_t inPitch, std::vector<uint8_t>& nv12) {
  const uint32_t pitch = Aligned(c.outWidth);
  if (c.kind == 0) {
    c.converter.Convert(BgraImage{bgra.data(), inPitch, kInWidth, kInHeight},
                        Nv12Image{nv12.data(), pitch, c.outWidth, c.outHeight});
    return;
  }
  const uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {static_cast<int>(inPitch), 0, 0, 0};
  uint8_t* dst[4] = {nv12.data(), nv12.data() + static_cast<size_t>(pitch) * c.outHeight, nullptr, nullptr};
  const int dstStride[4] = {static_cast<int>(pitch), static_cast<int>(pitch), 0, 0};
  sws_scale(c.scaler.get(), src, srcStride, 0, kInHeight, dst, dstStride);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 60;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (frames <= 0 || rounds <= 0) {
    std::printf("usage: cpu_convert_bench [frames per round=60] [rounds=5]\n");
    return 2;
  }
  const uint32_t inPitch = Aligned(kInWidth * 4);
  const std::vector<uint8_t> bgra = Picture(inPitch);
  std::vector<Case> cases;
  for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{1280, 720}, {1920, 1080}}) {
    const std::string size = std::to_string(height) + "p";
    for (int kind = 0; kind < 3; ++kind) {
      Case& c = cases.emplace_back();
      c.name = size + (kind == 0 ? " converter" : kind == 1 ? " nv12 direct" : " tool");
      c.outWidth = width;
      c.outHeight = height;
      c.kind = kind;
      if (kind == 1) c.scaler = Scaler(width, height, SWS_BICUBIC | SWS_FULL_CHR_H_INP);
      if (kind == 2) c.scaler = Scaler(width, height, SWS_BICUBIC);
      if (kind != 0 && !c.scaler) {
        std::printf("libswscale refused %s\n", c.name.c_str());
        return 1;
      }
    }
  }
  std::vector<uint8_t> nv12(static_cast<size_t>(Aligned(1920)) * 1620);
  for (Case& c : cases) Convert(c, bgra, inPitch, nv12);  // scalers and scratch built, caches warm
  for (int round = 0; round < rounds; ++round) {
    for (Case& c : cases) {
      const double start = ThreadCpuMs();
      for (int i = 0; i < frames; ++i) Convert(c, bgra, inPitch, nv12);
      c.totalMs += ThreadCpuMs() - start;
      c.frames += frames;
    }
  }
  std::printf("BGRA %ux%u -> NV12, bicubic, BT.709 limited range: CPU ms per frame (%d frames x %d rounds)\n",
              kInWidth, kInHeight, frames, rounds);
  for (const Case& c : cases) {
    std::printf("  %-18s %6.2f ms  (%.3f CPU s per second at 60 fps)\n", c.name.c_str(), c.totalMs / c.frames,
                c.totalMs / c.frames * 60 / 1000);
  }
  return 0;
}
