// Window capture on Windows: Windows.Graphics.Capture (WindowCapture(), in
// win_backend.h) and the GDI source used where that service is absent or
// incomplete.
//
// GDI source behaviour worth knowing:
// - The item of a window shows its client area (measured and copied in
//   physical pixels, as on Windows.Graphics.Capture); its size is the client
//   area's, 0 x 0 while the window is minimised. Closed fires (on the item's
//   own watcher thread) once the window is destroyed. A monitor item shows
//   the monitor's rectangle of the screen and never closes.
// - The frame pool's timer thread copies the target with BitBlt into a
//   32-bit top-down DIB section once per update interval (the session's
//   SetMinUpdateInterval, 1/30 s until set), uploads it into a new BGRA
//   texture of the capture device and raises FrameArrived on that thread. A
//   minimised or destroyed window gives no frames.
// - IFramePool::Close and ICaptureSession::Close stop the timer thread and
//   wait for a FrameArrived handler that is running; called from such a
//   handler they cannot wait, and fail with E_ILLEGAL_METHOD_CALL.
// - There is no capture border, so the border property is never present.
#pragma once

#include "platform/window_capture.h"

namespace ostrel::win {

platform::IWindowCapture& GdiWindowCapture();  // win_capture_gdi.cc

}  // namespace ostrel::win
