// Which source captures a target: the window-capture service
// (Windows.Graphics.Capture) wherever it can make the item, the frame pool
// and the capture session, else the platform's fallback source (GDI), with
// one [CAPABILITY] line naming the code that ruled the service out.
#pragma once

#include "capture/capture_state.h"

namespace ostrel {

// The step of the capture chain a code came from.
enum class CaptureStep { Item, FramePool, Session };

// Whether `code` from `step` means the service cannot capture this target on
// this system (absent, older than the interface asked for, or unable to make
// an item for this window) rather than a passing fault (device lost, out of
// memory), which ends the start instead.
bool ServiceCannotCapture(CaptureStep step, Hresult code);

// Item, frame pool (4 buffers at the item's content size, 2 above
// kMaxEncodedSide) and capture
// session for the window, or for its monitor, into the state (captureItem,
// framePool, captureSession, captureService, poolSize, scaledAtRead, and
// the recorded size as captureWidth and captureHeight). A target above the
// encoders' limit gets a pool at its encoded size (2 buffers) where the
// source scales and `scaledReads` allows it. A
// zero-size item (minimised window) leaves the size 0 x 0 and makes no pool.
// The session is neither configured nor started. Throws HresultError.
// Whether a target above the encoders' limit may be read scaled down to the
// size it is encoded at (the copy must then convert regions), and the host's
// height limit that size follows.
struct ScaledReads {
  bool allowed = false;
  uint32_t maxHeight = 0;
};

void OpenCaptureSource(CaptureState& state, platform::WindowHandle target, platform::MonitorHandle monitor,
                       bool captureMonitor, const ScaledReads& scaledReads);

// Closes the session and then the pool of the state, each on its own (a
// session that fails to close still lets the pool close); each failing code
// is logged as a teardown warning. The item stays: its closed subscription
// is ended separately.
void CloseCaptureSource(CaptureState& state);

}  // namespace ostrel
