// BGRA (full range) to NV12 (BT.709, limited range) conversion and scaling on
// the CPU with libswscale. Every backend without a GPU video processor uses
// it: the fake world always, Linux today, Windows when the device offers no
// video processor. One instance per converter; not thread-safe.
#pragma once

#include <cstdint>

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/hresult.h"

namespace ostrel::platform {

struct BgraImage {
  const uint8_t* data = nullptr;
  uint32_t rowPitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// NV12: `height` luma rows of `rowPitch` bytes, the interleaved chroma plane
// at `chroma`, or right after the luma rows when it is null (a picture in the
// top-left part of a larger texture names its texture's chroma plane), its
// rows `chromaPitch` apart (0: the luma's pitch). With `v` set, planar 4:2:0
// instead: U rows at `chroma`, V rows at `v`, both `chromaPitch` apart.
struct Nv12Image {
  uint8_t* data = nullptr;
  uint32_t rowPitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t* chroma = nullptr;
  uint32_t chromaPitch = 0;
  uint8_t* v = nullptr;
};

// Planar U and V rows (`sourcePitch` apart) as NV12's interleaved U/V rows
// (`pitch` apart): `width` pairs a row, `height` rows.
void InterleaveChroma(const uint8_t* u, const uint8_t* v, uint32_t sourcePitch, uint32_t width, uint32_t height,
                      uint8_t* uv, uint32_t pitch);
// The reverse: NV12's interleaved U/V rows as planar U and V rows.
void DeinterleaveChroma(const uint8_t* uv, uint32_t sourcePitch, uint32_t width, uint32_t height, uint8_t* u,
                        uint8_t* v, uint32_t pitch);

class CpuBgraToNv12 {
 public:
  // The whole input scaled onto the whole output; the scaler is rebuilt only
  // when a size changes.
  Hresult Convert(const BgraImage& input, const Nv12Image& output);
  // The whole input scaled onto the top-left `width` x `height` of `output`
  // (the whole NV12 image, chroma after its luma rows), the rest of it black
  // (luma 16, chroma 128); nothing but black for a zero size.
  Hresult ConvertOntoTopLeft(const BgraImage& input, const Nv12Image& output, uint32_t width, uint32_t height);

 private:
  ffmpeg::SwsContextPtr scaler_;
  // The scaler's planar U plane, then its V plane, each `chromaPitch_` wide.
  ffmpeg::AvBufferPtr chroma_;
  uint32_t chromaPitch_ = 0;
  uint32_t key_[4] = {0, 0, 0, 0};
};

}  // namespace ostrel::platform
