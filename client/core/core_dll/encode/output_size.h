// The size a target is encoded at: the host's height limit, then what H.264
// encoders accept.
#pragma once

#include <cstdint>

namespace ostrel {

// Output size rule: maxHeight 0 or >= capture height keeps the size (odd
// sizes included); otherwise the height is maxHeight rounded down to even and
// the width follows the aspect ratio, rounded, then made even. A long side
// above kMaxEncodedSide is then scaled down to it, the other side following
// the aspect ratio, and a frame of more than kMaxEncodedMacroblocks is
// scaled down to that area, aspect ratio kept: what H.264 encoders commonly
// accept (hardware encoders stop at 4096 on a side; Quick Sync at 4096x2304,
// level 5.1's frame size, which is also what hardware decoders play), and
// what keeps a huge window's buffers and the software encoder's work
// bounded (8000x8000 is encoded at 3072x3072). Returns whether a cap applied.
bool ComputeOutputSize(uint32_t captureWidth, uint32_t captureHeight, uint32_t maxHeight,
                       uint32_t* outputWidth, uint32_t* outputHeight);

}  // namespace ostrel
