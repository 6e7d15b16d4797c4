#include "platform/cpu/bgra_to_nv12.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace ostrel::platform {

Hresult CpuBgraToNv12::Convert(const BgraImage& input, const Nv12Image& output) {
  if (input.data == nullptr || output.data == nullptr || input.width == 0 || input.height == 0 ||
      output.width == 0 || output.height == 0) {
    return hr::kInvalidArg;
  }
  if (!scaler_ || key_[0] != input.width || key_[1] != input.height || key_[2] != output.width ||
      key_[3] != output.height) {
    // Chroma from every input pixel: libswscale's SIMD reads BGRA at full
    // width, while without the flag a plain-C loop averages pixel pairs first
    // (about a quarter more CPU for the whole conversion, and a box filter
    // before the bicubic one).
    scaler_.reset(sws_getContext(static_cast<int>(input.width), static_cast<int>(input.height), AV_PIX_FMT_BGRA,
                                 static_cast<int>(output.width), static_cast<int>(output.height), AV_PIX_FMT_NV12,
                                 SWS_BICUBIC | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr));
    if (!scaler_) return hr::kFail;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    // Source full range, destination limited range.
    if (sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
      scaler_.reset();
      return hr::kFail;
    }
    key_[0] = input.width;
    key_[1] = input.height;
    key_[2] = output.width;
    key_[3] = output.height;
  }
  const uint8_t* srcPlanes[4] = {input.data, nullptr, nullptr, nullptr};
  const int srcStrides[4] = {static_cast<int>(input.rowPitch), 0, 0, 0};
  uint8_t* chroma =
      output.chroma != nullptr ? output.chroma : output.data + static_cast<size_t>(output.rowPitch) * output.height;
  uint8_t* dstPlanes[4] = {output.data, chroma, nullptr, nullptr};
  const int dstStrides[4] = {static_cast<int>(output.rowPitch), static_cast<int>(output.rowPitch), 0, 0};
  const int rows = sws_scale(scaler_.get(), srcPlanes, srcStrides, 0, static_cast<int>(input.height), dstPlanes,
                             dstStrides);
  return rows > 0 ? hr::kOk : hr::kFail;
}

}  // namespace ostrel::platform
