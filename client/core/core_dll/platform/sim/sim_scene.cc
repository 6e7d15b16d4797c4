#include "platform/sim/sim_scene.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ostrel::sim {
namespace {

constexpr uint32_t Bgra(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t{b} | uint32_t{g} << 8 | uint32_t{r} << 16 | 0xFF000000u;
}

constexpr uint32_t kBars[8] = {Bgra(255, 255, 255), Bgra(255, 255, 0), Bgra(0, 255, 255), Bgra(0, 255, 0),
                               Bgra(255, 0, 255),   Bgra(255, 0, 0),   Bgra(0, 0, 255),   Bgra(0, 0, 0)};
constexpr uint32_t kInk = Bgra(255, 255, 255);
constexpr uint32_t kPaper = Bgra(0, 0, 0);

// 5x7 glyphs, one byte per row, bit 4 is the leftmost column.
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr uint8_t kDigits[10][kGlyphHeight] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};
constexpr uint8_t kPoint[kGlyphHeight] = {0, 0, 0, 0, 0, 0x0C, 0x0C};

const uint8_t* GlyphOf(char c) {
  if (c >= '0' && c <= '9') return kDigits[c - '0'];
  if (c == '.') return kPoint;
  return nullptr;  // blank
}

// Fills a clipped rectangle with one colour.
void FillRect(uint8_t* data, uint32_t pitch, int width, int height, int x, int y, int w, int h, uint32_t colour) {
  int x0 = std::max(x, 0), y0 = std::max(y, 0);
  int x1 = std::min(x + w, width), y1 = std::min(y + h, height);
  if (x0 >= x1 || y0 >= y1) return;
  for (int row = y0; row < y1; ++row) {
    auto* pixels = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(row) * pitch);
    std::fill(pixels + x0, pixels + x1, colour);
  }
}

void DrawText(uint8_t* data, uint32_t pitch, int width, int height, const char* text) {
  const int length = static_cast<int>(std::strlen(text));
  const int cellsWide = length * (kGlyphWidth + 1) + 1;  // one cell of spacing and margin
  const int cellsHigh = kGlyphHeight + 2;
  // As large as fits: the whole line across at most the full width, and
  // at most a third of the height.
  int scale = std::min(width / cellsWide, height / (cellsHigh * 3));
  scale = std::max(scale, 1);
  const int boxWidth = cellsWide * scale;
  const int boxHeight = cellsHigh * scale;
  const int left = (width - boxWidth) / 2;
  const int top = (height - boxHeight) / 2;
  FillRect(data, pitch, width, height, left, top, boxWidth, boxHeight, kPaper);
  for (int i = 0; i < length; ++i) {
    const uint8_t* glyph = GlyphOf(text[i]);
    if (glyph == nullptr) continue;
    const int glyphLeft = left + (1 + i * (kGlyphWidth + 1)) * scale;
    for (int row = 0; row < kGlyphHeight; ++row) {
      for (int column = 0; column < kGlyphWidth; ++column) {
        if ((glyph[row] >> (kGlyphWidth - 1 - column)) & 1) {
          FillRect(data, pitch, width, height, glyphLeft + column * scale, top + (1 + row) * scale, scale, scale,
                   kInk);
        }
      }
    }
  }
}

}  // namespace

void RenderTestScene(uint8_t* data, uint32_t pitch, int width, int height, uint64_t frameNumber, int64_t ticks,
                     bool flash) {
  if (data == nullptr || width <= 0 || height <= 0) return;
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  if (flash) {
    for (int y = 0; y < height; ++y) std::memset(data + static_cast<size_t>(y) * pitch, 0xFF, rowBytes);
    return;
  }

  // Colour bars moving right by 8 pixels a frame over the upper three
  // quarters; a grey ramp moving left below them.
  std::vector<uint32_t> row(static_cast<size_t>(width));
  const uint64_t barShift = (frameNumber * 8) % static_cast<uint64_t>(width);
  for (int x = 0; x < width; ++x) {
    uint64_t position = (static_cast<uint64_t>(x) + static_cast<uint64_t>(width) - barShift) % width;
    row[x] = kBars[position * 8 / static_cast<uint64_t>(width)];
  }
  const int barRows = height - height / 4;
  for (int y = 0; y < barRows; ++y) std::memcpy(data + static_cast<size_t>(y) * pitch, row.data(), rowBytes);

  const uint64_t rampShift = (frameNumber * 4) % static_cast<uint64_t>(width);
  for (int x = 0; x < width; ++x) {
    uint64_t position = (static_cast<uint64_t>(x) + rampShift) % width;
    auto level = static_cast<uint8_t>(position * 256 / static_cast<uint64_t>(width));
    row[x] = Bgra(level, level, level);
  }
  for (int y = barRows; y < height; ++y) std::memcpy(data + static_cast<size_t>(y) * pitch, row.data(), rowBytes);

  // "frame  seconds", e.g. "000123  12.345".
  const int64_t milliseconds = ticks > 0 ? ticks / 10000 : 0;
  char text[48];
  std::snprintf(text, sizeof text, "%06" PRIu64 "  %" PRId64 ".%03" PRId64, frameNumber % 1000000,
                (milliseconds / 1000) % 100000, milliseconds % 1000);
  DrawText(data, pitch, width, height, text);
}

}  // namespace ostrel::sim
