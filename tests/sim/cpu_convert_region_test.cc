// The capture copy's conversion on the CPU device: a region of a BGRA
// surface converted to NV12 and scaled onto the top-left part of the frame
// texture, the rest black, without touching the surface's storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/cpu/cpu_gpu.h"

namespace ostrel::platform::cpu {
namespace {

TextureDesc Desc(uint32_t width, uint32_t height, PixelFormat format, bool renderTarget = false) {
  TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  desc.renderTarget = renderTarget;
  return desc;
}

// A 40x20 surface: white in columns 10 to 19, black elsewhere.
std::shared_ptr<CpuTexture> Surface() {
  std::shared_ptr<CpuTexture> surface = CreateSurfaceTexture(40, 20, 4096);
  for (uint32_t row = 0; row < 20; ++row) {
    uint8_t* line = surface->Data() + static_cast<size_t>(row) * surface->RowPitch();
    for (uint32_t x = 0; x < 40; ++x) {
      const uint8_t value = x >= 10 && x < 20 ? 255 : 0;
      line[x * 4] = line[x * 4 + 1] = line[x * 4 + 2] = value;
      line[x * 4 + 3] = 255;
    }
  }
  return surface;
}

uint8_t Luma(const CpuTexture& texture, uint32_t x, uint32_t y) {
  return texture.Data()[static_cast<size_t>(y) * texture.RowPitch() + x];
}
uint8_t Chroma(const CpuTexture& texture, uint32_t x, uint32_t y) {
  return texture.Data()[static_cast<size_t>(texture.Desc().height + y) * texture.RowPitch() + x];
}

TEST(CpuConvertRegionTest, ARegionLandsScaledInTheTopLeftCornerWithBlackAroundIt) {
  CpuDevice device(4096);
  auto& context = static_cast<CpuContext&>(device.ImmediateContext());
  ASSERT_TRUE(context.ConvertsRegions());
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device.CreateVideoConverter(40, 20, 20, 10, &converter), hr::kOk);
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  std::shared_ptr<CpuTexture> surface = Surface();
  TextureStorage* surfaceStorage = &surface->Storage();
  std::shared_ptr<ITexture> created;
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Nv12), &created), hr::kOk);
  auto& frame = static_cast<CpuTexture&>(*created);

  // The whole surface at half its size: the white band is columns 5 to 9.
  ASSERT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, frame, 20, 10), hr::kOk);
  EXPECT_NEAR(Luma(frame, 7, 5), 235, 3);
  EXPECT_NEAR(Luma(frame, 2, 5), 16, 3);
  EXPECT_NEAR(Luma(frame, 15, 5), 16, 3);
  EXPECT_EQ(&surface->Storage(), surfaceStorage) << "the surface keeps its storage";

  // Columns 10 to 29 (white, then black) onto the top-left 10x10 at the same
  // scale: white in columns 0 to 4, then the picture's black, then padding.
  std::memset(frame.Data(), 0x55, frame.ByteSize());
  ASSERT_EQ(context.ConvertRegion(*converter, *surface, {10, 0, 20, 20}, frame, 10, 10), hr::kOk);
  EXPECT_NEAR(Luma(frame, 2, 3), 235, 3);
  EXPECT_NEAR(Luma(frame, 7, 3), 16, 3);
  for (uint32_t x = 10; x < 20; ++x) {
    EXPECT_EQ(Luma(frame, x, 9), 16) << x;
    EXPECT_EQ(Chroma(frame, x, 4), 128) << x;
  }

  // A region outside the surface leaves all of it black; odd sizes are
  // rounded down to even ones.
  ASSERT_EQ(context.ConvertRegion(*converter, *surface, {50, 0, 10, 10}, frame, 20, 10), hr::kOk);
  EXPECT_EQ(Luma(frame, 3, 3), 16);
  EXPECT_EQ(Chroma(frame, 3, 3), 128);
  ASSERT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, frame, 9, 9), hr::kOk);
  EXPECT_EQ(Luma(frame, 8, 2), 16) << "the ninth column is padding";
  EXPECT_EQ(Luma(frame, 2, 8), 16) << "the ninth row is padding";
}

TEST(CpuConvertRegionTest, RefusesWhatTheCopyCannotWrite) {
  CpuDevice device(4096);
  auto& context = static_cast<CpuContext&>(device.ImmediateContext());
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device.CreateVideoConverter(40, 20, 20, 10, &converter), hr::kOk);
  std::shared_ptr<CpuTexture> surface = Surface();
  std::shared_ptr<ITexture> frame, target, bgra;
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Nv12), &frame), hr::kOk);
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Nv12, true), &target), hr::kOk);
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Bgra8), &bgra), hr::kOk);
  // Before the processor exists, into a render target (the encoder's own
  // conversion target, whose storage a copy may take), into BGRA.
  EXPECT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, *frame, 20, 10), hr::kFail);
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  EXPECT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, *target, 20, 10), hr::kInvalidArg);
  EXPECT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, *bgra, 20, 10), hr::kInvalidArg);
  EXPECT_EQ(context.ConvertRegion(*converter, *surface, {0, 0, 40, 20}, *frame, 20, 10), hr::kOk);
}

// An encoder's picture is memory outside any texture, with its own pitches:
// a BGRA frame lands there converted and scaled, an NV12 frame copied, each
// row at its pitch (libswscale may fill a luma row up to its pitch; the
// chroma pairs and a copy stop at the picture); what cannot be written is
// refused.
TEST(CpuReadIntoTest, FramesLandInMemoryAtItsPitchesAndWhatDoesNotFitIsRefused) {
  CpuDevice device(4096);
  IGpuContext& context = device.ImmediateContext();
  ASSERT_TRUE(context.ReadsIntoMemory());
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device.CreateVideoConverter(40, 20, 20, 10, &converter), hr::kOk);
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  std::shared_ptr<CpuTexture> surface = Surface();

  // Luma rows 48 bytes apart, chroma rows 32 apart, 0xEE where the picture is not.
  std::vector<uint8_t> luma(48 * 10, 0xEE), chroma(32 * 5, 0xEE);
  const Nv12Memory picture{luma.data(), 48, chroma.data(), 32, 20, 10};
  ASSERT_EQ(context.ReadInto(*converter, *surface, picture), hr::kOk);
  for (uint32_t row = 0; row < 10; ++row) {
    EXPECT_NEAR(luma[row * 48 + 7], 235, 3) << row;  // the white band, halved: columns 5 to 9
    EXPECT_NEAR(luma[row * 48 + 2], 16, 3) << row;
  }
  for (uint32_t row = 0; row < 5; ++row) {
    EXPECT_NEAR(chroma[row * 32 + 0], 128, 2) << row;
    EXPECT_NEAR(chroma[row * 32 + 1], 128, 2) << row;
    EXPECT_EQ(chroma[row * 32 + 20], 0xEE) << row;
  }

  // An NV12 frame of the picture's size is copied as it is.
  std::shared_ptr<ITexture> created;
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Nv12), &created), hr::kOk);
  auto& nv12 = static_cast<CpuTexture&>(*created);
  for (uint32_t row = 0; row < 15; ++row) std::memset(nv12.Data() + size_t{row} * nv12.RowPitch(), 40 + row, 20);
  std::fill(luma.begin(), luma.end(), 0xEE);
  ASSERT_EQ(context.ReadInto(*converter, nv12, picture), hr::kOk);
  EXPECT_EQ(luma[9 * 48 + 19], 49);
  EXPECT_EQ(chroma[4 * 32 + 19], 54);
  EXPECT_EQ(luma[9 * 48 + 20], 0xEE);

  // Refused: an NV12 frame of another size, pitches narrower than a row,
  // no memory, a staging texture as the frame.
  ASSERT_EQ(device.CreateTexture(Desc(40, 20, PixelFormat::Nv12), &created), hr::kOk);
  EXPECT_EQ(context.ReadInto(*converter, *created, picture), hr::kInvalidArg);
  EXPECT_EQ(context.ReadInto(*converter, *surface, {luma.data(), 16, chroma.data(), 32, 20, 10}), hr::kInvalidArg);
  EXPECT_EQ(context.ReadInto(*converter, *surface, {luma.data(), 48, chroma.data(), 18, 20, 10}), hr::kInvalidArg);
  EXPECT_EQ(context.ReadInto(*converter, *surface, {nullptr, 48, chroma.data(), 32, 20, 10}), hr::kInvalidArg);
  TextureDesc stagingDesc = Desc(40, 20, PixelFormat::Bgra8);
  stagingDesc.usage = TextureUsage::Staging;
  stagingDesc.cpuRead = true;
  ASSERT_EQ(device.CreateTexture(stagingDesc, &created), hr::kOk);
  EXPECT_EQ(context.ReadInto(*converter, *created, picture), hr::kInvalidArg);
}

// Planar memory (U and V planes apart, as libx264 and libopenh264 take it)
// gets the same picture as NV12 memory: the scaler's U and V where NV12 has
// them interleaved, and an NV12 frame's pairs split.
TEST(CpuReadIntoTest, PlanarMemoryGetsTheSamePictureAsNv12) {
  CpuDevice device(4096);
  IGpuContext& context = device.ImmediateContext();
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device.CreateVideoConverter(40, 20, 20, 10, &converter), hr::kOk);
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  // Red on the left half, blue on the right: U and V differ, and differ
  // between the halves.
  std::shared_ptr<CpuTexture> surface = CreateSurfaceTexture(40, 20, 4096);
  for (uint32_t row = 0; row < 20; ++row) {
    uint8_t* line = surface->Data() + static_cast<size_t>(row) * surface->RowPitch();
    for (uint32_t x = 0; x < 40; ++x) {
      line[x * 4] = x < 20 ? 0 : 255;
      line[x * 4 + 1] = 0;
      line[x * 4 + 2] = x < 20 ? 255 : 0;
      line[x * 4 + 3] = 255;
    }
  }
  std::vector<uint8_t> luma(24 * 10), pairs(24 * 5), planarLuma(24 * 10), u(16 * 5), v(16 * 5);
  ASSERT_EQ(context.ReadInto(*converter, *surface, {luma.data(), 24, pairs.data(), 24, 20, 10}), hr::kOk);
  const Nv12Memory planar{planarLuma.data(), 24, u.data(), 16, 20, 10, v.data()};
  ASSERT_EQ(context.ReadInto(*converter, *surface, planar), hr::kOk);
  EXPECT_EQ(planarLuma, luma);
  for (uint32_t row = 0; row < 5; ++row) {
    for (uint32_t x = 0; x < 10; ++x) {
      EXPECT_EQ(u[row * 16 + x], pairs[row * 24 + 2 * x]) << row << "," << x;
      EXPECT_EQ(v[row * 16 + x], pairs[row * 24 + 2 * x + 1]) << row << "," << x;
    }
  }
  EXPECT_GT(v[0], 200);  // red: V high
  EXPECT_GT(u[9], 200);  // blue: U high

  // An NV12 frame's pairs split into the planes.
  std::shared_ptr<ITexture> created;
  ASSERT_EQ(device.CreateTexture(Desc(20, 10, PixelFormat::Nv12), &created), hr::kOk);
  auto& nv12 = static_cast<CpuTexture&>(*created);
  for (uint32_t row = 0; row < 15; ++row) {
    for (uint32_t x = 0; x < 20; ++x) nv12.Data()[size_t{row} * nv12.RowPitch() + x] = static_cast<uint8_t>(row * 16 + x);
  }
  ASSERT_EQ(context.ReadInto(*converter, nv12, planar), hr::kOk);
  EXPECT_EQ(planarLuma[9 * 24 + 19], 9 * 16 + 19);
  EXPECT_EQ(u[4 * 16 + 9], 14 * 16 + 18);
  EXPECT_EQ(v[4 * 16 + 9], 14 * 16 + 19);
  // Planar chroma rows narrower than half the picture are refused.
  EXPECT_EQ(context.ReadInto(*converter, *surface, {planarLuma.data(), 24, u.data(), 9, 20, 10, v.data()}),
            hr::kInvalidArg);
}

}  // namespace
}  // namespace ostrel::platform::cpu
