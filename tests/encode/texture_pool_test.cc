// The pool a capture's segment encoders share textures through: a texture
// given back is the next one of its kind handed out, a lease holds it alone,
// and the pool keeps no more than it was told to.
#include "encode/texture_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ostrel/ostrel_sim.h"
#include "platform/platform.h"

namespace ostrel {
namespace {

class TexturePoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OstrelSim_Reset();
    ASSERT_EQ(platform::GetPlatform().gpu.CreateDevice(nullptr, &device_), hr::kOk);
  }
  void TearDown() override { OstrelSim_Reset(); }

  static platform::TextureDesc Staging(uint32_t width) {
    return {width, 64, platform::PixelFormat::Nv12, platform::TextureUsage::Staging, false, true};
  }
  static platform::TextureDesc Target(uint32_t width) {
    return {width, 64, platform::PixelFormat::Nv12, platform::TextureUsage::Default, true, false};
  }

  std::shared_ptr<platform::IGpuDevice> device_;
};

TEST_F(TexturePoolTest, ATextureGivenBackIsHandedOutAgainOnlyForItsOwnDescriptionLastInFirstOut) {
  TexturePool pool(8);
  platform::ITexture* first = nullptr;
  platform::ITexture* second = nullptr;
  {
    TexturePool::Lease a = pool.Take(*device_, Staging(128));
    TexturePool::Lease b = pool.Take(*device_, Staging(128));
    ASSERT_TRUE(a && b);
    EXPECT_NE(&*a, &*b) << "a lease holds its texture alone";
    first = &*a;
    second = &*b;
    EXPECT_EQ(pool.IdleCount(), 0u);
  }  // b goes back, then a
  EXPECT_EQ(pool.IdleCount(), 2u);

  // Another size, or another use of the same size, is never one of them.
  TexturePool::Lease other = pool.Take(*device_, Staging(256));
  TexturePool::Lease target = pool.Take(*device_, Target(128));
  EXPECT_NE(&*other, first);
  EXPECT_NE(&*other, second);
  EXPECT_NE(&*target, first);
  EXPECT_NE(&*target, second);
  EXPECT_EQ(other->Desc().width, 256u);
  EXPECT_TRUE(target->Desc().renderTarget);
  EXPECT_EQ(pool.IdleCount(), 2u);

  // Nothing new is created for the two given back: the last one first.
  OstrelSim_FailTextureCreation(100, 0x80004005);
  TexturePool::Lease again = pool.Take(*device_, Staging(128));
  EXPECT_EQ(&*again, first);
  TexturePool::Lease againToo = pool.Take(*device_, Staging(128));
  EXPECT_EQ(&*againToo, second);
  EXPECT_EQ(pool.IdleCount(), 0u);
  // Past them, the device's failure reaches the caller and nothing is kept.
  EXPECT_THROW(pool.Take(*device_, Staging(128)), HresultError);
  EXPECT_EQ(pool.IdleCount(), 0u);
}

TEST_F(TexturePoolTest, AMovedLeaseGivesItsTextureBackOnceAndThePoolReleasesTheOldestPastItsLimit) {
  TexturePool pool(2);
  {
    TexturePool::Lease held = pool.Take(*device_, Staging(128));
    TexturePool::Lease moved = std::move(held);
    EXPECT_FALSE(held);
    held = std::move(moved);  // back again; neither gives it back yet
    EXPECT_EQ(pool.IdleCount(), 0u);
  }
  EXPECT_EQ(pool.IdleCount(), 1u) << "given back once";

  platform::ITexture* given[3] = {};
  {
    TexturePool::Lease leases[3];
    for (int i = 0; i < 3; ++i) {
      leases[i] = pool.Take(*device_, Staging(128));
      given[i] = &*leases[i];
    }
    for (auto& lease : leases) lease = TexturePool::Lease();  // given back in order
    EXPECT_EQ(pool.IdleCount(), 2u);
  }
  // The first one given back was released; the two kept come out newest first.
  OstrelSim_FailTextureCreation(100, 0x80004005);
  TexturePool::Lease a = pool.Take(*device_, Staging(128));
  TexturePool::Lease b = pool.Take(*device_, Staging(128));
  EXPECT_EQ(&*a, given[2]);
  EXPECT_EQ(&*b, given[1]);
  EXPECT_THROW(pool.Take(*device_, Staging(128)), HresultError);
}

}  // namespace
}  // namespace ostrel
