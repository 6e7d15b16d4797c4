// The GDI capture source: for systems where Windows.Graphics.Capture is
// absent or incomplete (Windows before 10 1903, Wine, a window it makes no
// item for). It copies the target with BitBlt on a timer of its own, behind
// the same capture interfaces.
#include <windows.h>
#include <timeapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/common/capture_session_lifecycle.h"
#include "platform/common/pool_delivery.h"
#include "platform/win/win_capture.h"
#include "platform/win/win_capture_device.h"
#include "platform/win/win_gpu.h"
#include "platform/win/win_window_area.h"

namespace ostrel::win {
namespace {

using platform::EventToken;
using platform::ICaptureDevice;
using platform::ICaptureFrame;
using platform::ICaptureItem;
using platform::ICaptureSession;
using platform::IFramePool;
using platform::ITexture;
using platform::MonitorHandle;
using platform::SizeInt32;
using platform::WindowHandle;
using Clock = std::chrono::steady_clock;

using platform::kIllegalMethodCall;
using platform::kObjectClosed;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kDefaultIntervalTicks = kTicksPerSecond / 30;
constexpr int64_t kMinIntervalTicks = kTicksPerSecond / 1000;
constexpr auto kWatchPeriod = std::chrono::milliseconds(100);
constexpr int kMaxBuffers = 64;

// What an item shows: a window's client area or a monitor's rectangle.
struct Target {
  HWND window = nullptr;
  HMONITOR monitor = nullptr;
};

// The target's rectangle in the coordinates of the DC it is read from; false
// when there is nothing to read (window destroyed or minimised).
bool SourceRect(const Target& target, RECT* rect) {
  if (target.window != nullptr) {
    if (!IsWindow(target.window) || IsIconic(target.window)) return false;
    return GetClientRect(target.window, rect) != FALSE && rect->right > rect->left && rect->bottom > rect->top;
  }
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(target.monitor, &info)) return false;
  *rect = info.rcMonitor;
  return rect->right > rect->left && rect->bottom > rect->top;
}

// ---- item -----------------------------------------------------------------------

// The closed-event state of an item, shared with its watcher thread.
struct ClosedWatch {
  std::mutex mutex;
  std::condition_variable cv;
  bool stop = false;
  platform::HandlerRegistry handlers;
};

// A window's destruction is noticed by polling: GDI has no event for it that
// works without a message loop on the watching thread.
void WatchWindow(std::shared_ptr<ClosedWatch> watch, HWND window) {
  std::unique_lock lock(watch->mutex);
  for (;;) {
    if (watch->cv.wait_for(lock, kWatchPeriod, [&] { return watch->stop; })) return;
    if (IsWindow(window)) continue;
    watch->handlers.Raise(lock, watch->handlers.Tokens(), watch->stop);
    return;  // a window closes once
  }
}

class GdiCaptureItem final : public ICaptureItem {
 public:
  explicit GdiCaptureItem(Target target) : target_(target) {}

  // Closed handlers must not drop the last reference to their item: the
  // item's destructor waits for its watcher thread, which runs them.
  ~GdiCaptureItem() override {
    {
      std::lock_guard lock(watch_->mutex);
      watch_->stop = true;
      watch_->handlers.TakeAll();
    }
    watch_->cv.notify_all();
    if (watcher_.joinable()) watcher_.join();
  }
  GdiCaptureItem(const GdiCaptureItem&) = delete;
  GdiCaptureItem& operator=(const GdiCaptureItem&) = delete;

  SizeInt32 Size() override {
    PhysicalPixelsScope physical;
    RECT rect{};
    if (!SourceRect(target_, &rect)) return {0, 0};
    return {rect.right - rect.left, rect.bottom - rect.top};
  }

  EventToken AddClosed(std::function<void()> handler) override {
    EventToken token = 0;
    {
      std::lock_guard lock(watch_->mutex);
      token = watch_->handlers.Add(std::move(handler));
    }
    // Monitors are not watched: their GDI item never closes.
    std::lock_guard threadLock(threadMutex_);
    if (target_.window != nullptr && !watcher_.joinable()) {
      watcher_ = std::thread(WatchWindow, watch_, target_.window);
    }
    return token;
  }

  void RemoveClosed(EventToken token) override {
    std::function<void()> removed;  // destroyed outside the lock
    std::lock_guard lock(watch_->mutex);
    removed = watch_->handlers.Remove(token);
  }

  const Target& GetTarget() const { return target_; }

 private:
  const Target target_;
  std::shared_ptr<ClosedWatch> watch_ = std::make_shared<ClosedWatch>();
  std::mutex threadMutex_;
  std::thread watcher_;
};

// ---- pixels -----------------------------------------------------------------------

// A memory DC with a 32-bit top-down DIB section selected into it, of the
// pool's size: frames always have the pool's size, as on Windows.Graphics.
// Capture, and a larger client area is cropped, a smaller one padded black.
class DibSurface {
 public:
  // `picture` {0, 0}: the target is copied as it is; else a target of that
  // size is scaled down to the surface's size (by these sizes' ratios).
  DibSurface(int width, int height, SizeInt32 picture) : width_(width), height_(height), picture_(picture) {
    dc_ = CreateCompatibleDC(nullptr);
    if (dc_ == nullptr) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
    if (bitmap_ != nullptr) previous_ = SelectObject(dc_, bitmap_);
  }
  ~DibSurface() {
    if (previous_ != nullptr) SelectObject(dc_, previous_);
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
    if (dc_ != nullptr) DeleteDC(dc_);
  }
  DibSurface(const DibSurface&) = delete;
  DibSurface& operator=(const DibSurface&) = delete;

  bool valid() const { return bits_ != nullptr && previous_ != nullptr; }

  // Copies the target into the surface; false when there is nothing to copy.
  bool Grab(const Target& target) {
    PhysicalPixelsScope physical;  // the client area in the pixels the screen shows, as on the other source
    RECT source{};
    if (!valid() || !SourceRect(target, &source)) return false;
    const int sourceWidth = source.right - source.left;
    const int sourceHeight = source.bottom - source.top;
    const bool scaled = picture_.width > 0 && picture_.height > 0;
    const int width = std::min<int>(width_, scaled ? ScaledExtent(sourceWidth, width_, picture_.width) : sourceWidth);
    const int height =
        std::min<int>(height_, scaled ? ScaledExtent(sourceHeight, height_, picture_.height) : sourceHeight);
    if (width <= 0 || height <= 0) return false;
    if (width != copiedWidth_ || height != copiedHeight_) {
      std::memset(bits_, 0, static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4);
      copiedWidth_ = width;
      copiedHeight_ = height;
    }
    HDC sourceDc = GetDC(target.window);  // null window: the screen
    if (sourceDc == nullptr) return false;
    BOOL copied = FALSE;
    if (scaled) {
      // HALFTONE averages the pixels each one replaces (the brush origin
      // must be set again after choosing it).
      SetStretchBltMode(dc_, HALFTONE);
      SetBrushOrgEx(dc_, 0, 0, nullptr);
      // The part of the target the scaled copy shows (all of it unless cut).
      const int shownWidth = ScaledExtent(width, picture_.width, width_);
      const int shownHeight = ScaledExtent(height, picture_.height, height_);
      copied = StretchBlt(dc_, 0, 0, width, height, sourceDc, source.left, source.top, shownWidth, shownHeight,
                          SRCCOPY);
    } else {
      copied = BitBlt(dc_, 0, 0, width, height, sourceDc, source.left, source.top, SRCCOPY);
    }
    ReleaseDC(target.window, sourceDc);
    GdiFlush();
    if (!copied) return false;
    // GDI leaves alpha undefined (mostly 0); captured frames are opaque.
    auto* pixel = static_cast<uint32_t*>(bits_);
    const size_t count = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    for (size_t i = 0; i < count; ++i) pixel[i] |= 0xFF000000u;
    return true;
  }

  // A new BGRA texture of the device holding the surface's pixels, made
  // without the immediate context, so the timer thread never touches the
  // context the encoder uses.
  HRESULT Upload(platform::IGpuDevice& device, std::shared_ptr<ITexture>* out) const {
    return CreateTextureWithPixels(device, static_cast<uint32_t>(width_), static_cast<uint32_t>(height_),
                                   static_cast<const uint8_t*>(bits_), static_cast<uint32_t>(width_) * 4, out);
  }

 private:
  // `extent` in units where `from` stands for `to`, rounded.
  static int ScaledExtent(int extent, int to, int from) {
    return static_cast<int>((int64_t{extent} * to + from / 2) / from);
  }

  const int width_;
  const int height_;
  const SizeInt32 picture_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  void* bits_ = nullptr;
  int copiedWidth_ = -1, copiedHeight_ = -1;
};

// Timer resolution of 1 ms while a pool's timer runs, so that frames come on
// their slots rather than on the default 15.6 ms tick.
class TimerResolution {
 public:
  TimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~TimerResolution() {
    if (raised_) timeEndPeriod(1);
  }
  TimerResolution(const TimerResolution&) = delete;
  TimerResolution& operator=(const TimerResolution&) = delete;

 private:
  bool raised_;
};

// ---- frame pool -----------------------------------------------------------------

// The state a pool shares with its timer thread and its frames.
struct PoolCore : platform::PoolDeliveryState {
  PoolCore(std::shared_ptr<platform::IGpuDevice> d, SizeInt32 s, SizeInt32 picture, int buffers)
      : device(std::move(d)), size(s), pictureSize(picture), bufferCount(buffers) {}

  const std::shared_ptr<platform::IGpuDevice> device;
  const SizeInt32 size;
  const SizeInt32 pictureSize;  // {0, 0}: not scaled
  const int bufferCount;

  int64_t intervalTicks = kDefaultIntervalTicks;
  int framesOut = 0;                  // frames handed out and not closed
  std::shared_ptr<ITexture> newest;   // the newest frame not yet taken
};

class GdiCaptureFrame final : public ICaptureFrame {
 public:
  GdiCaptureFrame(std::shared_ptr<PoolCore> core, std::shared_ptr<ITexture> texture)
      : core_(std::move(core)), texture_(std::move(texture)) {}
  ~GdiCaptureFrame() override { Close(); }
  GdiCaptureFrame(const GdiCaptureFrame&) = delete;
  GdiCaptureFrame& operator=(const GdiCaptureFrame&) = delete;

  Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (!texture_) return kObjectClosed;
    *out = texture_;
    return S_OK;
  }

  void Close() override {
    if (!texture_) return;
    texture_.reset();
    std::lock_guard lock(core_->mutex);
    --core_->framesOut;
  }

 private:
  std::shared_ptr<PoolCore> core_;
  std::shared_ptr<ITexture> texture_;
};

// Copies the target once per interval and raises FrameArrived. While every
// buffer is out as a frame, copying pauses, as the system pool's does.
void RunTimer(std::shared_ptr<PoolCore> core, Target target) {
  TimerResolution resolution;
  DibSurface surface(core->size.width, core->size.height, core->pictureSize);
  Clock::time_point due = Clock::now();
  for (;;) {
    {
      std::unique_lock lock(core->mutex);
      if (core->cv.wait_until(lock, due, [&] { return core->stop; })) return;
      const auto interval = std::chrono::duration_cast<Clock::duration>(
          std::chrono::nanoseconds(core->intervalTicks * 100));
      due += interval;
      const Clock::time_point now = Clock::now();
      if (due <= now) due = now + interval;  // a late turn skips the slots it missed
      if (core->framesOut >= core->bufferCount) continue;
    }

    std::shared_ptr<ITexture> texture;
    if (!surface.Grab(target) || FAILED(surface.Upload(*core->device, &texture))) continue;

    std::unique_lock lock(core->mutex);
    if (core->stop) return;
    core->newest = std::move(texture);  // a newest frame nobody took is replaced
    core->handlers.Raise(lock, core->handlers.Tokens(), core->stop);
  }
}

class GdiFramePool final : public IFramePool, public std::enable_shared_from_this<GdiFramePool> {
 public:
  GdiFramePool(std::shared_ptr<platform::IGpuDevice> device, SizeInt32 size, SizeInt32 pictureSize, int bufferCount)
      : core_(std::make_shared<PoolCore>(std::move(device), size, pictureSize, bufferCount)) {}
  ~GdiFramePool() override { Close(); }
  GdiFramePool(const GdiFramePool&) = delete;
  GdiFramePool& operator=(const GdiFramePool&) = delete;

  std::unique_ptr<ICaptureFrame> TryGetNextFrame() override {
    std::shared_ptr<ITexture> texture;
    {
      std::lock_guard lock(core_->mutex);
      if (core_->closed || !core_->newest) return nullptr;
      texture.swap(core_->newest);
      ++core_->framesOut;
    }
    return std::make_unique<GdiCaptureFrame>(core_, std::move(texture));
  }

  EventToken AddFrameArrived(std::function<void()> handler) override {
    return core_->AddFrameArrived(std::move(handler));
  }

  void RemoveFrameArrived(EventToken token) override { core_->RemoveFrameArrived(token); }

  Hresult Close() override {
    HRESULT result = StopTimer();
    if (FAILED(result)) return result;
    std::map<EventToken, std::function<void()>> handlers;  // destroyed outside the lock
    std::shared_ptr<ITexture> newest;
    std::lock_guard lock(core_->mutex);
    core_->closed = true;
    handlers = core_->handlers.TakeAll();
    newest.swap(core_->newest);
    return S_OK;
  }

  HRESULT StartTimer(const Target& target) {
    return timer_.Start(*core_, [core = core_, target] { RunTimer(core, target); });
  }

  // Stops the timer and waits for a FrameArrived handler that is running;
  // a handler cannot stop its own pool's timer.
  HRESULT StopTimer() {
    return timer_.Stop(*core_, [](std::thread&) { return kIllegalMethodCall; });
  }

  void SetInterval(int64_t ticks) {
    std::lock_guard lock(core_->mutex);
    core_->intervalTicks = std::max(ticks, kMinIntervalTicks);
  }

 private:
  std::shared_ptr<PoolCore> core_;
  platform::PoolDeliveryThread timer_;
};

// ---- session --------------------------------------------------------------------

class GdiCaptureSession final : public ICaptureSession {
 public:
  GdiCaptureSession(std::shared_ptr<GdiFramePool> pool, Target target) : lifecycle_(std::move(pool)), target_(target) {}
  ~GdiCaptureSession() override { Close(); }
  GdiCaptureSession(const GdiCaptureSession&) = delete;
  GdiCaptureSession& operator=(const GdiCaptureSession&) = delete;

  Hresult IsBorderPropertyPresent(bool* present) override {
    if (present == nullptr) return E_INVALIDARG;
    *present = false;
    return S_OK;
  }

  Hresult SetBorderRequired(bool) override { return S_OK; }

  Hresult SetMinUpdateInterval(int64_t interval) override {
    if (interval <= 0) return E_INVALIDARG;
    return lifecycle_.WithPool([&](GdiFramePool& pool) {
      pool.SetInterval(interval);
      return S_OK;
    });
  }

  Hresult StartCapture() override {
    return lifecycle_.Start([&](GdiFramePool& pool) { return pool.StartTimer(target_); });
  }

  Hresult Close() override {
    return lifecycle_.Close([](GdiFramePool& pool) { return pool.StopTimer(); });
  }

 private:
  platform::CaptureSessionLifecycle<GdiFramePool> lifecycle_;
  const Target target_;
};

// ---- the capture service --------------------------------------------------------

class GdiCapture final : public platform::IWindowCapture {
 public:
  bool IsWindow(WindowHandle window) override { return ::IsWindow(static_cast<HWND>(window)) != FALSE; }

  MonitorHandle MonitorFromWindow(WindowHandle window) override {
    return ::MonitorFromWindow(static_cast<HWND>(window), MONITOR_DEFAULTTONEAREST);
  }

  Hresult CreateItemForWindow(WindowHandle window, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    if (!::IsWindow(static_cast<HWND>(window))) return E_INVALIDARG;
    *out = std::make_shared<GdiCaptureItem>(Target{static_cast<HWND>(window), nullptr});
    return S_OK;
  }

  Hresult CreateItemForMonitor(MonitorHandle monitor, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !GetMonitorInfoW(static_cast<HMONITOR>(monitor), &info)) return E_INVALIDARG;
    *out = std::make_shared<GdiCaptureItem>(Target{nullptr, static_cast<HMONITOR>(monitor)});
    return S_OK;
  }

  Hresult CreateFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 size,
                          std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    auto* captureDevice = dynamic_cast<WinCaptureDevice*>(&device);
    if (captureDevice == nullptr || !captureDevice->GpuDevice()) return E_INVALIDARG;
    if (bufferCount < 1 || bufferCount > kMaxBuffers || size.width <= 0 || size.height <= 0) return E_INVALIDARG;
    *out = std::make_shared<GdiFramePool>(captureDevice->GpuDevice(), size, SizeInt32{}, bufferCount);
    return S_OK;
  }

  // StretchBlt scales as it copies.
  Hresult CreateScalingFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 pictureSize, SizeInt32 size,
                                 std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    auto* captureDevice = dynamic_cast<WinCaptureDevice*>(&device);
    if (captureDevice == nullptr || !captureDevice->GpuDevice()) return E_INVALIDARG;
    if (bufferCount < 1 || bufferCount > kMaxBuffers || size.width <= 0 || size.height <= 0 ||
        pictureSize.width < size.width || pictureSize.height < size.height) {
      return E_INVALIDARG;
    }
    *out = std::make_shared<GdiFramePool>(captureDevice->GpuDevice(), size, pictureSize, bufferCount);
    return S_OK;
  }

  Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                               std::shared_ptr<ICaptureSession>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    auto* gdiPool = dynamic_cast<GdiFramePool*>(&pool);
    auto* gdiItem = dynamic_cast<GdiCaptureItem*>(&item);
    if (gdiPool == nullptr || gdiItem == nullptr) return E_INVALIDARG;
    *out = std::make_shared<GdiCaptureSession>(gdiPool->shared_from_this(), gdiItem->GetTarget());
    return S_OK;
  }
};

}  // namespace

platform::IWindowCapture& GdiWindowCapture() {
  static GdiCapture capture;
  return capture;
}

}  // namespace ostrel::win
