// The parts of the fake world the library's own tests cannot check for
// themselves: the BGRA -> NV12 conversion, white sync flashes and Reset.
// Adapters, device loss, staging delays and window events are exercised
// through the library (exports, pipeline and encoder tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using namespace platform;

class SimWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { OstrelSim_Reset(); }
  void TearDown() override { OstrelSim_Reset(); }
};

std::shared_ptr<IGpuDevice> MakeDevice() {
  std::shared_ptr<IGpuDevice> device;
  EXPECT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  return device;
}

std::shared_ptr<ITexture> MakeTexture(IGpuDevice& device, TextureDesc desc) {
  std::shared_ptr<ITexture> texture;
  EXPECT_EQ(device.CreateTexture(desc, &texture), hr::kOk);
  return texture;
}

// ---- adapters, devices, staging ------------------------------------------------

struct SeenOutput { uint32_t adapter, flags; MonitorHandle monitor; };

// Every output of every adapter, walked as the capture start walks them:
// a failing output is recorded and skipped.
std::vector<SeenOutput> WalkOutputs(std::vector<Hresult>* failures = nullptr) {
  std::shared_ptr<IGpuFactory> factory;
  EXPECT_EQ(GetPlatform().gpu.CreateFactory(&factory), hr::kOk);
  std::vector<SeenOutput> seen;
  std::shared_ptr<IGpuAdapter> adapter;
  std::shared_ptr<IGpuOutput> output;
  for (uint32_t a = 0; factory->EnumAdapters1(a, &adapter) != hr::kDxgiNotFound; ++a) {
    AdapterDesc desc;
    OutputDesc out;
    EXPECT_EQ(adapter->GetDesc1(&desc), hr::kOk);
    for (uint32_t o = 0; o < 32; ++o) {
      Hresult result = adapter->EnumOutputs(o, &output);
      if (result == hr::kDxgiNotFound) break;
      if (Failed(result) && failures != nullptr) failures->push_back(result);
      if (Succeeded(result) && Succeeded(output->GetDesc(&out))) seen.push_back({a, desc.flags, out.monitor});
    }
  }
  return seen;
}

// ---- conversion ----------------------------------------------------------------

constexpr uint32_t kBlack = 0xFF000000u, kWhite = 0xFFFFFFFFu, kRed = 0xFFFF0000u;  // BGRA in memory

// A copy of a mapped NV12 texture: `height` luma rows, then the interleaved chroma rows.
struct Nv12Image {
  std::vector<uint8_t> data;
  uint32_t pitch, height;
  int Y(uint32_t x, uint32_t row) const { return data[size_t{row} * pitch + x]; }
  int U(uint32_t x, uint32_t row) const { return data[size_t{height + row / 2} * pitch + x / 2 * 2]; }
  int V(uint32_t x, uint32_t row) const { return data[size_t{height + row / 2} * pitch + x / 2 * 2 + 1]; }
};

// Fills a BGRA frame column by column (`column(x)` gives the pixel) and
// converts it through the device.
template <typename Column>
Nv12Image Convert(IGpuDevice& device, uint32_t inW, uint32_t inH, uint32_t outW, uint32_t outH, Column column) {
  auto& context = device.ImmediateContext();
  auto upload = MakeTexture(device, {inW, inH, PixelFormat::Bgra8, TextureUsage::Staging, false, true});
  auto frame = MakeTexture(device, {inW, inH, PixelFormat::Bgra8, TextureUsage::Default, false, false});
  auto target = MakeTexture(device, {outW, outH, PixelFormat::Nv12, TextureUsage::Default, true, false});
  auto readback = MakeTexture(device, {outW, outH, PixelFormat::Nv12, TextureUsage::Staging, false, true});
  MappedTexture mapped;
  EXPECT_EQ(context.Map(*upload, false, &mapped), hr::kOk);
  for (uint32_t y = 0; y < inH; ++y) {
    auto* row = const_cast<uint8_t*>(mapped.data) + size_t{y} * mapped.rowPitch;
    for (uint32_t x = 0; x < inW; ++x) {
      uint32_t pixel = column(x);
      std::memcpy(row + x * 4, &pixel, 4);
    }
  }
  context.Unmap(*upload);
  context.CopyResource(*frame, *upload);
  std::shared_ptr<IVideoConverter> converter;
  EXPECT_EQ(device.CreateVideoConverter(inW, inH, outW, outH, &converter), hr::kOk);
  EXPECT_EQ(converter->CreateProcessor(), hr::kOk);
  EXPECT_EQ(context.ConvertAndScale(*converter, *frame, *target), hr::kOk);
  context.CopyResource(*readback, *target);
  EXPECT_EQ(context.Map(*readback, false, &mapped), hr::kOk);
  Nv12Image image{{mapped.data, mapped.data + size_t{mapped.rowPitch} * outH * 3 / 2}, mapped.rowPitch, outH};
  context.Unmap(*readback);
  return image;
}

TEST_F(SimWorldTest, ConvertsToBt709LimitedRangeNv12AtSizeAndScaled) {
  auto device = MakeDevice();
  auto thirds = [](uint32_t x) { return x < 640 ? kBlack : x < 1280 ? kWhite : kRed; };
  for (uint32_t outW : {1920u, 1280u}) {
    uint32_t outH = outW * 9 / 16, edge = outW / 3;  // black | white edge at 640, or at 426.7 once scaled
    Nv12Image image = Convert(*device, 1920, 1080, outW, outH, thirds);
    // Red: Y = 16 + 219 * 0.2126, Cb = 128 - 112 * 0.2126 / 0.9278, Cr = 240.
    struct Probe { uint32_t x; int y, u, v, tolerance; } probes[] = {
        {0, 16, 128, 128, 1},         {edge - 10, 16, 128, 128, 2},    {edge + 10, 235, 128, 128, 2},
        {outW / 2, 235, 128, 128, 1}, {outW * 5 / 6, 63, 102, 240, 2}, {outW - 1, 63, 102, 240, 2}};
    for (uint32_t row : {0u, outH / 2, outH - 1}) {
      for (const Probe& p : probes) {
        EXPECT_NEAR(image.Y(p.x, row), p.y, p.tolerance) << outW << " x " << p.x;
        EXPECT_NEAR(image.U(p.x, row), p.u, p.tolerance) << outW << " x " << p.x;
        EXPECT_NEAR(image.V(p.x, row), p.v, p.tolerance) << outW << " x " << p.x;
      }
      EXPECT_LT(image.Y(edge - 2, row), 126) << outW;
      EXPECT_GT(image.Y(edge + 3, row), 126) << outW;
    }
  }
}

// ---- window capture ------------------------------------------------------------

// Whether a BGRA frame is pure white, read back through a staging copy.
bool AllWhite(IGpuDevice& device, ITexture& texture) {
  TextureDesc desc = texture.Desc();
  desc.usage = TextureUsage::Staging, desc.cpuRead = true, desc.renderTarget = false;
  auto staging = MakeTexture(device, desc);
  MappedTexture mapped;
  device.ImmediateContext().CopyResource(*staging, texture);
  if (Failed(device.ImmediateContext().Map(*staging, false, &mapped))) return false;
  bool white = true;
  for (uint32_t y = 0; y < desc.height && white; ++y) {
    const uint8_t* row = mapped.data + size_t{y} * mapped.rowPitch;
    white = std::all_of(row, row + desc.width * 4, [](uint8_t b) { return b == 255; });
  }
  device.ImmediateContext().Unmap(*staging);
  return white;
}

struct Seen { int64_t ticks; uint32_t width, height; bool allWhite; };

// A running capture of an item, set up as the capture session does it
// (device, pool of 4 buffers, session); the handler records each frame and
// closes it.
struct Capture {
  explicit Capture(std::shared_ptr<ICaptureItem> captured, IWindowCapture& service = GetPlatform().capture,
                   int64_t interval = TickClock::kTicksPerSecond / 60)
      : item(std::move(captured)) {
    EXPECT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
    EXPECT_EQ(service.CreateFramePool(*wrapped, 4, item->Size(), &pool), hr::kOk);
    EXPECT_EQ(service.CreateCaptureSession(*pool, *item, &session), hr::kOk);
    EXPECT_EQ(session->SetMinUpdateInterval(interval), hr::kOk);
    pool->AddFrameArrived([this] { OnFrame(); });
    EXPECT_EQ(session->StartCapture(), hr::kOk);
  }
  ~Capture() { Stop(); }
  void Stop() {  // closing twice is harmless; no handler runs once the pool's Close returns
    session->Close();
    pool->Close();
  }
  size_t Count() { std::lock_guard lock(mutex); return frames.size(); }
  // Waits until `count` frames arrived or `limit` passed.
  bool WaitFor(size_t count, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (Count() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return Count() >= count;
  }
  void OnFrame() {
    int64_t ticks = TickClock::Now();
    std::unique_ptr<ICaptureFrame> frame = pool->TryGetNextFrame();
    std::shared_ptr<ITexture> texture;
    if (!frame || Failed(frame->GetSurfaceTexture(&texture))) return;
    Seen seen{ticks, texture->Desc().width, texture->Desc().height, AllWhite(*device, *texture)};
    frame->Close();
    std::lock_guard lock(mutex);
    frames.push_back(seen);
  }

  std::shared_ptr<ICaptureItem> item;
  std::shared_ptr<IGpuDevice> device = MakeDevice();
  std::shared_ptr<ICaptureDevice> wrapped;
  std::shared_ptr<IFramePool> pool;
  std::shared_ptr<ICaptureSession> session;
  std::mutex mutex;
  std::vector<Seen> frames;  // under mutex while capturing
};

std::shared_ptr<ICaptureItem> ItemFor(void* window) {
  std::shared_ptr<ICaptureItem> item;
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(window, &item), hr::kOk);
  return item;
}

TEST_F(SimWorldTest, UnavailableCaptureServiceAndTheFallbackSource) {
  void* window = OstrelSim_CreateWindow(160, 90);
  OstrelSim_SetWindowContentRate(window, 0);  // still: the service would deliver one frame
  OstrelSim_SetWindowCaptureAvailable(false);
  std::shared_ptr<ICaptureItem> item;
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(window, &item), hr::kClassNotRegistered);
  EXPECT_EQ(GetPlatform().capture.CreateItemForMonitor(OstrelSim_GetMonitorHandle(0), &item),
            hr::kClassNotRegistered);
  EXPECT_EQ(item, nullptr);
  // Windows themselves are still there.
  EXPECT_TRUE(GetPlatform().capture.IsWindow(window));
  EXPECT_NE(GetPlatform().capture.MonitorFromWindow(window), nullptr);

  ASSERT_NE(GetPlatform().fallbackCapture, nullptr);
  IWindowCapture& fallback = *GetPlatform().fallbackCapture;
  ASSERT_EQ(fallback.CreateItemForWindow(window, &item), hr::kOk);
  EXPECT_EQ(item->Size().width, 160);
  Capture capture(item, fallback, TickClock::kTicksPerSecond / 20);
  bool present = true;
  EXPECT_EQ(capture.session->IsBorderPropertyPresent(&present), hr::kOk);
  EXPECT_FALSE(present);
  std::this_thread::sleep_for(1000ms);
  capture.Stop();
  // Polled 20 times a second whatever the content does.
  EXPECT_GE(capture.frames.size(), 12u);
  EXPECT_LE(capture.frames.size(), 22u);
  EXPECT_EQ(OstrelSim_GetFallbackFrameCount(), capture.frames.size());
  for (const auto& f : capture.frames) EXPECT_TRUE(f.width == 160 && f.height == 90) << f.width << "x" << f.height;

  // The switch only affects the service, and a reset makes it available.
  OstrelSim_Reset();
  void* other = OstrelSim_CreateWindow(160, 90);
  EXPECT_EQ(GetPlatform().capture.CreateItemForWindow(other, &item), hr::kOk);
  EXPECT_EQ(OstrelSim_GetFallbackFrameCount(), 0u);
}

TEST_F(SimWorldTest, SyncFlashFramesArePureWhite) {
  OstrelSim_SetSyncMarks(200);
  Capture capture(ItemFor(OstrelSim_CreateWindow(64, 36)));
  std::this_thread::sleep_for(900ms);
  capture.Stop();
  int white = 0;
  for (const auto& f : capture.frames) {
    // A white frame was rendered inside a flash: its handler ran soon after the flash start.
    EXPECT_TRUE(!f.allWhite || f.ticks % (200 * 10000) < 90 * 10000) << "white frame outside a flash";
    white += f.allWhite ? 1 : 0;
  }
  EXPECT_GE(white, 2);
  EXPECT_GT(capture.frames.size(), 2u * white);
}

TEST_F(SimWorldTest, ResetRestoresTheDefaultWorld) {
  void* window = OstrelSim_CreateWindow(64, 64);
  auto item = ItemFor(window);
  std::atomic<int> closed{0};
  item->AddClosed([&] { ++closed; });
  OstrelSim_SetSyncMarks(100);
  OstrelSim_AddAdapter(L"extra", false);
  OstrelSim_AddMonitor(640, 480, 1);
  OstrelSim_SetGpuPriorityHonoured(false);
  OstrelSim_LoseDevice(0x887A0005u);
  OstrelSim_SetStagingDelayMs(1000);
  OstrelSim_SetDeviceCreationFailure(0x80004005u);
  OstrelSim_Reset();

  // Windows are gone and their Closed events delivered before Reset returns.
  EXPECT_EQ(closed.load(), 1);
  EXPECT_FALSE(GetPlatform().capture.IsWindow(window));
  EXPECT_EQ(sim::WorldSyncMarks().PeriodTicks(), 0);
  EXPECT_EQ(WalkOutputs().size(), 1u);
  EXPECT_EQ(OstrelSim_GetMonitorHandle(1), nullptr);
  auto device = MakeDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kOk);
  EXPECT_EQ(device->SetGpuThreadPriority(7), hr::kOk);
  auto source = MakeTexture(*device, {64, 32, PixelFormat::Nv12, TextureUsage::Default, true, false});
  auto staging = MakeTexture(*device, {64, 32, PixelFormat::Nv12, TextureUsage::Staging, false, true});
  device->ImmediateContext().CopyResource(*staging, *source);
  MappedTexture mapped;
  EXPECT_EQ(device->ImmediateContext().Map(*staging, true, &mapped), hr::kOk);
}

}  // namespace
}  // namespace ostrel
