// What IGpuContext::CopyRegion copies and what ConvertRegion converts: the
// parts of the textures both can reach. Shared by the contexts that implement
// them.
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

// ConvertRegion's arguments made safe: `region` clipped to the input, the
// output's `width` x `height` clipped to the output and rounded down to even
// (NV12), both zero when either side is empty.
inline void ClipConversion(const TextureDesc& input, const TextureDesc& output, TextureRegion* region,
                           uint32_t* width, uint32_t* height) {
  if (region->x >= input.width || region->y >= input.height) region->width = region->height = 0;
  region->width = std::min(region->width, input.width - std::min(region->x, input.width));
  region->height = std::min(region->height, input.height - std::min(region->y, input.height));
  *width = std::min(*width, output.width) & ~1u;
  *height = std::min(*height, output.height) & ~1u;
  if (region->width == 0 || region->height == 0) *width = *height = 0;
}

}  // namespace ostrel::platform
