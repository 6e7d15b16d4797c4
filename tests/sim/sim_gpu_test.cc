// The fake world's GPU: adapters and outputs, device switches, staging
// delay and the BGRA -> NV12 conversion.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"

namespace ostrel {
namespace {

using platform::GetPlatform;
using platform::IGpuAdapter;
using platform::IGpuDevice;
using platform::IGpuFactory;
using platform::IGpuOutput;
using platform::ITexture;
using platform::IVideoConverter;
using platform::MappedTexture;
using platform::MonitorHandle;
using platform::PixelFormat;
using platform::TextureDesc;
using platform::TextureUsage;

class SimGpuTest : public ::testing::Test {
 protected:
  void SetUp() override { OstrelSim_Reset(); }
  void TearDown() override { OstrelSim_Reset(); }

  std::shared_ptr<IGpuDevice> MakeDevice() {
    std::shared_ptr<IGpuDevice> device;
    EXPECT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
    return device;
  }

  static std::shared_ptr<ITexture> MakeTexture(IGpuDevice& device, uint32_t w, uint32_t h, PixelFormat format,
                                               TextureUsage usage, bool renderTarget, bool cpuRead) {
    TextureDesc desc;
    desc.width = w;
    desc.height = h;
    desc.format = format;
    desc.usage = usage;
    desc.renderTarget = renderTarget;
    desc.cpuRead = cpuRead;
    std::shared_ptr<ITexture> texture;
    EXPECT_EQ(device.CreateTexture(desc, &texture), hr::kOk);
    return texture;
  }
};

// Every output monitor of every adapter, with the adapter's flags, walking
// the enumeration the way the capture start does (failures skipped).
struct SeenOutput {
  uint32_t adapter;
  uint32_t flags;
  MonitorHandle monitor;
};

std::vector<SeenOutput> WalkOutputs(std::vector<Hresult>* failures) {
  std::shared_ptr<IGpuFactory> factory;
  EXPECT_EQ(GetPlatform().gpu.CreateFactory(&factory), hr::kOk);
  std::vector<SeenOutput> seen;
  for (uint32_t a = 0;; ++a) {
    std::shared_ptr<IGpuAdapter> adapter;
    Hresult result = factory->EnumAdapters1(a, &adapter);
    if (result == hr::kDxgiNotFound) break;
    EXPECT_EQ(result, hr::kOk);
    platform::AdapterDesc desc;
    EXPECT_EQ(adapter->GetDesc1(&desc), hr::kOk);
    for (uint32_t o = 0; o < 32; ++o) {
      std::shared_ptr<IGpuOutput> output;
      Hresult outResult = adapter->EnumOutputs(o, &output);
      if (outResult == hr::kDxgiNotFound) break;
      if (Failed(outResult)) {
        if (failures != nullptr) failures->push_back(outResult);
        continue;
      }
      platform::OutputDesc outDesc;
      EXPECT_EQ(output->GetDesc(&outDesc), hr::kOk);
      seen.push_back({a, desc.flags, outDesc.monitor});
    }
  }
  return seen;
}

TEST_F(SimGpuTest, AdaptersOutputsAndMonitors) {
  // Default world: one hardware adapter driving the one primary monitor.
  auto seen = WalkOutputs(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].adapter, 0u);
  EXPECT_EQ(seen[0].flags, 0u);
  EXPECT_EQ(seen[0].monitor, OstrelSim_GetMonitorHandle(0));

  int software = OstrelSim_AddAdapter(L"Basic Render", true);
  int second = OstrelSim_AddAdapter(L"Second GPU", false);
  ASSERT_EQ(software, 1);
  ASSERT_EQ(second, 2);
  int m1 = OstrelSim_AddMonitor(2560, 1440, second);
  int m2 = OstrelSim_AddMonitor(1280, 1024, second);
  int remote = OstrelSim_AddMonitor(800, 600, -1);
  ASSERT_EQ(m1, 1);
  ASSERT_EQ(m2, 2);
  ASSERT_EQ(remote, 3);
  EXPECT_EQ(OstrelSim_AddMonitor(0, 600, 0), -1);
  EXPECT_EQ(OstrelSim_AddMonitor(800, 600, 7), -1);

  std::shared_ptr<IGpuFactory> factory;
  ASSERT_EQ(GetPlatform().gpu.CreateFactory(&factory), hr::kOk);
  std::shared_ptr<IGpuAdapter> adapter;
  ASSERT_EQ(factory->EnumAdapters1(1, &adapter), hr::kOk);
  platform::AdapterDesc desc;
  ASSERT_EQ(adapter->GetDesc1(&desc), hr::kOk);
  EXPECT_EQ(desc.description, L"Basic Render");
  EXPECT_EQ(desc.flags, platform::kAdapterFlagSoftware);
  std::shared_ptr<IGpuOutput> output;
  EXPECT_EQ(adapter->EnumOutputs(0, &output), hr::kDxgiNotFound);
  EXPECT_EQ(factory->EnumAdapters1(3, &adapter), hr::kDxgiNotFound);

  seen = WalkOutputs(nullptr);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].adapter, 2u);
  EXPECT_EQ(seen[1].monitor, OstrelSim_GetMonitorHandle(m1));
  EXPECT_EQ(seen[2].monitor, OstrelSim_GetMonitorHandle(m2));
  // The remote monitor is on no adapter.
  for (const auto& s : seen) EXPECT_NE(s.monitor, OstrelSim_GetMonitorHandle(remote));

  // Moving a monitor moves its output.
  OstrelSim_SetMonitorAdapter(m1, 0);
  seen = WalkOutputs(nullptr);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].adapter, 0u);
  EXPECT_EQ(seen[1].monitor, OstrelSim_GetMonitorHandle(m1));

  // A failing output index is skipped and the outputs after it still come.
  OstrelSim_SetAdapterOutputFailure(0, 1, 0x887A0001u);
  std::vector<Hresult> failures;
  seen = WalkOutputs(&failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], static_cast<Hresult>(0x887A0001u));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].monitor, OstrelSim_GetMonitorHandle(0));
  EXPECT_EQ(seen[1].monitor, OstrelSim_GetMonitorHandle(m1));
  OstrelSim_SetAdapterOutputFailure(0, 1, 0);
  failures.clear();
  WalkOutputs(&failures);
  EXPECT_TRUE(failures.empty());
}

TEST_F(SimGpuTest, DeviceCreationPicksAdapterAndHonoursFailure) {
  int software = OstrelSim_AddAdapter(L"Basic Render", true);
  int second = OstrelSim_AddAdapter(L"Second GPU", false);
  std::shared_ptr<IGpuFactory> factory;
  ASSERT_EQ(GetPlatform().gpu.CreateFactory(&factory), hr::kOk);
  std::shared_ptr<IGpuAdapter> adapter;
  ASSERT_EQ(factory->EnumAdapters1(static_cast<uint32_t>(second), &adapter), hr::kOk);

  std::shared_ptr<IGpuDevice> device;
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(adapter.get(), &device), hr::kOk);
  EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), second);
  EXPECT_EQ(OstrelSim_GetLiveDeviceCount(), 1);
  ASSERT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &device), hr::kOk);
  EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), 0);
  EXPECT_EQ(OstrelSim_GetLiveDeviceCount(), 1);  // the first one was released

  OstrelSim_SetDeviceCreationFailure(0x887A0004u);
  std::shared_ptr<IGpuDevice> failed;
  EXPECT_EQ(GetPlatform().gpu.CreateDevice(nullptr, &failed), static_cast<Hresult>(0x887A0004u));
  EXPECT_EQ(failed, nullptr);
  OstrelSim_SetDeviceCreationFailure(0);
  EXPECT_EQ(GetPlatform().gpu.CreateDevice(adapter.get(), &failed), hr::kOk);
  (void)software;

  // Wrapping for capture works for sim devices.
  std::shared_ptr<platform::ICaptureDevice> wrapped;
  EXPECT_EQ(GetPlatform().gpu.WrapForCapture(*device, &wrapped), hr::kOk);
  EXPECT_NE(wrapped, nullptr);
}

TEST_F(SimGpuTest, DefaultDeviceSkipsSoftwareAdapters) {
  // Adapter 0 turned into a software adapter: the default device goes to
  // the first hardware adapter after it.
  OstrelSim_SetAdapter(0, L"Basic Render", true);
  int hardware = OstrelSim_AddAdapter(L"Real GPU", false);
  auto device = MakeDevice();
  EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), hardware);
  auto seen = WalkOutputs(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].flags, platform::kAdapterFlagSoftware);

  // A machine with only a software adapter still gets a device there.
  OstrelSim_Reset();
  OstrelSim_SetAdapter(0, nullptr, true);
  device = MakeDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(OstrelSim_GetLastDeviceAdapter(), 0);
}

TEST_F(SimGpuTest, PriorityHonouredOrRefused) {
  auto device = MakeDevice();
  ASSERT_TRUE(device->HasDxgiDevice());
  int32_t priority = -1;
  ASSERT_EQ(device->SetGpuThreadPriority(7), hr::kOk);
  ASSERT_EQ(device->GetGpuThreadPriority(&priority), hr::kOk);
  EXPECT_EQ(priority, 7);
  EXPECT_EQ(device->SetGpuThreadPriority(8), hr::kInvalidArg);

  OstrelSim_SetGpuPriorityHonoured(false);
  auto refused = MakeDevice();
  EXPECT_EQ(refused->SetGpuThreadPriority(7), hr::kAccessDenied);
  priority = -1;
  refused->GetGpuThreadPriority(&priority);
  EXPECT_EQ(priority, 0);
}

TEST_F(SimGpuTest, DeviceLossReportsReasonAndHeals) {
  auto device = MakeDevice();
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kOk);
  OstrelSim_LoseDevice(0x887A0005u);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kDxgiDeviceRemoved);
  auto later = MakeDevice();  // created while lost: lost too
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->GetDeviceRemovedReason(), hr::kDxgiDeviceRemoved);
  TextureDesc desc;
  desc.width = 64;
  desc.height = 64;
  std::shared_ptr<ITexture> texture;
  EXPECT_EQ(device->CreateTexture(desc, &texture), hr::kDxgiDeviceRemoved);
  EXPECT_EQ(texture, nullptr);

  OstrelSim_LoseDevice(0x887A0007u);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kDxgiDeviceReset);
  OstrelSim_LoseDevice(0);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kOk);
  EXPECT_EQ(later->GetDeviceRemovedReason(), hr::kOk);
  EXPECT_EQ(device->CreateTexture(desc, &texture), hr::kOk);
}

TEST_F(SimGpuTest, TextureValidationAndLayout) {
  auto device = MakeDevice();
  TextureDesc desc;
  std::shared_ptr<ITexture> texture;
  desc.width = 0;
  desc.height = 10;
  EXPECT_EQ(device->CreateTexture(desc, &texture), hr::kInvalidArg);
  desc.width = 33;
  desc.height = 11;
  desc.format = PixelFormat::Nv12;
  EXPECT_EQ(device->CreateTexture(desc, &texture), hr::kInvalidArg);  // odd planar size
  desc.format = PixelFormat::Bgra8;
  desc.cpuRead = true;  // CPU access needs a staging texture
  EXPECT_EQ(device->CreateTexture(desc, &texture), hr::kInvalidArg);
  desc.usage = TextureUsage::Staging;
  ASSERT_EQ(device->CreateTexture(desc, &texture), hr::kOk);
  MappedTexture mapped;
  ASSERT_EQ(device->ImmediateContext().Map(*texture, true, &mapped), hr::kOk);
  EXPECT_EQ(mapped.rowPitch, 192u);  // 33 * 4 rounded up to 64
  device->ImmediateContext().Unmap(*texture);

  auto plain = MakeTexture(*device, 64, 64, PixelFormat::Bgra8, TextureUsage::Default, false, false);
  EXPECT_EQ(device->ImmediateContext().Map(*plain, true, &mapped), hr::kInvalidArg);
}

TEST_F(SimGpuTest, StagingDelayAnswersStillDrawingUntilDue) {
  auto device = MakeDevice();
  auto& context = device->ImmediateContext();
  auto source = MakeTexture(*device, 64, 32, PixelFormat::Nv12, TextureUsage::Default, true, false);
  auto staging = MakeTexture(*device, 64, 32, PixelFormat::Nv12, TextureUsage::Staging, false, true);

  OstrelSim_SetStagingDelayMs(150);
  context.CopyResource(*staging, *source);
  MappedTexture mapped;
  EXPECT_EQ(context.Map(*staging, true, &mapped), hr::kDxgiWasStillDrawing);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(context.Map(*staging, true, &mapped), hr::kOk);
  context.Unmap(*staging);

  // A blocking map waits for the copy instead.
  context.CopyResource(*staging, *source);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(context.Map(*staging, false, &mapped), hr::kOk);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  context.Unmap(*staging);

  // A huge delay keeps answering "still drawing"; clearing it frees the copy.
  OstrelSim_SetStagingDelayMs(1000000);
  context.CopyResource(*staging, *source);
  EXPECT_EQ(context.Map(*staging, true, &mapped), hr::kDxgiWasStillDrawing);
  OstrelSim_SetStagingDelayMs(0);
  EXPECT_EQ(context.Map(*staging, true, &mapped), hr::kOk);
}

TEST_F(SimGpuTest, CopyResourceCopiesSameSizeOnly) {
  auto device = MakeDevice();
  auto& context = device->ImmediateContext();
  auto a = MakeTexture(*device, 16, 8, PixelFormat::Bgra8, TextureUsage::Staging, false, true);
  auto b = MakeTexture(*device, 16, 8, PixelFormat::Bgra8, TextureUsage::Staging, false, true);
  auto small = MakeTexture(*device, 8, 8, PixelFormat::Bgra8, TextureUsage::Staging, false, true);
  MappedTexture mapped;
  ASSERT_EQ(context.Map(*a, true, &mapped), hr::kOk);
  std::memset(const_cast<uint8_t*>(mapped.data), 0x5A, mapped.rowPitch * 8);
  context.Unmap(*a);
  context.CopyResource(*b, *a);
  context.CopyResource(*small, *a);
  ASSERT_EQ(context.Map(*b, true, &mapped), hr::kOk);
  EXPECT_EQ(mapped.data[0], 0x5A);
  EXPECT_EQ(mapped.data[16 * 4 * 8 - 1 + 0], 0x5A);
  ASSERT_EQ(context.Map(*small, true, &mapped), hr::kOk);
  EXPECT_EQ(mapped.data[0], 0);
}

// ---- conversion ---------------------------------------------------------------

struct Nv12Image {
  std::vector<uint8_t> y, uv;
  uint32_t width = 0, height = 0;
  uint8_t Y(uint32_t x, uint32_t row) const { return y[row * width + x]; }
  uint8_t U(uint32_t x, uint32_t row) const { return uv[(row / 2) * width + (x / 2) * 2]; }
  uint8_t V(uint32_t x, uint32_t row) const { return uv[(row / 2) * width + (x / 2) * 2 + 1]; }
};

// Fills a BGRA frame with `pixel(x, y)` and converts it through the device.
template <typename Pixel>
Nv12Image Convert(IGpuDevice& device, uint32_t inW, uint32_t inH, uint32_t outW, uint32_t outH, Pixel pixel) {
  auto& context = device.ImmediateContext();
  TextureDesc stagingIn{inW, inH, PixelFormat::Bgra8, TextureUsage::Staging, false, true};
  TextureDesc frameDesc{inW, inH, PixelFormat::Bgra8, TextureUsage::Default, false, false};
  TextureDesc targetDesc{outW, outH, PixelFormat::Nv12, TextureUsage::Default, true, false};
  TextureDesc readDesc{outW, outH, PixelFormat::Nv12, TextureUsage::Staging, false, true};
  std::shared_ptr<ITexture> upload, frame, target, readback;
  EXPECT_EQ(device.CreateTexture(stagingIn, &upload), hr::kOk);
  EXPECT_EQ(device.CreateTexture(frameDesc, &frame), hr::kOk);
  EXPECT_EQ(device.CreateTexture(targetDesc, &target), hr::kOk);
  EXPECT_EQ(device.CreateTexture(readDesc, &readback), hr::kOk);
  MappedTexture mapped;
  EXPECT_EQ(context.Map(*upload, false, &mapped), hr::kOk);
  for (uint32_t y = 0; y < inH; ++y) {
    auto* row = const_cast<uint8_t*>(mapped.data) + static_cast<size_t>(y) * mapped.rowPitch;
    for (uint32_t x = 0; x < inW; ++x) {
      auto [r, g, b] = pixel(x, y);
      row[x * 4 + 0] = b;
      row[x * 4 + 1] = g;
      row[x * 4 + 2] = r;
      row[x * 4 + 3] = 255;
    }
  }
  context.Unmap(*upload);
  context.CopyResource(*frame, *upload);

  std::shared_ptr<IVideoConverter> converter;
  EXPECT_EQ(device.CreateVideoConverter(inW, inH, outW, outH, &converter), hr::kOk);
  bool nv12 = false;
  EXPECT_EQ(converter->CheckNv12Output(&nv12), hr::kOk);
  EXPECT_TRUE(nv12);
  EXPECT_EQ(converter->CreateProcessor(), hr::kOk);
  EXPECT_EQ(context.ConvertAndScale(*converter, *frame, *target), hr::kOk);
  context.CopyResource(*readback, *target);
  EXPECT_EQ(context.Map(*readback, false, &mapped), hr::kOk);
  Nv12Image image;
  image.width = outW;
  image.height = outH;
  for (uint32_t y = 0; y < outH; ++y) {
    const uint8_t* row = mapped.data + static_cast<size_t>(y) * mapped.rowPitch;
    image.y.insert(image.y.end(), row, row + outW);
  }
  const uint8_t* chroma = mapped.data + static_cast<size_t>(mapped.rowPitch) * outH;
  for (uint32_t y = 0; y < outH / 2; ++y) {
    const uint8_t* row = chroma + static_cast<size_t>(y) * mapped.rowPitch;
    image.uv.insert(image.uv.end(), row, row + outW);
  }
  context.Unmap(*readback);
  return image;
}

struct Rgb {
  uint8_t r, g, b;
};

TEST_F(SimGpuTest, ConvertsBgraToBt709LimitedNv12) {
  auto device = MakeDevice();
  auto solid = [&](Rgb c) {
    return Convert(*device, 64, 32, 64, 32, [c](uint32_t, uint32_t) { return std::tuple{c.r, c.g, c.b}; });
  };
  Nv12Image white = solid({255, 255, 255});
  Nv12Image black = solid({0, 0, 0});
  Nv12Image red = solid({255, 0, 0});
  for (uint32_t y : {0u, 15u, 31u}) {
    for (uint32_t x : {0u, 33u, 63u}) {
      EXPECT_NEAR(white.Y(x, y), 235, 1);
      EXPECT_NEAR(white.U(x, y), 128, 1);
      EXPECT_NEAR(white.V(x, y), 128, 1);
      EXPECT_NEAR(black.Y(x, y), 16, 1);
      EXPECT_NEAR(black.U(x, y), 128, 1);
      EXPECT_NEAR(black.V(x, y), 128, 1);
      // BT.709: Y = 16 + 219 * 0.2126, Cb = 128 - 112 * 0.2126 / 0.9278, Cr = 240.
      EXPECT_NEAR(red.Y(x, y), 63, 2);
      EXPECT_NEAR(red.U(x, y), 102, 2);
      EXPECT_NEAR(red.V(x, y), 240, 2);
    }
  }
}

TEST_F(SimGpuTest, ScalingKeepsTheSplitInPlace) {
  auto device = MakeDevice();
  Nv12Image image = Convert(*device, 1920, 1080, 1280, 720, [](uint32_t x, uint32_t) {
    return x < 960 ? std::tuple<uint8_t, uint8_t, uint8_t>{0, 0, 0} : std::tuple<uint8_t, uint8_t, uint8_t>{255, 255, 255};
  });
  for (uint32_t y : {0u, 360u, 719u}) {
    EXPECT_NEAR(image.Y(0, y), 16, 1);
    EXPECT_NEAR(image.Y(630, y), 16, 2);
    EXPECT_NEAR(image.Y(650, y), 235, 2);
    EXPECT_NEAR(image.Y(1279, y), 235, 1);
    // The edge sits between columns 639 and 640.
    EXPECT_LT(image.Y(637, y), 126);
    EXPECT_GT(image.Y(642, y), 126);
  }
}

TEST_F(SimGpuTest, ConversionRefusesWrongTexturesAndUncreatedProcessor) {
  auto device = MakeDevice();
  auto& context = device->ImmediateContext();
  auto bgra = MakeTexture(*device, 64, 64, PixelFormat::Bgra8, TextureUsage::Default, false, false);
  auto nv12 = MakeTexture(*device, 64, 64, PixelFormat::Nv12, TextureUsage::Default, true, false);
  auto nv12NoTarget = MakeTexture(*device, 64, 64, PixelFormat::Nv12, TextureUsage::Default, false, false);
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device->CreateVideoConverter(64, 64, 64, 64, &converter), hr::kOk);
  EXPECT_EQ(context.ConvertAndScale(*converter, *bgra, *nv12), hr::kFail);  // no processor yet
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  EXPECT_EQ(context.ConvertAndScale(*converter, *nv12, *nv12), hr::kInvalidArg);
  EXPECT_EQ(context.ConvertAndScale(*converter, *bgra, *bgra), hr::kInvalidArg);
  EXPECT_EQ(context.ConvertAndScale(*converter, *bgra, *nv12NoTarget), hr::kInvalidArg);
  EXPECT_EQ(context.ConvertAndScale(*converter, *bgra, *nv12), hr::kOk);
  EXPECT_EQ(device->CreateVideoConverter(0, 64, 64, 64, &converter), hr::kInvalidArg);

  OstrelSim_SetVideoProcessorNv12(false);
  ASSERT_EQ(device->CreateVideoConverter(64, 64, 32, 32, &converter), hr::kOk);
  bool nv12Supported = true;
  EXPECT_EQ(converter->CheckNv12Output(&nv12Supported), hr::kOk);
  EXPECT_FALSE(nv12Supported);
}

TEST_F(SimGpuTest, MediaPlatformFollowsTheWorld) {
  auto& media = GetPlatform().media;
  std::vector<platform::HardwareEncoderInfo> encoders;
  ASSERT_EQ(media.EnumHardwareH264Encoders(&encoders), hr::kOk);
  ASSERT_EQ(encoders.size(), 1u);
  EXPECT_EQ(encoders[0].d3d11Aware, 1u);
  OstrelSim_SetHardwareEncoderD3D11Aware(false);
  ASSERT_EQ(media.EnumHardwareH264Encoders(&encoders), hr::kOk);
  ASSERT_EQ(encoders.size(), 1u);
  EXPECT_EQ(encoders[0].d3d11Aware, 0u);
  OstrelSim_SetHardwareEncoderPresent(false);
  ASSERT_EQ(media.EnumHardwareH264Encoders(&encoders), hr::kOk);
  EXPECT_TRUE(encoders.empty());

  EXPECT_EQ(media.Startup(), hr::kOk);
  OstrelSim_SetMediaStartupFailure(0x80004005u);
  EXPECT_EQ(media.Startup(), hr::kFail);

  std::thread([&] {
    EXPECT_EQ(media.JoinMultithreadedApartment(), hr::kOk);
    EXPECT_EQ(media.JoinMultithreadedApartment(), hr::kFalse);
  }).join();
}

TEST_F(SimGpuTest, ResetRestoresDefaults) {
  OstrelSim_AddAdapter(L"extra", false);
  OstrelSim_AddMonitor(640, 480, 1);
  OstrelSim_SetGpuPriorityHonoured(false);
  OstrelSim_LoseDevice(0x887A0005u);
  OstrelSim_SetStagingDelayMs(1000);
  OstrelSim_SetHardwareEncoderPresent(false);
  OstrelSim_SetDeviceCreationFailure(0x80004005u);
  OstrelSim_SetMediaStartupFailure(0x80004005u);
  OstrelSim_Reset();

  EXPECT_EQ(WalkOutputs(nullptr).size(), 1u);
  EXPECT_EQ(OstrelSim_GetMonitorHandle(1), nullptr);
  auto device = MakeDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->GetDeviceRemovedReason(), hr::kOk);
  EXPECT_EQ(device->SetGpuThreadPriority(7), hr::kOk);
  std::vector<platform::HardwareEncoderInfo> encoders;
  GetPlatform().media.EnumHardwareH264Encoders(&encoders);
  EXPECT_EQ(encoders.size(), 1u);
  EXPECT_EQ(GetPlatform().media.Startup(), hr::kOk);
  auto source = MakeTexture(*device, 64, 32, PixelFormat::Nv12, TextureUsage::Default, true, false);
  auto staging = MakeTexture(*device, 64, 32, PixelFormat::Nv12, TextureUsage::Staging, false, true);
  device->ImmediateContext().CopyResource(*staging, *source);
  MappedTexture mapped;
  EXPECT_EQ(device->ImmediateContext().Map(*staging, true, &mapped), hr::kOk);
}

}  // namespace
}  // namespace ostrel
