// The test scene every fake window shows: moving colour bars over a moving
// grey ramp, with the frame number and the capture time in large digits.
// Deterministic from its arguments; cheap enough for 60 full-HD frames a
// second on one core (whole rows are built once and copied).
#pragma once

#include <cstdint>

namespace ostrel::sim {

// Renders into a BGRA buffer of `height` rows of `pitch` bytes. `ticks` is
// the capture time (TickClock). With `flash` the frame is pure white.
void RenderTestScene(uint8_t* data, uint32_t pitch, int width, int height, uint64_t frameNumber, int64_t ticks,
                     bool flash);

}  // namespace ostrel::sim
