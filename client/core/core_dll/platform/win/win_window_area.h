// The area of a window that both capture sources record: its client area
// (no title bar, no borders), in physical pixels.
#pragma once

#include <windows.h>

namespace ostrel::win {

// Makes the calling thread per-monitor DPI aware (V2) while it lives, where
// Windows has SetThreadDpiAwarenessContext (10 1607 and later), so that a
// host without DPI awareness still measures and copies the pixels the
// screen shows rather than its scaled view of them.
class PhysicalPixelsScope {
 public:
  PhysicalPixelsScope();
  ~PhysicalPixelsScope();
  PhysicalPixelsScope(const PhysicalPixelsScope&) = delete;
  PhysicalPixelsScope& operator=(const PhysicalPixelsScope&) = delete;

 private:
  void* previous_ = nullptr;  // DPI_AWARENESS_CONTEXT
};

// The client area's size; false while the window is gone or minimised.
bool ClientAreaSize(HWND window, SIZE* size);

// Where the client area lies in what Windows.Graphics.Capture shows of the
// window: its DWM frame bounds (the visible frame, without the invisible
// resize borders), or the window rectangle where DWM cannot say. False
// while the window is gone or minimised.
bool ClientAreaInWindowImage(HWND window, RECT* area);

}  // namespace ostrel::win
