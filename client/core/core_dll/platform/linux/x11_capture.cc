// Window capture on X11: the item is a window (or a monitor's area of the
// root window), frames are read from the window's XComposite pixmap (the
// root window for a monitor) through MIT-SHM whenever XDamage reports a
// change, so a still window delivers nothing. The server writes each read
// straight into the frame's texture (its storage is the MIT-SHM segment).
// Each capture session has one pool thread that reads and delivers frames.
// A scaling pool (a target above what the encoders take) has the server
// scale the picture down with RENDER into a pixmap of the pool's size, and
// reads that: nothing of the full size leaves the server.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shm.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/common/capture_session_lifecycle.h"
#include "platform/cpu/cpu_gpu.h"
#include "platform/handler_registry.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_handles.h"
#include "log/log.h"

namespace ostrel::linuxp {
namespace {

using platform::EventToken;
using platform::ICaptureFrame;
using platform::ICaptureItem;
using platform::ICaptureSession;
using platform::IFramePool;
using platform::ITexture;
using platform::SizeInt32;
using platform::cpu::CpuTexture;

// A registry with a lock of its own, for objects with no other state to
// guard with it.
class LockedHandlers {
 public:
  EventToken Add(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    return handlers_.Add(std::move(handler));
  }
  void Remove(EventToken token) {
    std::function<void()> removed;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    removed = handlers_.Remove(token);
  }
  void CallAll() {
    std::unique_lock lock(mutex_);
    handlers_.Raise(lock, handlers_.Tokens(), kNeverStopped);
  }

 private:
  static constexpr bool kNeverStopped = false;
  std::mutex mutex_;
  platform::HandlerRegistry handlers_;
};

// ---- item -------------------------------------------------------------------

class X11Item final : public ICaptureItem,
                      public X11EventListener,
                      public std::enable_shared_from_this<X11Item> {
 public:
  // A window item (monitor.id == 0) or a monitor item (window == 0).
  X11Item(std::shared_ptr<X11Connection> connection, xcb_window_t window, X11Monitor monitor)
      : connection_(std::move(connection)), window_(window), monitor_(monitor) {}
  ~X11Item() override { connection_->RemoveListener(this); }

  SizeInt32 Size() override {
    if (window_ == 0) return {static_cast<int32_t>(monitor_.width), static_cast<int32_t>(monitor_.height)};
    X11Geometry geometry;
    // A window that is not viewable (unmapped, iconified) has no picture.
    if (!connection_->QueryWindow(window_, &geometry) || !geometry.viewable) return {0, 0};
    return {static_cast<int32_t>(geometry.width), static_cast<int32_t>(geometry.height)};
  }

  EventToken AddClosed(std::function<void()> handler) override { return closed_.Add(std::move(handler)); }
  void RemoveClosed(EventToken token) override { closed_.Remove(token); }

  // A window item closes with its window, a monitor item when its output
  // loses its CRTC (switched off) or its connection (unplugged), and every
  // item when the display itself is lost.
  void OnX11Event(const xcb_generic_event_t& event) override {
    const int type = event.response_type & 0x7F;
    bool gone = false;
    if (window_ != 0) {
      gone = type == XCB_DESTROY_NOTIFY &&
             reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window == window_;
    } else if (type == connection_->RandrNotifyEvent()) {
      const auto& notify = reinterpret_cast<const xcb_randr_notify_event_t&>(event);
      // Unplugged may leave the CRTC set until something switches it off.
      gone = notify.subCode == XCB_RANDR_NOTIFY_OUTPUT_CHANGE && notify.u.oc.output == monitor_.id &&
             (notify.u.oc.crtc == XCB_NONE || notify.u.oc.connection == XCB_RANDR_CONNECTION_DISCONNECTED);
    }
    if (gone && !closedFired_.exchange(true)) closed_.CallAll();
  }

  // Without its display no item has a picture any more.
  void OnX11ConnectionLost(const std::wstring& cause) override {
    {
      std::lock_guard lock(causeMutex_);
      cause_ = cause;
    }
    if (!closedFired_.exchange(true)) closed_.CallAll();
  }

  std::wstring ClosedCause() override {
    std::lock_guard lock(causeMutex_);
    return cause_;
  }

  const std::shared_ptr<X11Connection>& Connection() const { return connection_; }
  xcb_window_t Window() const { return window_; }
  const X11Monitor& Monitor() const { return monitor_; }

 private:
  std::shared_ptr<X11Connection> connection_;
  const xcb_window_t window_;
  const X11Monitor monitor_;
  LockedHandlers closed_;
  std::atomic<bool> closedFired_{false};
  std::mutex causeMutex_;
  std::wstring cause_;
};

// ---- frame pool -------------------------------------------------------------

class X11FramePool;

class X11Frame final : public ICaptureFrame {
 public:
  X11Frame(std::shared_ptr<X11FramePool> pool, std::shared_ptr<CpuTexture> texture)
      : pool_(std::move(pool)), texture_(std::move(texture)) {}
  ~X11Frame() override { Close(); }
  Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    if (!texture_) return hr::kFail;
    *out = texture_;
    return hr::kOk;
  }
  void Close() override;

 private:
  std::shared_ptr<X11FramePool> pool_;
  std::shared_ptr<CpuTexture> texture_;
};

// Buffers of the pool's size: free ones, the newest delivered one (until
// taken) and those the host holds as frames.
class X11FramePool final : public IFramePool, public std::enable_shared_from_this<X11FramePool> {
 public:
  // `pictureSize` {0, 0}: frames hold the picture as it is; else a picture
  // of that size is scaled down to `size`.
  X11FramePool(int32_t bufferCount, SizeInt32 size, SizeInt32 pictureSize) : size_(size), pictureSize_(pictureSize) {
    for (int32_t i = 0; i < bufferCount; ++i) {
      auto texture = platform::cpu::CreateSurfaceTexture(size.width, size.height, kMaxTextureExtent);
      if (!texture) break;
      free_.push_back(std::move(texture));
    }
  }

  bool Valid() const { return !free_.empty(); }
  SizeInt32 PoolSize() const { return size_; }
  SizeInt32 PictureSize() const { return pictureSize_; }
  bool Scales() const { return pictureSize_.width > 0 && pictureSize_.height > 0; }

  std::unique_ptr<ICaptureFrame> TryGetNextFrame() override {
    std::lock_guard lock(mutex_);
    if (!ready_) return nullptr;
    return std::make_unique<X11Frame>(shared_from_this(), std::move(ready_));
  }

  EventToken AddFrameArrived(std::function<void()> handler) override { return arrived_.Add(std::move(handler)); }
  void RemoveFrameArrived(EventToken token) override { arrived_.Remove(token); }

  Hresult Close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    if (ready_) free_.push_back(std::move(ready_));
    return hr::kOk;
  }

  // A buffer to read the next frame into; the undelivered newest one when
  // every other buffer is out. Null once closed.
  std::shared_ptr<CpuTexture> AcquireBuffer() {
    std::lock_guard lock(mutex_);
    if (closed_) return nullptr;
    if (!free_.empty()) {
      auto texture = std::move(free_.back());
      free_.pop_back();
      return texture;
    }
    return std::move(ready_);
  }

  // Publishes a filled buffer as the newest frame and calls the handlers.
  void Deliver(std::shared_ptr<CpuTexture> texture) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) {
        free_.push_back(std::move(texture));
        return;
      }
      if (ready_) free_.push_back(std::move(ready_));
      ready_ = std::move(texture);
    }
    arrived_.CallAll();
  }

  void Release(std::shared_ptr<CpuTexture> texture) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(texture));
  }

 private:
  const SizeInt32 size_;
  const SizeInt32 pictureSize_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<CpuTexture>> free_;
  std::shared_ptr<CpuTexture> ready_;
  bool closed_ = false;
  LockedHandlers arrived_;
};

void X11Frame::Close() {
  if (texture_) pool_->Release(std::move(texture_));
}

// ---- shared memory ----------------------------------------------------------

// A texture's pixels in one MIT-SHM segment attached to the server and to
// this process: the server writes a read straight into the texture, and the
// storage keeps its segment when a copy swaps it into another texture.
class ShmStorage final : public platform::cpu::TextureStorage {
 public:
  ShmStorage(std::shared_ptr<X11Connection> connection, size_t size) : connection_(std::move(connection)) {
    xcb_connection_t* c = connection_->Raw();
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
      failure_ = std::string("shmget: ") + std::strerror(errno);
      return;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      failure_ = std::string("shmat: ") + std::strerror(errno);
      shmctl(id, IPC_RMID, nullptr);
      return;
    }
    segment_ = xcb_generate_id(c);
    xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, segment_, id, 0));
    // Once both sides are attached the segment goes when both detach.
    shmctl(id, IPC_RMID, nullptr);
    if (error != nullptr) {
      failure_ = "the server refused to attach it (X error " + std::to_string(error->error_code) + ")";
      std::free(error);
      shmdt(address);
      return;
    }
    Assign(static_cast<uint8_t*>(address), size);
  }
  ~ShmStorage() override {
    if (Data() == nullptr) return;
    xcb_connection_t* c = connection_->Raw();
    xcb_shm_detach(c, segment_);
    xcb_flush(c);
    shmdt(Data());
  }

  bool Valid() const { return Data() != nullptr; }
  // Why the segment was not made; empty when it was.
  const std::string& Failure() const { return failure_; }
  uint32_t Id() const { return segment_; }
  const X11Connection* Connection() const { return connection_.get(); }

 private:
  std::shared_ptr<X11Connection> connection_;
  xcb_shm_seg_t segment_ = 0;
  std::string failure_;
};

// Rows read packed (`width` * 4 bytes each) at the start of `texture` moved
// to the texture's pitch, the rest of every row and the rows below zeroed:
// only a picture narrower or lower than the texture pays for this.
void SpreadPackedRows(platform::cpu::CpuTexture& texture, uint32_t width, uint32_t height) {
  const platform::TextureDesc desc = texture.Desc();
  const size_t packedPitch = static_cast<size_t>(width) * 4;
  const size_t pitch = texture.RowPitch();
  const size_t rowBytes = static_cast<size_t>(desc.width) * 4;
  uint8_t* data = texture.Data();
  if (height < desc.height) std::memset(data + pitch * height, 0, pitch * (desc.height - height));
  if (packedPitch == pitch) return;
  // From the last row up: a row's new place never overlaps a row not yet moved.
  for (uint32_t row = height; row-- > 0;) {
    uint8_t* out = data + row * pitch;
    std::memmove(out, data + row * packedPitch, packedPitch);
    std::memset(out + packedPitch, 0, rowBytes - packedPitch);
  }
}

// ---- capture session --------------------------------------------------------

class X11CaptureSession final : public ICaptureSession, public X11EventListener {
 public:
  X11CaptureSession(std::shared_ptr<X11FramePool> pool, std::shared_ptr<X11Item> item)
      : lifecycle_(std::move(pool)), item_(std::move(item)), connection_(item_->Connection()) {}
  ~X11CaptureSession() override { Close(); }

  // There is no capture border on X11.
  Hresult IsBorderPropertyPresent(bool* present) override {
    if (present == nullptr) return hr::kInvalidArg;
    *present = false;
    return hr::kOk;
  }
  Hresult SetBorderRequired(bool) override { return hr::kOk; }
  // Damage drives delivery, but reads keep three quarters of the frame
  // period apart: a window drawn in several requests damages several times
  // a frame, and reads closer than that would only be dropped by the core's
  // rate gate after the server copied the whole picture.
  Hresult SetMinUpdateInterval(int64_t interval) override {
    if (interval < 0) return hr::kInvalidArg;
    std::lock_guard lock(mutex_);
    minReadSpacing_ = std::chrono::nanoseconds(interval * 100 * 3 / 4);
    return hr::kOk;
  }

  void SetProblemLog(std::function<void(const std::wstring&)> log) override { problemLog_ = std::move(log); }

  Hresult StartCapture() override {
    return lifecycle_.Start([this](X11FramePool& pool) { return StartReading(pool); });
  }

  Hresult Close() override {
    return lifecycle_.Close([this](X11FramePool&) {
      StopReading();
      return hr::kOk;
    });
  }

  void OnX11Event(const xcb_generic_event_t& event) override {
    const uint8_t type = event.response_type & 0x7F;
    const xcb_window_t window = item_->Window();
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (type == connection_->DamageEventBase() + XCB_DAMAGE_NOTIFY) {
        const auto& damage = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
        if (damage.damage == damage_) dirty_ = wake = true;
      } else if (window != 0 && type == XCB_CONFIGURE_NOTIFY) {
        const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        // A new size needs a new pixmap; a move keeps it.
        if (configure.window == window &&
            (configure.width != geometry_.width || configure.height != geometry_.height)) {
          renamePixmap_ = dirty_ = wake = true;
        }
      } else if (window != 0 && type == XCB_MAP_NOTIFY) {
        if (reinterpret_cast<const xcb_map_notify_event_t&>(event).window == window) {
          renamePixmap_ = dirty_ = wake = true;
        }
      } else if (window != 0 && type == XCB_UNMAP_NOTIFY) {
        if (reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window == window) renamePixmap_ = wake = true;
      } else if (window != 0 && type == XCB_DESTROY_NOTIFY) {
        if (reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window == window) gone_ = wake = true;
      }
    }
    if (wake) cv_.notify_one();
  }

  // Nothing more can be read; the pool thread idles until Close.
  void OnX11ConnectionLost(const std::wstring&) override {
    {
      std::lock_guard lock(mutex_);
      gone_ = true;
    }
    cv_.notify_one();
  }

 private:
  // Redirects the window, asks for its damage and starts the pool thread.
  Hresult StartReading(X11FramePool& pool) {
    xcb_connection_t* c = connection_->Raw();
    const xcb_window_t window = item_->Window();
    if (window != 0) {
      if (!connection_->HasComposite()) return hr::kDxgiUnsupported;
      // Off-screen storage of the window's own, whatever covers it.
      xcb_composite_redirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      redirected_ = true;
      const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
    }
    if (connection_->DamageEventBase() == 0) return hr::kDxgiUnsupported;
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, window != 0 ? window : connection_->Root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(c);
    useShm_ = connection_->HasShm();
    connection_->AddListener(this);
    {
      std::lock_guard stateLock(mutex_);
      // The first frame is read at once, as it stands.
      renamePixmap_ = true;
      dirty_ = true;
    }
    // The lifecycle holds the pool until the thread is joined at Close.
    thread_ = std::thread([this, &pool] { PoolThread(pool); });
    return hr::kOk;
  }

  // Joins the pool thread and gives back what StartReading asked for.
  void StopReading() {
    {
      std::lock_guard stateLock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    connection_->RemoveListener(this);
    xcb_connection_t* c = connection_->Raw();
    FreeScaling();
    if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
    pixmap_ = 0;
    xcb_damage_destroy(c, damage_);
    if (redirected_) xcb_composite_unredirect_window(c, item_->Window(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(c);
  }

  void PoolThread(X11FramePool& pool) {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || dirty_ || renamePixmap_; });
      if (stop_) return;
      if (gone_) {
        dirty_ = renamePixmap_ = false;
        continue;
      }
      if (!renamePixmap_) {
        // A change too soon after the last read waits; later ones join it.
        const auto due = lastRead_ + minReadSpacing_;
        if (std::chrono::steady_clock::now() < due) {
          cv_.wait_until(lock, due, [this] { return stop_ || renamePixmap_; });
          if (stop_) return;
          if (gone_) continue;
        }
      }
      const bool rename = renamePixmap_;
      const bool read = dirty_;
      renamePixmap_ = dirty_ = false;
      if (read) lastRead_ = std::chrono::steady_clock::now();
      lock.unlock();
      if (rename) RenamePixmap();
      if (read) ReadFrame(pool);
      lock.lock();
    }
  }

  // The window's current pixmap: named while the window is viewable, none
  // otherwise (it is named again when the window is mapped).
  void RenamePixmap() {
    xcb_connection_t* c = connection_->Raw();
    const xcb_window_t window = item_->Window();
    if (window == 0) return;
    FreeSourcePicture();
    if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
    pixmap_ = 0;
    X11Geometry geometry;
    if (!connection_->QueryWindow(window, &geometry) || !geometry.viewable) return;
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window, pixmap));
    if (error != nullptr) {
      ReportXError(L"naming the window's pixmap", error);
      std::free(error);
      return;
    }
    pixmap_ = pixmap;
    std::lock_guard lock(mutex_);
    geometry_ = geometry;
  }

  // Reads the picture into a pool buffer and delivers it. The damage is
  // cleared first, so a change during the read reports again.
  void ReadFrame(X11FramePool& pool) {
    xcb_connection_t* c = connection_->Raw();
    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
    xcb_drawable_t source = 0;
    int32_t x = 0, y = 0;
    uint32_t width = 0, height = 0;
    if (item_->Window() != 0) {
      if (pixmap_ == 0) {
        xcb_flush(c);
        return;
      }
      X11Geometry geometry;
      {
        std::lock_guard lock(mutex_);
        geometry = geometry_;
      }
      // The named pixmap holds the border around the contents.
      source = pixmap_;
      x = geometry.border;
      y = geometry.border;
      width = geometry.width;
      height = geometry.height;
    } else {
      const X11Monitor& monitor = item_->Monitor();
      source = connection_->Root();
      x = monitor.x;
      y = monitor.y;
      width = monitor.width;
      height = monitor.height;
    }
    std::shared_ptr<CpuTexture> texture = pool.AcquireBuffer();
    if (!texture) {
      xcb_flush(c);
      return;
    }
    if (pool.Scales() && width != 0 && height != 0) {
      if (!ScaleIntoPixmap(pool, source, x, y, &width, &height)) {
        pool.Release(std::move(texture));
        return;
      }
      source = scaledPixmap_;
      x = y = 0;
    }
    // Frames have the pool's size: a larger picture is cut, a smaller one
    // padded with black.
    const SizeInt32 size = pool.PoolSize();
    width = std::min<uint32_t>(width, static_cast<uint32_t>(size.width));
    height = std::min<uint32_t>(height, static_cast<uint32_t>(size.height));
    if (width == 0 || height == 0 || !ReadPixels(source, x, y, width, height, *texture)) {
      pool.Release(std::move(texture));
      return;
    }
    pool.Deliver(std::move(texture));
  }

  // The texture's storage as an MIT-SHM segment of this connection: its
  // own, or a new one in place of heap memory a copy swapped in (so after the
  // first rounds every buffer the frames travel through is a segment). Null
  // when the server takes no segment; reads then go through the socket.
  ShmStorage* ShmStorageOf(CpuTexture& texture) {
    if (!useShm_) return nullptr;
    auto* storage = dynamic_cast<ShmStorage*>(&texture.Storage());
    if (storage != nullptr && storage->Connection() == connection_.get()) return storage;
    auto segment = std::make_unique<ShmStorage>(connection_, texture.ByteSize());
    storage = segment.get();
    const std::string failure = segment->Valid() ? "the texture did not take it" : segment->Failure();
    if (!segment->Valid() || !texture.ReplaceStorage(std::move(segment))) {
      Report(L"no MIT-SHM segment of " + std::to_wstring(texture.ByteSize()) + L" bytes (" + Wide(failure) +
             L") - frames are read through the socket");
      useShm_ = false;
      return nullptr;
    }
    return storage;
  }

  bool ReadPixels(xcb_drawable_t source, int32_t x, int32_t y, uint32_t width, uint32_t height,
                  CpuTexture& texture) {
    xcb_connection_t* c = connection_->Raw();
    const auto x16 = static_cast<int16_t>(x), y16 = static_cast<int16_t>(y);
    const auto width16 = static_cast<uint16_t>(width), height16 = static_cast<uint16_t>(height);
    // 24- and 32-bit pictures are 4 bytes per pixel, B G R X in memory.
    const auto fourBytesPerPixel = [](uint8_t depth) { return depth == 24 || depth == 32; };
    xcb_generic_error_t* error = nullptr;
    if (ShmStorage* storage = ShmStorageOf(texture)) {
      // The server writes the rows packed at the start of the texture.
      std::unique_ptr<xcb_shm_get_image_reply_t, decltype(&std::free)> reply(
          xcb_shm_get_image_reply(c,
                                  xcb_shm_get_image(c, source, x16, y16, width16, height16, ~0u,
                                                    XCB_IMAGE_FORMAT_Z_PIXMAP, storage->Id(), 0),
                                  &error),
          &std::free);
      if (!reply) return ReadFailed(L"MIT-SHM read of the picture", error);
      if (!fourBytesPerPixel(reply->depth)) return UnreadableDepth(reply->depth);
      SpreadPackedRows(texture, width, height);
      return true;
    }
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, source, x16, y16, width16, height16, ~0u),
                            &error),
        &std::free);
    if (!reply) return ReadFailed(L"reading the picture through the socket", error);
    if (!fourBytesPerPixel(reply->depth)) return UnreadableDepth(reply->depth);
    const size_t packedPitch = static_cast<size_t>(width) * 4;
    const uint8_t* pixels = xcb_get_image_data(reply.get());
    for (uint32_t row = 0; row < height; ++row) {
      std::memcpy(texture.Data() + row * packedPitch, pixels + row * packedPitch, packedPitch);
    }
    SpreadPackedRows(texture, width, height);
    return true;
  }

  // The server scales the picture (`width` x `height` at `x`, `y` of
  // `source`) into the pool-sized pixmap by the pool's ratios; `width` and
  // `height` become the scaled picture's size. False when it could not
  // (reported).
  bool ScaleIntoPixmap(X11FramePool& pool, xcb_drawable_t source, int32_t x, int32_t y, uint32_t* width,
                       uint32_t* height) {
    xcb_connection_t* c = connection_->Raw();
    const SizeInt32 size = pool.PoolSize();
    const SizeInt32 picture = pool.PictureSize();
    if (scaledPixmap_ == 0) {
      const xcb_render_pictformat_t format = connection_->PictFormat(24);
      if (format == 0) {
        Report(L"the X server offers no RENDER 0.6 with a 24-bit picture format to scale the picture with - no "
               L"frame while it lasts");
        return false;
      }
      scaledPixmap_ = xcb_generate_id(c);
      xcb_create_pixmap(c, 24, scaledPixmap_, connection_->Root(), static_cast<uint16_t>(size.width),
                        static_cast<uint16_t>(size.height));
      scaledPicture_ = xcb_generate_id(c);
      xcb_render_create_picture(c, scaledPicture_, scaledPixmap_, format, 0, nullptr);
    }
    if (sourcePicture_ == 0 && !CreateSourcePicture(source)) return false;
    // The transform maps the scaled pixmap's pixels to the source's (16.16
    // fixed point); edges repeat their last pixels instead of fading to
    // transparent.
    const double sx = static_cast<double>(picture.width) / size.width;
    const double sy = static_cast<double>(picture.height) / size.height;
    const auto fixed = [](double value) { return static_cast<xcb_render_fixed_t>(std::lround(value * 65536.0)); };
    xcb_render_set_picture_transform(c, sourcePicture_,
                                     xcb_render_transform_t{fixed(sx), 0, fixed(x), 0, fixed(sy), fixed(y), 0, 0,
                                                            fixed(1.0)});
    *width = std::min<uint32_t>(static_cast<uint32_t>(std::lround(*width / sx)), static_cast<uint32_t>(size.width));
    *height =
        std::min<uint32_t>(static_cast<uint32_t>(std::lround(*height / sy)), static_cast<uint32_t>(size.height));
    if (*width == 0 || *height == 0) return false;
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_render_composite_checked(c, XCB_RENDER_PICT_OP_SRC, sourcePicture_, XCB_NONE, scaledPicture_, 0, 0, 0,
                                        0, 0, 0, static_cast<uint16_t>(*width), static_cast<uint16_t>(*height)));
    if (error != nullptr) return ReadFailed(L"scaling the picture with RENDER", error);
    return true;
  }

  bool CreateSourcePicture(xcb_drawable_t source) {
    xcb_connection_t* c = connection_->Raw();
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, source), nullptr), &std::free);
    if (!geometry) return false;
    const xcb_render_pictformat_t format = connection_->PictFormat(geometry->depth);
    if (format == 0) return UnreadableDepth(geometry->depth);
    // A monitor's picture is the root window with the windows on it.
    const uint32_t values[] = {XCB_RENDER_REPEAT_PAD, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_render_create_picture_checked(c, picture, source, format,
                                             XCB_RENDER_CP_REPEAT | XCB_RENDER_CP_SUBWINDOW_MODE, values));
    if (error != nullptr) return ReadFailed(L"making a RENDER picture of the window", error);
    // "good": the server's filter for scaling down (bilinear in pixman).
    static constexpr char kFilter[] = "good";
    xcb_render_set_picture_filter(c, picture, sizeof kFilter - 1, kFilter, 0, nullptr);
    sourcePicture_ = picture;
    return true;
  }

  void FreeSourcePicture() {
    if (sourcePicture_ != 0) xcb_render_free_picture(connection_->Raw(), sourcePicture_);
    sourcePicture_ = 0;
  }

  void FreeScaling() {
    xcb_connection_t* c = connection_->Raw();
    FreeSourcePicture();
    if (scaledPicture_ != 0) xcb_render_free_picture(c, scaledPicture_);
    if (scaledPixmap_ != 0) xcb_free_pixmap(c, scaledPixmap_);
    scaledPicture_ = 0;
    scaledPixmap_ = 0;
  }

  // A read the server refused: reported once per request kind and error
  // code (a lost connection is reported as such elsewhere). Takes `error`.
  bool ReadFailed(const std::wstring& what, xcb_generic_error_t* error) {
    if (error != nullptr) {
      ReportXError(what, error);
      std::free(error);
    }
    return false;
  }

  void ReportXError(const std::wstring& what, const xcb_generic_error_t* error) {
    Report(what + L" failed: X error " + std::to_wstring(error->error_code) + L" (request " +
           std::to_wstring(error->major_code) + L"." + std::to_wstring(error->minor_code) +
           L") - no frame while it lasts");
  }

  bool UnreadableDepth(uint8_t depth) {
    Report(L"the picture has depth " + std::to_wstring(depth) +
           L" (only 24- and 32-bit pictures are recorded) - no frame while it lasts");
    return false;
  }

  // One line per cause for the session's log; pool thread only.
  void Report(const std::wstring& cause) {
    if (!reported_.insert(cause).second || !problemLog_) return;
    problemLog_(L"[DIAG-X11-READ] " + cause + L" t=" + NowStamp());
  }

  static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

  platform::CaptureSessionLifecycle<X11FramePool> lifecycle_;
  std::shared_ptr<X11Item> item_;
  std::shared_ptr<X11Connection> connection_;
  // Set before the pool thread starts; then read by it.
  std::function<void(const std::wstring&)> problemLog_;
  std::set<std::wstring> reported_;                 // pool thread only
  xcb_render_picture_t sourcePicture_ = 0;          // pool thread only (and Close after it)
  xcb_pixmap_t scaledPixmap_ = 0;                   // pool thread only (and Close after it)
  xcb_render_picture_t scaledPicture_ = 0;          // pool thread only (and Close after it)

  // Set while starting (under the lifecycle's lock), read again at Close.
  bool redirected_ = false;
  xcb_damage_damage_t damage_ = 0;
  bool useShm_ = false;      // set at start, then pool thread only
  xcb_pixmap_t pixmap_ = 0;  // pool thread only
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool dirty_ = false;
  bool renamePixmap_ = false;
  bool gone_ = false;
  X11Geometry geometry_;
  std::chrono::steady_clock::duration minReadSpacing_{0};
  std::chrono::steady_clock::time_point lastRead_;
};

// ---- the service ------------------------------------------------------------

class X11WindowCapture final : public platform::IWindowCapture {
 public:
  std::wstring UnavailableReason() override {
    if (X11Connection::Current()) return {};
    const char* display = std::getenv("DISPLAY");
    const std::string text = std::string("cannot connect to X display \"") + (display != nullptr ? display : "") +
                             "\" (no X server answers there)";
    std::wstring wide;
    for (const char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
  }

  bool IsWindow(platform::WindowHandle window) override {
    auto connection = X11Connection::Current();
    return connection && connection->QueryWindow(XidOf(window), nullptr);
  }

  // The monitor holding the window's centre, else the nearest one.
  platform::MonitorHandle MonitorFromWindow(platform::WindowHandle window) override {
    auto connection = X11Connection::Current();
    if (!connection) return nullptr;
    X11Geometry geometry;
    if (!connection->QueryWindow(XidOf(window), &geometry)) return nullptr;
    const int64_t cx = geometry.x + static_cast<int64_t>(geometry.width) / 2;
    const int64_t cy = geometry.y + static_cast<int64_t>(geometry.height) / 2;
    uint32_t best = 0;
    int64_t bestDistance = INT64_MAX;
    for (const X11Monitor& monitor : connection->Monitors()) {
      const int64_t dx = std::max<int64_t>({monitor.x - cx, 0, cx - (monitor.x + int64_t{monitor.width} - 1)});
      const int64_t dy = std::max<int64_t>({monitor.y - cy, 0, cy - (monitor.y + int64_t{monitor.height} - 1)});
      const int64_t distance = dx * dx + dy * dy;
      if (distance < bestDistance) {
        bestDistance = distance;
        best = monitor.id;
      }
    }
    return best != 0 ? HandleOf(best) : nullptr;
  }

  Hresult CreateItemForWindow(platform::WindowHandle window, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto connection = X11Connection::Current();
    if (!connection) return hr::kInvalidArg;
    const xcb_window_t xid = XidOf(window);
    if (!connection->QueryWindow(xid, nullptr)) return hr::kInvalidArg;
    auto item = std::make_shared<X11Item>(connection, xid, X11Monitor{});
    // The item learns of the window's end from its structure events.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection->Raw(), xid, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection->Raw());
    connection->AddListener(item.get());
    *out = std::move(item);
    return hr::kOk;
  }

  Hresult CreateItemForMonitor(platform::MonitorHandle monitor, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto connection = X11Connection::Current();
    if (!connection) return hr::kInvalidArg;
    for (const X11Monitor& candidate : connection->Monitors()) {
      if (candidate.id != XidOf(monitor)) continue;
      auto item = std::make_shared<X11Item>(connection, 0, candidate);
      connection->AddListener(item.get());
      *out = std::move(item);
      return hr::kOk;
    }
    return hr::kInvalidArg;
  }

  Hresult CreateFramePool(platform::ICaptureDevice&, int32_t bufferCount, SizeInt32 size,
                          std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (bufferCount <= 0 || size.width <= 0 || size.height <= 0) return hr::kInvalidArg;
    auto pool = std::make_shared<X11FramePool>(bufferCount, size, SizeInt32{});
    if (!pool->Valid()) return hr::kInvalidArg;
    *out = std::move(pool);
    return hr::kOk;
  }

  // The server scales with RENDER; a server without it gets the pool the
  // picture's size.
  Hresult CreateScalingFramePool(platform::ICaptureDevice&, int32_t bufferCount, SizeInt32 pictureSize,
                                 SizeInt32 size, std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto connection = X11Connection::Current();
    if (!connection || connection->PictFormat(24) == 0) return hr::kNotImplemented;
    if (bufferCount <= 0 || size.width <= 0 || size.height <= 0 || pictureSize.width < size.width ||
        pictureSize.height < size.height) {
      return hr::kInvalidArg;
    }
    auto pool = std::make_shared<X11FramePool>(bufferCount, size, pictureSize);
    if (!pool->Valid()) return hr::kInvalidArg;
    *out = std::move(pool);
    return hr::kOk;
  }

  Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                               std::shared_ptr<ICaptureSession>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto* x11Pool = dynamic_cast<X11FramePool*>(&pool);
    auto* x11Item = dynamic_cast<X11Item*>(&item);
    if (x11Pool == nullptr || x11Item == nullptr) return hr::kInvalidArg;
    *out = std::make_shared<X11CaptureSession>(x11Pool->shared_from_this(), x11Item->shared_from_this());
    return hr::kOk;
  }
};

}  // namespace

platform::IWindowCapture& WindowCapture() {
  static X11WindowCapture capture;
  return capture;
}

}  // namespace ostrel::linuxp
