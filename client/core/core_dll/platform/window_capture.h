// Windows and window capture (Win32 + Windows.Graphics.Capture on Windows).
//
// Threads: IsWindow, MonitorFromWindow and every creation call run on the
// thread that starts capture. Frame-arrived and closed handlers are called on
// the backend's own pool threads, possibly while the starting thread still
// runs; a handler that is removed may still be running (removal does not
// wait), so its owner must wait for running handlers itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/gpu.h"

namespace ostrel::platform {

struct SizeInt32 {
  int32_t width = 0;
  int32_t height = 0;
};

// A rectangle in pixels; width 0 means "all of it" where a method says so.
struct RectInt32 {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

using EventToken = uint64_t;

class ICaptureFrame {
 public:
  virtual ~ICaptureFrame() = default;
  // The frame's surface as a BGRA texture of the capture device.
  virtual Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) = 0;
  // Direct3D11CaptureFrame.ContentSize: the size of what the item shows in
  // this frame. It differs from the surface's size when the target was
  // resized since the pool was made (the surface keeps the pool's size, the
  // content is cropped or drawn into its top-left part). {0, 0}: a source
  // whose surfaces always have the content's size.
  virtual SizeInt32 ContentSize() { return {0, 0}; }
  // The part of the content that is recorded, in surface pixels: a window's
  // client area (the title bar and borders are left out), all of a monitor.
  // Width 0: all of the content.
  virtual RectInt32 RecordedRegion() { return {}; }
  // Returns the buffer to its pool.
  virtual void Close() = 0;
};

class ICaptureItem {
 public:
  virtual ~ICaptureItem() = default;
  // The size that is recorded: a window's client area, a monitor.
  virtual SizeInt32 Size() = 0;
  // GraphicsCaptureItem.Size: all the item's frames show, which for a window
  // on Windows.Graphics.Capture is its whole image (frame and title bar
  // included); the frame pool is made at this size.
  virtual SizeInt32 ContentSize() { return Size(); }
  virtual EventToken AddClosed(std::function<void()> handler) = 0;
  virtual void RemoveClosed(EventToken token) = 0;
  // Why the item closed when it was more than its target going away (the
  // display itself lost, say); empty otherwise. Read by closed handlers.
  virtual std::wstring ClosedCause() { return {}; }
};

// A free-threaded frame pool.
class IFramePool {
 public:
  virtual ~IFramePool() = default;
  virtual std::unique_ptr<ICaptureFrame> TryGetNextFrame() = 0;
  virtual EventToken AddFrameArrived(std::function<void()> handler) = 0;
  virtual void RemoveFrameArrived(EventToken token) = 0;
  // Direct3D11CaptureFramePool::Recreate with the pool's device, format and
  // buffer count: later frames have surfaces of `size`. Callable from a
  // FrameArrived handler. A source whose surfaces follow the content needs
  // nothing.
  virtual Hresult Recreate(SizeInt32) { return 0; }
  virtual Hresult Close() = 0;
};

class ICaptureSession {
 public:
  virtual ~ICaptureSession() = default;
  // ApiInformation::IsPropertyPresent(GraphicsCaptureSession, IsBorderRequired).
  virtual Hresult IsBorderPropertyPresent(bool* present) = 0;
  // Switching the border off first asks for borderless capture access
  // (GraphicsCaptureAccess::RequestAccessAsync(Borderless)) where the
  // system has it; without that access the setting is ignored.
  virtual Hresult SetBorderRequired(bool required) = 0;
  // GraphicsCaptureSession.IsCursorCaptureEnabled. The recorder always
  // switches it off; a source that never draws the cursor (GDI, X11
  // composite) accepts that as it is.
  virtual Hresult SetCursorCaptureEnabled(bool) { return 0; }
  // GraphicsCaptureSession.MinUpdateInterval: frames come at most once per
  // `interval` (100-nanosecond ticks). A source that delivers on content
  // changes may keep its own pace; a source that polls (the GDI fallback)
  // polls at this interval.
  virtual Hresult SetMinUpdateInterval(int64_t interval) = 0;
  // Where the session reports a fault it cannot act on and that would
  // otherwise only show as missing frames (a read the server refuses, say):
  // one line per kind of fault, from the session's own threads. Set before
  // StartCapture.
  virtual void SetProblemLog(std::function<void(const std::wstring&)>) {}
  virtual Hresult StartCapture() = 0;
  virtual Hresult Close() = 0;
};

class IWindowCapture {
 public:
  virtual ~IWindowCapture() = default;
  // Why no window can be captured at all right now (no display to connect
  // to, say); empty when capture is possible. Asked before IsWindow.
  virtual std::wstring UnavailableReason() { return {}; }
  virtual bool IsWindow(WindowHandle window) = 0;
  // MonitorFromWindow with MONITOR_DEFAULTTONEAREST.
  virtual MonitorHandle MonitorFromWindow(WindowHandle window) = 0;
  virtual Hresult CreateItemForWindow(WindowHandle window, std::shared_ptr<ICaptureItem>* out) = 0;
  virtual Hresult CreateItemForMonitor(MonitorHandle monitor, std::shared_ptr<ICaptureItem>* out) = 0;
  // Direct3D11CaptureFramePool::CreateFreeThreaded, B8G8R8A8UIntNormalized.
  virtual Hresult CreateFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 size,
                                  std::shared_ptr<IFramePool>* out) = 0;
  // A pool whose buffers are `size` and whose frames show a picture of
  // `pictureSize` (larger) scaled down to it, both sides by the ratios of
  // these two sizes; what a later resize adds is cut, what it takes away
  // padded with black, as in any pool. For a target above what the encoders
  // take, so that no buffer holds it at its full size. kNotImplemented where
  // the source cannot scale (its pools then hold the picture as it is).
  virtual Hresult CreateScalingFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 pictureSize,
                                         SizeInt32 size, std::shared_ptr<IFramePool>* out) {
    (void)device, (void)bufferCount, (void)pictureSize, (void)size, (void)out;
    return hr::kNotImplemented;
  }
  virtual Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                                       std::shared_ptr<ICaptureSession>* out) = 0;
};

}  // namespace ostrel::platform
