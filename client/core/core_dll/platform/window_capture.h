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

using EventToken = uint64_t;

class ICaptureFrame {
 public:
  virtual ~ICaptureFrame() = default;
  // The frame's surface as a BGRA texture of the capture device.
  virtual Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) = 0;
  // Returns the buffer to its pool.
  virtual void Close() = 0;
};

class ICaptureItem {
 public:
  virtual ~ICaptureItem() = default;
  virtual SizeInt32 Size() = 0;
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
  virtual Hresult Close() = 0;
};

class ICaptureSession {
 public:
  virtual ~ICaptureSession() = default;
  // ApiInformation::IsPropertyPresent(GraphicsCaptureSession, IsBorderRequired).
  virtual Hresult IsBorderPropertyPresent(bool* present) = 0;
  virtual Hresult SetBorderRequired(bool required) = 0;
  // GraphicsCaptureSession.MinUpdateInterval: frames come at most once per
  // `interval` (100-nanosecond ticks). A source that delivers on content
  // changes may keep its own pace; a source that polls (the GDI fallback)
  // polls at this interval.
  virtual Hresult SetMinUpdateInterval(int64_t interval) = 0;
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
  virtual Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                                       std::shared_ptr<ICaptureSession>* out) = 0;
};

}  // namespace ostrel::platform
