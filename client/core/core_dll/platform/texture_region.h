// What IGpuContext::CopyRegion copies: the region of the source that both
// textures can hold, BGRA only. Shared by the contexts that implement it.
#pragma once

#include <algorithm>

#include "platform/gpu.h"

namespace ostrel::platform {

// `region` clipped to the source and to the destination (copied to its
// top-left corner); width or height 0 when nothing is to be copied.
inline TextureRegion CopiedRegion(const TextureRegion& region, const TextureDesc& source,
                                  const TextureDesc& destination) {
  if (source.format != PixelFormat::Bgra8 || destination.format != PixelFormat::Bgra8 || region.x >= source.width ||
      region.y >= source.height) {
    return {};
  }
  return {region.x, region.y, std::min({region.width, source.width - region.x, destination.width}),
          std::min({region.height, source.height - region.y, destination.height})};
}

}  // namespace ostrel::platform
