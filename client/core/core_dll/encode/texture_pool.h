// Textures that a capture's segment encoders take and give back. Every
// encoder of one capture converts and reads back at the same size, and a new
// one starts every 2 seconds: without the pool each would create its own
// conversion target and staging textures, churning device memory, and where
// textures are system memory the new encoder's first frames would fault
// every page in on the encoder thread, costing frames at each rotation.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

#include "platform/gpu.h"
#include "sync/mutex.h"

namespace ostrel {

class TexturePool {
 public:
  // Keeps at most `keepIdle` textures that nobody holds; beyond that a
  // texture given back is released.
  explicit TexturePool(size_t keepIdle) : keepIdle_(keepIdle) {}
  TexturePool(const TexturePool&) = delete;
  TexturePool& operator=(const TexturePool&) = delete;

  // One texture, held until the lease ends; then it goes back to the pool.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { Return(); }

    explicit operator bool() const { return texture_ != nullptr; }
    platform::ITexture& operator*() const { return *texture_; }
    platform::ITexture* operator->() const { return texture_.get(); }

   private:
    friend class TexturePool;
    Lease(TexturePool* pool, std::shared_ptr<platform::ITexture> texture)
        : pool_(pool), texture_(std::move(texture)) {}
    void Return();

    TexturePool* pool_ = nullptr;
    std::shared_ptr<platform::ITexture> texture_;
  };

  // A texture of `desc`: one given back earlier, else a new one from
  // `device`. Throws HresultError when the device cannot create it. The
  // pool must outlive the lease.
  Lease Take(platform::IGpuDevice& device, const platform::TextureDesc& desc);

  size_t IdleCount() const;

 private:
  void GiveBack(std::shared_ptr<platform::ITexture> texture);

  const size_t keepIdle_;
  mutable Mutex mutex_;
  // In the order given back; the oldest is released first.
  std::deque<std::shared_ptr<platform::ITexture>> idle_ GUARDED_BY(mutex_);
};

}  // namespace ostrel
