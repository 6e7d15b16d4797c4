// The fake world's window capture: capture items for windows and monitors,
// free-threaded frame pools that render the test scene on their own
// delivery threads, and capture sessions that start them.
//
// Behaviour worth knowing for callers:
// - FrameArrived runs on the pool's delivery thread; Closed on the world's
//   event thread. Neither runs on a thread of the caller.
// - IFramePool::Close (and ICaptureSession::Close) wait for a FrameArrived
//   handler that is running, so no handler runs after they return. Do not
//   call them while holding a lock that the handler takes. Called from the
//   handler itself they do not wait (the delivery thread ends when the
//   handler returns).
// - RemoveFrameArrived and RemoveClosed do not wait for a running handler.
// - TryGetNextFrame gives the newest frame not yet taken; an older one
//   nobody took goes back to the pool. With every buffer held by an open
//   frame, delivery pauses until a frame is closed.
// - Frames come at the target's current size (a resize changes the size of
//   later frames; the pool keeps going). A frame's texture holds its pixels
//   until the frame is closed.
#pragma once

#include "platform/window_capture.h"

namespace ostrel::sim {

platform::IWindowCapture& SimWindowCapture();
// The polling source used where the capture service cannot be activated
// (OstrelSim_SetWindowCaptureAvailable): a frame of the target every copy
// period (the session's minimum update interval) while it is visible; no
// border property.
platform::IWindowCapture& SimFallbackWindowCapture();

}  // namespace ostrel::sim
