// Texture storage of the CPU device: a copy out of a capture surface moves
// the storage object itself (so memory a capture service reads into, such
// as an MIT-SHM segment, travels with it), any other copy moves bytes, and
// replacing a texture's storage takes only storage that is large enough.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/cpu/cpu_gpu.h"

namespace ostrel::platform::cpu {
namespace {

// Storage in a vector, standing for memory a capture service owns.
class VectorStorage final : public TextureStorage {
 public:
  explicit VectorStorage(size_t size, uint8_t fill) : bytes_(size, fill) { Assign(bytes_.data(), bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

TextureDesc Bgra(uint32_t width, uint32_t height) {
  TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = PixelFormat::Bgra8;
  return desc;
}

TEST(CpuTextureStorageTest, ReplaceStorageTakesOnlyLargeEnoughStorageAndShowsItsBytes) {
  CpuTexture texture(Bgra(20, 4));  // 80 bytes a row -> pitch 128
  ASSERT_EQ(texture.RowPitch(), 128u);
  ASSERT_EQ(texture.ByteSize(), 512u);
  EXPECT_EQ(texture.Data()[0], 0) << "new textures are zeroed";
  uint8_t* before = texture.Data();
  EXPECT_FALSE(texture.ReplaceStorage(std::make_unique<VectorStorage>(511, 7)));
  EXPECT_FALSE(texture.ReplaceStorage(nullptr));
  EXPECT_EQ(texture.Data(), before);
  auto storage = std::make_unique<VectorStorage>(512, 7);
  TextureStorage* raw = storage.get();
  ASSERT_TRUE(texture.ReplaceStorage(std::move(storage)));
  EXPECT_EQ(&texture.Storage(), raw);
  EXPECT_EQ(texture.Data()[511], 7);
}

TEST(CpuTextureStorageTest, CopyOutOfACaptureSurfaceMovesTheStorageObjectOtherCopiesMoveBytes) {
  CpuDevice device(4096);
  CpuContext& context = static_cast<CpuContext&>(device.ImmediateContext());
  std::shared_ptr<CpuTexture> surface = CreateSurfaceTexture(20, 4, 4096);
  ASSERT_TRUE(surface);
  auto storage = std::make_unique<VectorStorage>(surface->ByteSize(), 9);
  TextureStorage* segment = storage.get();
  ASSERT_TRUE(surface->ReplaceStorage(std::move(storage)));

  std::shared_ptr<ITexture> frame;
  ASSERT_EQ(device.CreateTexture(Bgra(20, 4), &frame), hr::kOk);
  auto& frameTexture = static_cast<CpuTexture&>(*frame);
  TextureStorage* heap = &frameTexture.Storage();
  context.CopyResource(frameTexture, *surface);
  EXPECT_EQ(&frameTexture.Storage(), segment) << "the surface's storage moved into the copy";
  EXPECT_EQ(&surface->Storage(), heap) << "and the copy's storage into the surface";
  EXPECT_EQ(frameTexture.Data()[100], 9);

  // Out of an ordinary texture the bytes are copied, the storage stays.
  std::shared_ptr<ITexture> other;
  ASSERT_EQ(device.CreateTexture(Bgra(20, 4), &other), hr::kOk);
  auto& otherTexture = static_cast<CpuTexture&>(*other);
  TextureStorage* kept = &otherTexture.Storage();
  context.CopyResource(otherTexture, frameTexture);
  EXPECT_EQ(&otherTexture.Storage(), kept);
  EXPECT_EQ(&frameTexture.Storage(), segment);
  EXPECT_EQ(otherTexture.Data()[100], 9);
}

// The encoder converts into one NV12 render target and copies it to a
// staging slot: the converted frame reaches the slot without a byte copy, and
// the next conversion fills the target whole again.
TEST(CpuTextureStorageTest, CopyOfAConversionOutputToStagingMovesItsStorage) {
  CpuDevice device(4096);
  IGpuContext& context = device.ImmediateContext();
  std::shared_ptr<IVideoConverter> converter;
  ASSERT_EQ(device.CreateVideoConverter(32, 16, 32, 16, &converter), hr::kOk);
  ASSERT_EQ(converter->CreateProcessor(), hr::kOk);
  TextureDesc nv12;
  nv12.width = 32;
  nv12.height = 16;
  nv12.format = PixelFormat::Nv12;
  nv12.renderTarget = true;
  TextureDesc staging = nv12;
  staging.renderTarget = false;
  staging.usage = TextureUsage::Staging;
  staging.cpuRead = true;
  std::shared_ptr<ITexture> input, target, slot;
  ASSERT_EQ(device.CreateTexture(Bgra(32, 16), &input), hr::kOk);
  ASSERT_EQ(device.CreateTexture(nv12, &target), hr::kOk);
  ASSERT_EQ(device.CreateTexture(staging, &slot), hr::kOk);

  for (uint8_t grey : {255, 0}) {
    auto& bgra = static_cast<CpuTexture&>(*input);
    std::memset(bgra.Data(), grey, bgra.ByteSize());
    ASSERT_EQ(context.ConvertAndScale(*converter, *input, *target), hr::kOk);
    TextureStorage* converted = &static_cast<CpuTexture&>(*target).Storage();
    context.CopyResource(*slot, *target);
    EXPECT_EQ(&static_cast<CpuTexture&>(*slot).Storage(), converted);
    MappedTexture mapped;
    ASSERT_EQ(context.Map(*slot, true, &mapped), hr::kOk);
    // Limited range: white is luma 235, black 16.
    EXPECT_EQ(mapped.data[5 * mapped.rowPitch + 7], grey == 255 ? 235 : 16);
    context.Unmap(*slot);
  }
}

}  // namespace
}  // namespace ostrel::platform::cpu
