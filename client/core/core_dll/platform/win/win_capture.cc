// Window capture through Windows.Graphics.Capture: items from the desktop
// interop factory, the free-threaded frame pool (recreated when the content
// size changes), the capture session, the border setting through
// ApiInformation with borderless access asked for first, and cursor capture.
//
// A window's frames show its whole image (title bar and frame included);
// what is recorded is its client area within that image, as the GDI source
// records it.
#include <d3d11.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/win/wgc_abi.h"
#include "platform/win/win_backend.h"
#include "platform/win/win_capture_device.h"
#include "platform/win/win_capture_winrt.h"
#include "platform/win/win_com.h"
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

constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x80000013);  // RO_E_CLOSED
// How long a borderless access request may take; desktop apps get their
// answer without a prompt, at once.
constexpr auto kAccessRequestTimeout = std::chrono::seconds(2);

EventToken FromToken(EventRegistrationToken token) { return static_cast<EventToken>(token.value); }
EventRegistrationToken ToToken(EventToken token) { return EventRegistrationToken{static_cast<INT64>(token)}; }

HRESULT CloseObject(IUnknown* object) {
  if (object == nullptr) return S_OK;
  ComPtr<wgc::IClosable> closable;
  HRESULT result = object->QueryInterface(__uuidof(wgc::IClosable), reinterpret_cast<void**>(closable.GetAddressOf()));
  if (FAILED(result)) return result;
  return closable->Close();
}

// GraphicsCaptureAccess::RequestAccessAsync(Borderless), waited for by
// polling its status. S_OK once granted (remembered for the process);
// S_FALSE where the class is missing (the system has no such access to
// give); E_ACCESSDENIED when refused; the failing code otherwise.
HRESULT RequestBorderlessAccess() {
  static std::atomic<bool> granted{false};
  if (granted.load()) return S_OK;
  ComPtr<wgc::IGraphicsCaptureAccessStatics> access;
  HRESULT result = GetActivationFactory(wgc::kGraphicsCaptureAccessClass, access);
  if (result == kClassNotRegistered) return S_FALSE;
  if (FAILED(result)) return result;
  ComPtr<wgc::IAsyncOperationAccessStatus> operation;
  result = access->RequestAccessAsync(wgc::GraphicsCaptureAccessKind::Borderless, operation.GetAddressOf());
  if (FAILED(result)) return result;
  if (!operation) return E_POINTER;
  ComPtr<wgc::IAsyncInfo> info;
  result = operation.As(&info);
  if (FAILED(result)) return result;
  const auto deadline = std::chrono::steady_clock::now() + kAccessRequestTimeout;
  wgc::AsyncStatus status = wgc::AsyncStatus::Started;
  for (;;) {
    result = info->get_Status(&status);
    if (FAILED(result)) return result;
    if (status != wgc::AsyncStatus::Started) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      info->Cancel();
      return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (status != wgc::AsyncStatus::Completed) {
    HRESULT error = E_FAIL;
    info->get_ErrorCode(&error);
    return FAILED(error) ? error : E_FAIL;
  }
  wgc::AppCapabilityAccessStatus answer = wgc::AppCapabilityAccessStatus::DeniedBySystem;
  result = operation->GetResults(&answer);
  if (FAILED(result)) return result;
  if (answer != wgc::AppCapabilityAccessStatus::Allowed) return E_ACCESSDENIED;
  granted.store(true);
  return S_OK;
}

// ---- item -----------------------------------------------------------------------

// A window's item records its client area; a monitor's (window null) all
// of it.
class WgcCaptureItem final : public ICaptureItem {
 public:
  WgcCaptureItem(ComPtr<wgc::IGraphicsCaptureItem> item, HWND window) : item_(std::move(item)), window_(window) {}

  SizeInt32 Size() override {
    if (window_ == nullptr) return ContentSize();
    PhysicalPixelsScope physical;
    SIZE client{};
    if (!ClientAreaSize(window_, &client)) return {0, 0};
    return {client.cx, client.cy};
  }

  SizeInt32 ContentSize() override {
    wgc::SizeInt32 size{0, 0};
    if (FAILED(item_->get_Size(&size))) return {0, 0};
    return {size.Width, size.Height};
  }

  EventToken AddClosed(std::function<void()> handler) override {
    ComPtr<wgc::ItemClosedHandler> delegate = ItemClosedDelegate::Create(std::move(handler));
    EventRegistrationToken token{0};
    if (!delegate || FAILED(item_->add_Closed(delegate.Get(), &token))) return 0;
    return FromToken(token);
  }

  void RemoveClosed(EventToken token) override {
    if (token != 0) item_->remove_Closed(ToToken(token));
  }

  wgc::IGraphicsCaptureItem* Native() const { return item_.Get(); }
  HWND Window() const { return window_; }

 private:
  ComPtr<wgc::IGraphicsCaptureItem> item_;
  const HWND window_;
};

// ---- frame ----------------------------------------------------------------------

class WgcCaptureFrame final : public ICaptureFrame {
 public:
  WgcCaptureFrame(ComPtr<wgc::IDirect3D11CaptureFrame> frame, HWND window)
      : frame_(std::move(frame)), window_(window) {}
  ~WgcCaptureFrame() override { Close(); }
  WgcCaptureFrame(const WgcCaptureFrame&) = delete;
  WgcCaptureFrame& operator=(const WgcCaptureFrame&) = delete;

  Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    if (!frame_) return kObjectClosed;
    ComPtr<IInspectable> surface;
    HRESULT result = frame_->get_Surface(surface.GetAddressOf());
    if (FAILED(result)) return result;
    if (!surface) return E_POINTER;
    ComPtr<wgc::IDirect3DDxgiInterfaceAccess> access;
    result = surface.As(&access);
    if (FAILED(result)) return result;
    ComPtr<ID3D11Texture2D> texture;
    result = access->GetInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture.GetAddressOf()));
    if (FAILED(result)) return result;
    *out = WrapTexture(texture.Get());
    return *out ? S_OK : E_POINTER;
  }

  SizeInt32 ContentSize() override {
    wgc::SizeInt32 size{0, 0};
    if (!frame_ || FAILED(frame_->get_ContentSize(&size))) return {0, 0};
    return {size.Width, size.Height};
  }

  // The client area as the window stands now; between a resize and the
  // frame that shows it, the two may differ by that resize.
  platform::RectInt32 RecordedRegion() override {
    if (window_ == nullptr) return {};
    PhysicalPixelsScope physical;
    RECT area{};
    if (!ClientAreaInWindowImage(window_, &area)) return {};
    return {area.left, area.top, area.right - area.left, area.bottom - area.top};
  }

  void Close() override {
    if (!frame_) return;
    CloseObject(frame_.Get());
    frame_.Reset();
  }

 private:
  ComPtr<wgc::IDirect3D11CaptureFrame> frame_;
  const HWND window_;
};

// ---- frame pool -----------------------------------------------------------------

class WgcFramePool final : public IFramePool {
 public:
  WgcFramePool(ComPtr<wgc::IDirect3D11CaptureFramePool> pool, ComPtr<wgc::IDirect3DDevice> device,
               int32_t bufferCount)
      : pool_(std::move(pool)), device_(std::move(device)), bufferCount_(bufferCount) {}

  std::unique_ptr<ICaptureFrame> TryGetNextFrame() override {
    ComPtr<wgc::IDirect3D11CaptureFrame> frame;
    if (FAILED(pool_->TryGetNextFrame(frame.GetAddressOf())) || !frame) return nullptr;
    return std::make_unique<WgcCaptureFrame>(std::move(frame), window_.load());
  }

  // Microsoft's documented reaction to a new ContentSize, from the
  // FrameArrived handler: same device, format and buffer count.
  Hresult Recreate(SizeInt32 size) override {
    if (size.width <= 0 || size.height <= 0) return E_INVALIDARG;
    return pool_->Recreate(device_.Get(), wgc::DirectXPixelFormat::B8G8R8A8UIntNormalized, bufferCount_,
                           wgc::SizeInt32{size.width, size.height});
  }

  // The window whose client area the frames record (null: a monitor).
  void SetWindow(HWND window) { window_.store(window); }

  EventToken AddFrameArrived(std::function<void()> handler) override {
    ComPtr<wgc::FrameArrivedHandler> delegate = FrameArrivedDelegate::Create(std::move(handler));
    EventRegistrationToken token{0};
    if (!delegate || FAILED(pool_->add_FrameArrived(delegate.Get(), &token))) return 0;
    return FromToken(token);
  }

  void RemoveFrameArrived(EventToken token) override {
    if (token != 0) pool_->remove_FrameArrived(ToToken(token));
  }

  Hresult Close() override { return CloseObject(pool_.Get()); }

  wgc::IDirect3D11CaptureFramePool* Native() const { return pool_.Get(); }

 private:
  ComPtr<wgc::IDirect3D11CaptureFramePool> pool_;
  ComPtr<wgc::IDirect3DDevice> device_;
  const int32_t bufferCount_;
  std::atomic<HWND> window_{nullptr};
};

// ---- session --------------------------------------------------------------------

class WgcCaptureSession final : public ICaptureSession {
 public:
  explicit WgcCaptureSession(ComPtr<wgc::IGraphicsCaptureSession> session) : session_(std::move(session)) {}

  Hresult IsBorderPropertyPresent(bool* present) override {
    if (present == nullptr) return E_INVALIDARG;
    *present = false;
    ComPtr<wgc::IApiInformationStatics> information;
    HRESULT result = GetActivationFactory(wgc::kApiInformationClass, information);
    if (FAILED(result)) return result;
    HStringReference type(wgc::kCaptureSessionClass);
    HStringReference property(L"IsBorderRequired");
    if (FAILED(type.status())) return type.status();
    if (FAILED(property.status())) return property.status();
    boolean answer = 0;
    result = information->IsPropertyPresent(type.get(), property.get(), &answer);
    if (FAILED(result)) return result;
    *present = answer != 0;
    return S_OK;
  }

  // Without borderless access the system ignores IsBorderRequired = false;
  // a request it refuses is reported (E_ACCESSDENIED) after the setting is
  // made anyway, in case a later Windows honours it.
  Hresult SetBorderRequired(bool required) override {
    ComPtr<wgc::IGraphicsCaptureSession3> session3;
    HRESULT result = session_.As(&session3);
    if (FAILED(result)) return result;
    const HRESULT access = required ? S_OK : RequestBorderlessAccess();
    result = session3->put_IsBorderRequired(required ? 1 : 0);
    return FAILED(result) ? result : access;
  }

  // IsCursorCaptureEnabled is there from Windows 10 2004 (19041); before
  // that the cursor is always drawn and this answers E_NOINTERFACE.
  Hresult SetCursorCaptureEnabled(bool enabled) override {
    ComPtr<wgc::IGraphicsCaptureSession2> session2;
    HRESULT result = session_.As(&session2);
    if (FAILED(result)) return result;
    return session2->put_IsCursorCaptureEnabled(enabled ? 1 : 0);
  }

  // Windows.Graphics.Capture delivers on content changes at the display's
  // rate and the frame handler keeps one per frame slot, so the platform's
  // own interval is kept.
  Hresult SetMinUpdateInterval(int64_t) override { return S_OK; }

  Hresult StartCapture() override { return session_->StartCapture(); }

  Hresult Close() override { return CloseObject(session_.Get()); }

 private:
  ComPtr<wgc::IGraphicsCaptureSession> session_;
};

// ---- the capture service --------------------------------------------------------

class WgcCapture final : public platform::IWindowCapture {
 public:
  bool IsWindow(WindowHandle window) override { return ::IsWindow(static_cast<HWND>(window)) != FALSE; }

  MonitorHandle MonitorFromWindow(WindowHandle window) override {
    return ::MonitorFromWindow(static_cast<HWND>(window), MONITOR_DEFAULTTONEAREST);
  }

  Hresult CreateItemForWindow(WindowHandle window, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    ComPtr<wgc::IGraphicsCaptureItemInterop> interop;
    HRESULT result = GetActivationFactory(wgc::kGraphicsCaptureItemClass, interop);
    if (FAILED(result)) return result;
    ComPtr<wgc::IGraphicsCaptureItem> item;
    result = interop->CreateForWindow(static_cast<HWND>(window), __uuidof(wgc::IGraphicsCaptureItem),
                                      reinterpret_cast<void**>(item.GetAddressOf()));
    if (FAILED(result)) return result;
    if (!item) return E_POINTER;
    *out = std::make_shared<WgcCaptureItem>(std::move(item), static_cast<HWND>(window));
    return S_OK;
  }

  Hresult CreateItemForMonitor(MonitorHandle monitor, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    ComPtr<wgc::IGraphicsCaptureItemInterop> interop;
    HRESULT result = GetActivationFactory(wgc::kGraphicsCaptureItemClass, interop);
    if (FAILED(result)) return result;
    ComPtr<wgc::IGraphicsCaptureItem> item;
    result = interop->CreateForMonitor(static_cast<HMONITOR>(monitor), __uuidof(wgc::IGraphicsCaptureItem),
                                       reinterpret_cast<void**>(item.GetAddressOf()));
    if (FAILED(result)) return result;
    if (!item) return E_POINTER;
    *out = std::make_shared<WgcCaptureItem>(std::move(item), nullptr);
    return S_OK;
  }

  Hresult CreateFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 size,
                          std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    auto* captureDevice = dynamic_cast<WinCaptureDevice*>(&device);
    if (captureDevice == nullptr) return E_INVALIDARG;
    ComPtr<wgc::IDirect3DDevice> winrtDevice;
    if (IInspectable* inspectable = captureDevice->WinRtDevice()) {
      HRESULT result = inspectable->QueryInterface(__uuidof(wgc::IDirect3DDevice),
                                                   reinterpret_cast<void**>(winrtDevice.GetAddressOf()));
      if (FAILED(result)) return result;
    }
    if (!winrtDevice) return E_NOINTERFACE;  // a device without WinRT interop
    ComPtr<wgc::IDirect3D11CaptureFramePoolStatics2> statics;
    HRESULT result = GetActivationFactory(wgc::kFramePoolClass, statics);
    if (FAILED(result)) return result;
    ComPtr<wgc::IDirect3D11CaptureFramePool> pool;
    result = statics->CreateFreeThreaded(winrtDevice.Get(), wgc::DirectXPixelFormat::B8G8R8A8UIntNormalized,
                                         bufferCount, wgc::SizeInt32{size.width, size.height}, pool.GetAddressOf());
    if (FAILED(result)) return result;
    if (!pool) return E_POINTER;
    *out = std::make_shared<WgcFramePool>(std::move(pool), std::move(winrtDevice), bufferCount);
    return S_OK;
  }

  Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                               std::shared_ptr<ICaptureSession>* out) override {
    if (out == nullptr) return E_INVALIDARG;
    out->reset();
    auto* wgcPool = dynamic_cast<WgcFramePool*>(&pool);
    auto* wgcItem = dynamic_cast<WgcCaptureItem*>(&item);
    if (wgcPool == nullptr || wgcItem == nullptr) return E_INVALIDARG;
    ComPtr<wgc::IGraphicsCaptureSession> session;
    HRESULT result = wgcPool->Native()->CreateCaptureSession(wgcItem->Native(), session.GetAddressOf());
    if (FAILED(result)) return result;
    if (!session) return E_POINTER;
    wgcPool->SetWindow(wgcItem->Window());
    *out = std::make_shared<WgcCaptureSession>(std::move(session));
    return S_OK;
  }
};

}  // namespace

platform::IWindowCapture& WindowCapture() {
  static WgcCapture capture;
  return capture;
}

}  // namespace ostrel::win
