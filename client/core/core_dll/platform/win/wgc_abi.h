// The Windows Runtime ABI of the few Windows.Graphics.Capture types the
// capture path uses. mingw-w64 ships no headers for them, so the interfaces
// are declared here from Microsoft's API documentation and metadata
// (Windows.Graphics.Capture, Windows.Graphics.DirectX.Direct3D11,
// Windows.Foundation, Windows.Foundation.Metadata and the desktop interop
// headers windows.graphics.capture.interop.h and
// windows.graphics.directx.direct3d11.interop.h).
//
// Every interface lists its methods in vtable order; a method this backend
// never calls is still declared when a later one is called, so the slots line
// up. WinRT booleans are one byte (`boolean`); properties are get_/put_ pairs
// and events add_/remove_ pairs, as in the ABI.
#pragma once

#include <windows.h>
#include <eventtoken.h>
#include <hstring.h>
#include <inspectable.h>

#include <cstdint>

namespace ostrel::win::wgc {

// ---- value types ---------------------------------------------------------------

// Windows.Graphics.SizeInt32
struct SizeInt32 {
  int32_t Width;
  int32_t Height;
};

// Windows.Foundation.TimeSpan (100-nanosecond units)
struct TimeSpan {
  int64_t Duration;
};

// Windows.Graphics.DirectX.DirectXPixelFormat (the one value used here; the
// numbers are the DXGI_FORMAT values).
enum class DirectXPixelFormat : int32_t {
  B8G8R8A8UIntNormalized = 87,
};

// Windows.Foundation.AsyncStatus
enum class AsyncStatus : int32_t {
  Started = 0,
  Completed = 1,
  Canceled = 2,
  Error = 3,
};

// Windows.Security.Authorization.AppCapabilityAccess.AppCapabilityAccessStatus
enum class AppCapabilityAccessStatus : int32_t {
  DeniedBySystem = 0,
  NotDeclaredByApp = 1,
  DeniedByUser = 2,
  UserPromptRequired = 3,
  Allowed = 4,
};

// Windows.Graphics.Capture.GraphicsCaptureAccessKind
enum class GraphicsCaptureAccessKind : int32_t {
  Borderless = 0,
  Programmatic = 1,
};

// ---- runtime class names -------------------------------------------------------

constexpr wchar_t kGraphicsCaptureItemClass[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
constexpr wchar_t kFramePoolClass[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";
constexpr wchar_t kCaptureSessionClass[] = L"Windows.Graphics.Capture.GraphicsCaptureSession";
constexpr wchar_t kApiInformationClass[] = L"Windows.Foundation.Metadata.ApiInformation";
constexpr wchar_t kGraphicsCaptureAccessClass[] = L"Windows.Graphics.Capture.GraphicsCaptureAccess";

struct IGraphicsCaptureItem;
struct IDirect3D11CaptureFramePool;
struct IDirect3D11CaptureFrame;
struct IGraphicsCaptureSession;
struct IDirect3DDevice;

// ---- delegates -----------------------------------------------------------------

// Windows.Foundation.TypedEventHandler<GraphicsCaptureItem, Object>, the
// type of GraphicsCaptureItem.Closed.
struct ItemClosedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IGraphicsCaptureItem* sender, IInspectable* args) = 0;
};

// Windows.Foundation.TypedEventHandler<Direct3D11CaptureFramePool, Object>,
// the type of Direct3D11CaptureFramePool.FrameArrived.
struct FrameArrivedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};

// ---- Windows.Foundation ---------------------------------------------------------

struct IClosable : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// IAsyncInfo, which every asynchronous operation also implements; its
// status is polled instead of registering a completion delegate.
struct IAsyncInfo : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// IAsyncOperation<AppCapabilityAccessStatus>. The completion handler slots
// are declared with IUnknown, as they are never called.
struct IAsyncOperationAccessStatus : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(AppCapabilityAccessStatus* results) = 0;
};

// ---- Windows.Foundation.Metadata -----------------------------------------------

// Statics of ApiInformation.
struct IApiInformationStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE IsTypePresent(HSTRING typeName, boolean* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsMethodPresent(HSTRING typeName, HSTRING methodName, boolean* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsMethodPresentWithArity(HSTRING typeName, HSTRING methodName,
                                                             UINT32 inputParameterCount, boolean* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEventPresent(HSTRING typeName, HSTRING eventName, boolean* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropertyPresent(HSTRING typeName, HSTRING propertyName, boolean* result) = 0;
};

// ---- Windows.Graphics.DirectX.Direct3D11 ----------------------------------------

struct IDirect3DDevice : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};

// Desktop interop: the DXGI object behind an IDirect3DDevice or
// IDirect3DSurface.
struct IDirect3DDxgiInterfaceAccess : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) = 0;
};

// ---- Windows.Graphics.Capture ---------------------------------------------------

// Desktop interop of the GraphicsCaptureItem activation factory.
struct IGraphicsCaptureItemInterop : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** result) = 0;
};

struct IGraphicsCaptureItem : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(ItemClosedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};

struct IDirect3D11CaptureFrame : IInspectable {
  // An IDirect3DSurface; reached through IDirect3DDxgiInterfaceAccess.
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};

struct IDirect3D11CaptureFramePool : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device, DirectXPixelFormat pixelFormat,
                                             INT32 numberOfBuffers, SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(FrameArrivedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                         IGraphicsCaptureSession** result) = 0;
  // A Windows.System.DispatcherQueue; unused.
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

// Statics of Direct3D11CaptureFramePool (second interface: the free-threaded
// pool, whose events arrive on system pool threads).
struct IDirect3D11CaptureFramePoolStatics2 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IDirect3DDevice* device, DirectXPixelFormat pixelFormat,
                                                       INT32 numberOfBuffers, SizeInt32 size,
                                                       IDirect3D11CaptureFramePool** result) = 0;
};

struct IGraphicsCaptureSession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

// Statics of GraphicsCaptureAccess (Windows 11, and Windows Server 2022).
struct IGraphicsCaptureAccessStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(GraphicsCaptureAccessKind request,
                                                       IAsyncOperationAccessStatus** operation) = 0;
};

struct IGraphicsCaptureSession2 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

struct IGraphicsCaptureSession3 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) = 0;
};

}  // namespace ostrel::win::wgc

// ---- interface ids -----------------------------------------------------------------
// From the types' GuidAttribute in the Windows metadata (and the interop
// headers for the two desktop interop interfaces).

__CRT_UUID_DECL(ostrel::win::wgc::IClosable, 0x30d5a829, 0x7fa4, 0x4026, 0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9,
                0x9e)
__CRT_UUID_DECL(ostrel::win::wgc::IApiInformationStatics, 0x997439fe, 0xf681, 0x4a11, 0xb4, 0x16, 0xc1, 0x3a, 0x47,
                0xe8, 0xba, 0x36)
__CRT_UUID_DECL(ostrel::win::wgc::IDirect3DDevice, 0xa37624ab, 0x8d5f, 0x4650, 0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b,
                0xc6, 0x70)
__CRT_UUID_DECL(ostrel::win::wgc::IDirect3DDxgiInterfaceAccess, 0xa9b3d012, 0x3df2, 0x4ee3, 0xb8, 0xd1, 0x86, 0x95,
                0xf4, 0x57, 0xd3, 0xc1)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureItemInterop, 0x3628e81b, 0x3cac, 0x4c60, 0xb7, 0xf4, 0x23, 0xce,
                0x0e, 0x0c, 0x33, 0x56)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureItem, 0x79c3f95b, 0x31f7, 0x4ec2, 0xa4, 0x64, 0x63, 0x2e, 0xf5,
                0xd3, 0x07, 0x60)
__CRT_UUID_DECL(ostrel::win::wgc::IDirect3D11CaptureFrame, 0xfa50c623, 0x38da, 0x4b32, 0xac, 0xf3, 0xfa, 0x97, 0x34,
                0xad, 0x80, 0x0e)
__CRT_UUID_DECL(ostrel::win::wgc::IDirect3D11CaptureFramePool, 0x24eb6d22, 0x1975, 0x422e, 0x82, 0xe7, 0x78, 0x0d,
                0xbd, 0x8d, 0xdf, 0x24)
__CRT_UUID_DECL(ostrel::win::wgc::IDirect3D11CaptureFramePoolStatics2, 0x589b103f, 0x6bbc, 0x5df5, 0xa9, 0x91, 0x02,
                0xe2, 0x8b, 0x3b, 0x66, 0xd5)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureSession, 0x814e42a9, 0xf70f, 0x4ad7, 0x93, 0x9b, 0xfd, 0xdc, 0xc6,
                0xeb, 0x88, 0x0d)
__CRT_UUID_DECL(ostrel::win::wgc::IAsyncInfo, 0x00000036, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureAccessStatics, 0x743ed370, 0x06ec, 0x5040, 0xa5, 0x8a, 0x90, 0x1f,
                0x0f, 0x75, 0x70, 0x95)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureSession2, 0x2c39ae40, 0x7d2e, 0x5044, 0x80, 0x4e, 0x8b, 0x67, 0x99,
                0xd4, 0xcf, 0x9e)
__CRT_UUID_DECL(ostrel::win::wgc::IGraphicsCaptureSession3, 0xf2cdd966, 0x22ae, 0x5ea1, 0x95, 0x96, 0x3a, 0x28, 0x93,
                0x44, 0xc3, 0xbe)

// Parameterised delegate ids are not in the metadata; they are derived from
// the instance's type signature (a version-5 UUID: SHA-1 over the WinRT
// pinterface namespace 11f47ad5-7b73-42c0-abae-878b1e16adee followed by the
// UTF-8 signature). TypedEventHandler`2 is {9de1c534-6ae1-11e0-84e1-18a905bcc53f}.
//
// pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};
//   rc(Windows.Graphics.Capture.GraphicsCaptureItem;{79c3f95b-31f7-4ec2-a464-632ef5d30760});
//   cinterface(IInspectable))
//   -> e9c610c0-a68c-5bd9-8021-8589346eeee2
__CRT_UUID_DECL(ostrel::win::wgc::ItemClosedHandler, 0xe9c610c0, 0xa68c, 0x5bd9, 0x80, 0x21, 0x85, 0x89, 0x34, 0x6e,
                0xee, 0xe2)
// pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};
//   rc(Windows.Graphics.Capture.Direct3D11CaptureFramePool;{24eb6d22-1975-422e-82e7-780dbd8ddf24});
//   cinterface(IInspectable))
//   -> 51a947f7-79cf-5a3e-a3a5-1289cfa6dfe8
__CRT_UUID_DECL(ostrel::win::wgc::FrameArrivedHandler, 0x51a947f7, 0x79cf, 0x5a3e, 0xa3, 0xa5, 0x12, 0x89, 0xcf, 0xa6,
                0xdf, 0xe8)
// IAsyncOperation`1 is {9fc2b0bb-e446-44e2-aa61-9cab8f636af2}.
// pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};
//   enum(Windows.Security.Authorization.AppCapabilityAccess.AppCapabilityAccessStatus;i4))
//   -> 827caf42-5fe6-5b5b-84ce-c44834134d3d
__CRT_UUID_DECL(ostrel::win::wgc::IAsyncOperationAccessStatus, 0x827caf42, 0x5fe6, 0x5b5b, 0x84, 0xce, 0xc4, 0x48,
                0x34, 0x13, 0x4d, 0x3d)
