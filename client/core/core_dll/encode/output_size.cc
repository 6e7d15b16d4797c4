#include "encode/output_size.h"

#include <algorithm>
#include <cmath>

#include "encode/frame_handoff.h"

namespace ostrel {

bool ComputeOutputSize(uint32_t captureWidth, uint32_t captureHeight, uint32_t maxHeight,
                       uint32_t* outputWidth, uint32_t* outputHeight) {
  if (maxHeight != 0 && maxHeight < captureHeight) {
    uint32_t height = maxHeight & ~1u;
    double width = std::round(static_cast<double>(captureWidth) * height / captureHeight);
    *outputHeight = height;
    *outputWidth = static_cast<uint32_t>(width) & ~1u;
  } else {
    *outputWidth = captureWidth & ~1u;
    *outputHeight = captureHeight & ~1u;
  }
  const uint32_t longSide = std::max(*outputWidth, *outputHeight);
  bool capped = longSide > kMaxEncodedSide;
  if (capped) {
    const double scale = static_cast<double>(kMaxEncodedSide) / longSide;
    *outputWidth = static_cast<uint32_t>(std::round(*outputWidth * scale)) & ~1u;
    *outputHeight = static_cast<uint32_t>(std::round(*outputHeight * scale)) & ~1u;
  }
  const auto macroblocks = [](uint32_t width, uint32_t height) {
    return uint64_t{(width + 15) / 16} * ((height + 15) / 16);
  };
  if (macroblocks(*outputWidth, *outputHeight) > kMaxEncodedMacroblocks) {
    // The area scaled down to the limit, the aspect ratio kept; a little
    // further where rounding up to whole macroblocks still passes it.
    const uint32_t width = *outputWidth, height = *outputHeight;
    double scale = std::sqrt(static_cast<double>(kMaxEncodedMacroblocks) * 256.0 / (double{1} * width * height));
    do {
      *outputWidth = static_cast<uint32_t>(width * scale) & ~1u;
      *outputHeight = static_cast<uint32_t>(height * scale) & ~1u;
      scale *= 0.998;
    } while (macroblocks(*outputWidth, *outputHeight) > kMaxEncodedMacroblocks);
    capped = true;
  }
  // NV12 needs even sizes of at least 2: an odd window loses its last column
  // or row to the scaler, a sliver of 1 pixel is stretched to 2.
  *outputWidth = std::max(*outputWidth, 2u);
  *outputHeight = std::max(*outputHeight, 2u);
  return capped;
}

}  // namespace ostrel
