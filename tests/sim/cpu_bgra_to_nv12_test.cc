// The CPU conversion to NV12 against libswscale's own NV12 output of the
// same picture (same filters, matrix and ranges): the converter writes planar
// chroma and interleaves it itself, which may differ from the direct output
// by the rounding of its dither, never by more, and never swaps U and V.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/cpu/bgra_to_nv12.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace ostrel::platform {
namespace {

constexpr uint32_t kPitchAlign = 64;

uint32_t Aligned(uint32_t bytes) { return (bytes + kPitchAlign - 1) / kPitchAlign * kPitchAlign; }

// A picture with texture in every channel, and a colour ramp per quadrant so
// U and V move differently.
std::vector<uint8_t> Picture(uint32_t width, uint32_t height, uint32_t pitch) {
  std::vector<uint8_t> bgra(static_cast<size_t>(pitch) * height, 0);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = bgra.data() + static_cast<size_t>(y) * pitch + x * 4;
      const bool left = x < width / 2, top = y < height / 2;
      p[0] = static_cast<uint8_t>(left ? x * 5 : 30);              // blue
      p[1] = static_cast<uint8_t>(top ? y * 7 : (x * y) % 251);     // green
      p[2] = static_cast<uint8_t>(left == top ? 240 : (x ^ y) * 3);  // red
      p[3] = 255;
    }
  }
  return bgra;
}

std::vector<uint8_t> ReferenceNv12(const std::vector<uint8_t>& bgra, uint32_t inWidth, uint32_t inHeight,
                                   uint32_t inPitch, uint32_t outWidth, uint32_t outHeight, uint32_t outPitch) {
  ffmpeg::SwsContextPtr scaler(sws_getContext(static_cast<int>(inWidth), static_cast<int>(inHeight), AV_PIX_FMT_BGRA,
                                              static_cast<int>(outWidth), static_cast<int>(outHeight), AV_PIX_FMT_NV12,
                                              SWS_BICUBLIN | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr));
  EXPECT_TRUE(scaler);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(scaler.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  std::vector<uint8_t> nv12(static_cast<size_t>(outPitch) * (outHeight + outHeight / 2), 0);
  const uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {static_cast<int>(inPitch), 0, 0, 0};
  uint8_t* dst[4] = {nv12.data(), nv12.data() + static_cast<size_t>(outPitch) * outHeight, nullptr, nullptr};
  const int dstStride[4] = {static_cast<int>(outPitch), static_cast<int>(outPitch), 0, 0};
  sws_scale(scaler.get(), src, srcStride, 0, static_cast<int>(inHeight), dst, dstStride);
  return nv12;
}

struct Case {
  uint32_t inWidth, inHeight, outWidth, outHeight;
};

TEST(CpuBgraToNv12Test, MatchesTheDirectNv12ConversionWithinOneStepScaledAndUnscaled) {
  CpuBgraToNv12 converter;
  // Scaled down (as 1080p -> 720p), the same size, and a second size on the
  // same converter (its scratch planes follow).
  for (const Case& c : {Case{192, 108, 128, 72}, Case{130, 66, 130, 66}, Case{96, 54, 64, 36}}) {
    SCOPED_TRACE(testing::Message() << c.inWidth << "x" << c.inHeight << " -> " << c.outWidth << "x" << c.outHeight);
    const uint32_t inPitch = Aligned(c.inWidth * 4), outPitch = Aligned(c.outWidth);
    const std::vector<uint8_t> bgra = Picture(c.inWidth, c.inHeight, inPitch);
    std::vector<uint8_t> nv12(static_cast<size_t>(outPitch) * (c.outHeight + c.outHeight / 2), 0xAB);
    ASSERT_EQ(converter.Convert({bgra.data(), inPitch, c.inWidth, c.inHeight},
                                {nv12.data(), outPitch, c.outWidth, c.outHeight}),
              hr::kOk);
    const std::vector<uint8_t> reference =
        ReferenceNv12(bgra, c.inWidth, c.inHeight, inPitch, c.outWidth, c.outHeight, outPitch);
    int worst = 0;
    size_t chromaSpread = 0;  // how far U and V are apart: swapped planes would still match in luma
    for (uint32_t row = 0; row < c.outHeight + c.outHeight / 2; ++row) {
      for (uint32_t x = 0; x < c.outWidth; ++x) {
        const size_t at = static_cast<size_t>(row) * outPitch + x;
        worst = std::max(worst, std::abs(nv12[at] - reference[at]));
        if (row >= c.outHeight && x % 2 == 0) chromaSpread += static_cast<size_t>(std::abs(nv12[at] - nv12[at + 1]));
      }
    }
    EXPECT_LE(worst, 1);
    EXPECT_GT(chromaSpread, 0u) << "the picture has colour";
  }
}

TEST(CpuBgraToNv12Test, InterleaveChromaPairsUAndVAndLeavesThePaddingAlone) {
  const uint8_t u[] = {1, 2, 3, 99, 4, 5, 6, 99};
  const uint8_t v[] = {11, 12, 13, 99, 14, 15, 16, 99};
  std::vector<uint8_t> uv(2 * 8, 0xEE);
  InterleaveChroma(u, v, 4, 3, 2, uv.data(), 8);
  const std::vector<uint8_t> expected = {1, 11, 2, 12, 3, 13, 0xEE, 0xEE, 4, 14, 5, 15, 6, 16, 0xEE, 0xEE};
  EXPECT_EQ(uv, expected);
}

TEST(CpuBgraToNv12Test, RefusesEmptyImages) {
  CpuBgraToNv12 converter;
  std::vector<uint8_t> bytes(64 * 16, 0);
  EXPECT_EQ(converter.Convert({nullptr, 64, 16, 16}, {bytes.data(), 64, 16, 16}), hr::kInvalidArg);
  EXPECT_EQ(converter.Convert({bytes.data(), 64, 16, 16}, {bytes.data(), 64, 0, 16}), hr::kInvalidArg);
}

}  // namespace
}  // namespace ostrel::platform
