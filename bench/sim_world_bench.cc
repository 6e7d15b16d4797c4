// Costs of the fake world's per-frame work: rendering the test scene (run
// 60 times a second per captured window) and the BGRA -> NV12 conversion
// the encoder asks for once per frame.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/platform.h"
#include "platform/sim/sim_scene.h"

namespace {

using namespace ostrel;

void BM_RenderTestScene(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const uint32_t pitch = static_cast<uint32_t>((width * 4 + 63) / 64 * 64);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(pitch) * height]);
  uint64_t frame = 0;
  for (auto _ : state) {
    sim::RenderTestScene(buffer.get(), pitch, width, height, frame, static_cast<int64_t>(frame) * 166666, false);
    benchmark::DoNotOptimize(buffer.get());
    ++frame;
  }
}
BENCHMARK(BM_RenderTestScene)->Args({1920, 1080})->Args({2560, 1440})->Unit(benchmark::kMillisecond);

void BM_ConvertAndScale(benchmark::State& state) {
  const auto inW = static_cast<uint32_t>(state.range(0)), inH = static_cast<uint32_t>(state.range(1));
  const auto outW = static_cast<uint32_t>(state.range(2)), outH = static_cast<uint32_t>(state.range(3));
  auto& gpu = platform::GetPlatform().gpu;
  std::shared_ptr<platform::IGpuDevice> device;
  if (Failed(gpu.CreateDevice(nullptr, &device))) {
    state.SkipWithError("no device");
    return;
  }
  std::shared_ptr<platform::ITexture> input, output;
  device->CreateTexture({inW, inH, platform::PixelFormat::Bgra8, platform::TextureUsage::Default, false, false},
                        &input);
  device->CreateTexture({outW, outH, platform::PixelFormat::Nv12, platform::TextureUsage::Default, true, false},
                        &output);
  std::shared_ptr<platform::IVideoConverter> converter;
  device->CreateVideoConverter(inW, inH, outW, outH, &converter);
  converter->CreateProcessor();
  for (auto _ : state) {
    if (Failed(device->ImmediateContext().ConvertAndScale(*converter, *input, *output))) {
      state.SkipWithError("conversion failed");
      return;
    }
  }
}
BENCHMARK(BM_ConvertAndScale)
    ->Args({1920, 1080, 1920, 1080})
    ->Args({1920, 1080, 1280, 720})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
