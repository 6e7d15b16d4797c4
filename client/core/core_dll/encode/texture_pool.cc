#include "encode/texture_pool.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/hresult.h"

namespace ostrel {
namespace {

bool SameDesc(const platform::TextureDesc& a, const platform::TextureDesc& b) {
  return a.width == b.width && a.height == b.height && a.format == b.format && a.usage == b.usage &&
         a.renderTarget == b.renderTarget && a.cpuRead == b.cpuRead;
}

}  // namespace

TexturePool::Lease& TexturePool::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Return();
    pool_ = std::exchange(other.pool_, nullptr);
    texture_ = std::move(other.texture_);
  }
  return *this;
}

void TexturePool::Lease::Return() {
  if (pool_ != nullptr && texture_) pool_->GiveBack(std::move(texture_));
  texture_.reset();
  pool_ = nullptr;
}

TexturePool::Lease TexturePool::Take(platform::IGpuDevice& device, const platform::TextureDesc& desc) {
  {
    LockGuard lock(mutex_);
    // The one given back last: where textures are system memory, the
    // likeliest to have its pages in (an encoder's later staging slots are
    // often never written).
    const auto match = std::find_if(idle_.rbegin(), idle_.rend(),
                                    [&](const auto& texture) { return SameDesc(texture->Desc(), desc); });
    if (match != idle_.rend()) {
      std::shared_ptr<platform::ITexture> texture = std::move(*match);
      idle_.erase(std::next(match).base());
      return Lease(this, std::move(texture));
    }
  }
  std::shared_ptr<platform::ITexture> texture;
  Check(device.CreateTexture(desc, &texture));
  if (!texture) throw HresultError(hr::kFail);
  return Lease(this, std::move(texture));
}

size_t TexturePool::IdleCount() const {
  LockGuard lock(mutex_);
  return idle_.size();
}

void TexturePool::GiveBack(std::shared_ptr<platform::ITexture> texture) {
  std::shared_ptr<platform::ITexture> released;  // freed outside the lock
  LockGuard lock(mutex_);
  idle_.push_back(std::move(texture));
  if (idle_.size() > keepIdle_) {
    released = std::move(idle_.front());
    idle_.pop_front();
  }
}

}  // namespace ostrel
