// Helpers shared by the encode tests: a collecting log sink and the fake
// world's GPU device with hand-filled textures.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"
#include "platform/sim/sim_gpu.h"

namespace ostrel::testing {

// A LogSink that keeps every line; safe for several threads.
class SinkLines {
 public:
  LogSink Sink() {
    return [this](const std::wstring& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::wstring> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::wstring> StartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const auto& line : Lines()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }
  // Index of the first line equal to `line`, or -1.
  long IndexOf(const std::wstring& line) const {
    const auto lines = Lines();
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> lines_;
};

inline std::shared_ptr<platform::IGpuDevice> CreateSimDevice() {
  std::shared_ptr<platform::IGpuDevice> device;
  const Hresult result = platform::GetPlatform().gpu.CreateDevice(nullptr, &device);
  EXPECT_EQ(result, hr::kOk);
  return device;
}

inline std::shared_ptr<platform::ITexture> CreateBgraTexture(platform::IGpuDevice& device, uint32_t width,
                                                             uint32_t height) {
  platform::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = platform::PixelFormat::Bgra8;
  std::shared_ptr<platform::ITexture> texture;
  EXPECT_EQ(device.CreateTexture(desc, &texture), hr::kOk);
  return texture;
}

// Fills a BGRA texture of the fake world pixel by pixel: fn(x, y) -> 0xAARRGGBB.
template <typename Fn>
void FillBgra(platform::ITexture& texture, Fn fn) {
  auto* sim = dynamic_cast<sim::SimTexture*>(&texture);
  ASSERT_NE(sim, nullptr);
  const auto desc = sim->Desc();
  for (uint32_t y = 0; y < desc.height; ++y) {
    uint8_t* row = sim->Data() + static_cast<size_t>(y) * sim->RowPitch();
    for (uint32_t x = 0; x < desc.width; ++x) {
      const uint32_t argb = fn(x, y);
      row[4 * x + 0] = static_cast<uint8_t>(argb);
      row[4 * x + 1] = static_cast<uint8_t>(argb >> 8);
      row[4 * x + 2] = static_cast<uint8_t>(argb >> 16);
      row[4 * x + 3] = static_cast<uint8_t>(argb >> 24);
    }
  }
}

inline void FillSolid(platform::ITexture& texture, uint8_t r, uint8_t g, uint8_t b) {
  const uint32_t argb = 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
  FillBgra(texture, [argb](uint32_t, uint32_t) { return argb; });
}

// Resets the fake world around each test.
class SimWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { OstrelSim_Reset(); }
  void TearDown() override { OstrelSim_Reset(); }
};

}  // namespace ostrel::testing
