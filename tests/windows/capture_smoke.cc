// The Windows backend's window capture on the real APIs: run under Wine
// (where Windows.Graphics.Capture cannot be activated and the GDI source is
// what captures) or on Windows. A window of its own, painted one colour, is
// captured first through the platform interfaces exactly as the capture
// session drives them, then by a capture session that encodes it (video
// only, without the exports' hardware-encoder check). Prints one line per
// check and the session's log, and exits with the number of failed checks.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_log.h"
#include "ostrel_session.h"
#include "platform/gpu.h"
#include "platform/hresult.h"
#include "platform/win/win_backend.h"
#include "platform/win/win_capture.h"
#include "platform/win/win_gpu.h"

namespace {

using namespace ostrel;
using Clock = std::chrono::steady_clock;

constexpr COLORREF kPaint = RGB(200, 40, 90);
constexpr int kClientWidth = 320;
constexpr int kClientHeight = 240;

int failures = 0;

void Report(bool ok, const char* what, const std::string& detail = {}) {
  std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string Hex(Hresult code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  return buffer;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    HBRUSH brush = CreateSolidBrush(kPaint);
    FillRect(dc, &paint.rcPaint, brush);
    DeleteObject(brush);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow(int clientWidth = kClientWidth, int clientHeight = kClientHeight) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"OstrelCaptureSmoke";
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  static const ATOM registered = RegisterClassW(&windowClass);
  (void)registered;
  RECT rect{0, 0, clientWidth, clientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowW(L"OstrelCaptureSmoke", L"capture smoke", WS_OVERLAPPEDWINDOW, 50, 50,
                              rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  return window;
}

// Runs the window's messages for `seconds`.
void Pump(double seconds) {
  const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
  MSG message;
  while (Clock::now() < until) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
}

// What the frame handler saw, as the capture session's handler would.
struct Frames {
  std::mutex mutex;
  std::atomic<int> count{0};
  std::shared_ptr<platform::ITexture> last;  // under mutex
  platform::IFramePool* pool = nullptr;

  void OnFrame() {
    std::unique_ptr<platform::ICaptureFrame> frame = pool->TryGetNextFrame();
    if (!frame) return;
    std::shared_ptr<platform::ITexture> texture;
    if (Succeeded(frame->GetSurfaceTexture(&texture)) && texture) {
      std::lock_guard lock(mutex);
      last = texture;
      ++count;
    }
    frame->Close();
  }
};

// The centre pixel of a BGRA texture, read back through a staging copy as the
// encoder reads its pictures (the texture may live in video or system memory).
bool CentrePixel(platform::IGpuDevice& device, platform::ITexture& texture, uint32_t* pixel) {
  platform::TextureDesc desc = texture.Desc();
  desc.usage = platform::TextureUsage::Staging;
  desc.cpuRead = true;
  desc.renderTarget = false;
  std::shared_ptr<platform::ITexture> staging;
  if (Failed(device.CreateTexture(desc, &staging)) || !staging) return false;
  platform::IGpuContext& context = device.ImmediateContext();
  context.CopyResource(*staging, texture);
  platform::MappedTexture mapped;
  if (Failed(context.Map(*staging, /*doNotWait=*/false, &mapped))) return false;
  const uint8_t* row = mapped.data + static_cast<size_t>(desc.height / 2) * mapped.rowPitch;
  std::memcpy(pixel, row + static_cast<size_t>(desc.width / 2) * 4, 4);
  context.Unmap(*staging);
  return true;
}

void CheckWindowsGraphicsCapture(HWND window) {
  std::shared_ptr<platform::ICaptureItem> item;
  const Hresult result = win::WindowCapture().CreateItemForWindow(window, &item);
  Report(Succeeded(result) || result == hr::kClassNotRegistered,
         "Windows.Graphics.Capture item: created, or class not registered",
         Succeeded(result) ? "available" : Hex(result));
}

void CheckGdiCapture(HWND window) {
  platform::IWindowCapture& capture = win::GdiWindowCapture();
  Report(capture.IsWindow(window) && !capture.IsWindow(nullptr), "IsWindow");
  platform::MonitorHandle monitor = capture.MonitorFromWindow(window);
  Report(monitor != nullptr, "MonitorFromWindow");

  std::shared_ptr<platform::ICaptureItem> monitorItem;
  const Hresult monitorResult = capture.CreateItemForMonitor(monitor, &monitorItem);
  const platform::SizeInt32 monitorSize = monitorItem ? monitorItem->Size() : platform::SizeInt32{};
  Report(Succeeded(monitorResult) && monitorSize.width > 0 && monitorSize.height > 0, "monitor item",
         std::to_string(monitorSize.width) + "x" + std::to_string(monitorSize.height));

  std::shared_ptr<platform::ICaptureItem> item;
  Hresult result = capture.CreateItemForWindow(window, &item);
  if (Failed(result) || !item) {
    Report(false, "window item", Hex(result));
    return;
  }
  platform::SizeInt32 size = item->Size();
  Report(size.width == kClientWidth && size.height == kClientHeight, "window item has the client area's size",
         std::to_string(size.width) + "x" + std::to_string(size.height));
  std::atomic<int> closed{0};
  item->AddClosed([&closed] { ++closed; });

  std::shared_ptr<platform::IGpuDevice> device;
  result = win::GpuSystem().CreateDevice(nullptr, &device);
  if (Failed(result) || !device) {
    Report(false, "Direct3D 11 device", Hex(result));
    return;
  }
  std::shared_ptr<platform::ICaptureDevice> captureDevice;
  result = win::GpuSystem().WrapForCapture(*device, &captureDevice);
  Report(Succeeded(result) && captureDevice, "capture device", Hex(result));
  if (!captureDevice) return;

  std::shared_ptr<platform::IFramePool> pool;
  result = capture.CreateFramePool(*captureDevice, 4, size, &pool);
  std::shared_ptr<platform::ICaptureSession> session;
  if (Succeeded(result)) result = capture.CreateCaptureSession(*pool, *item, &session);
  Report(Succeeded(result) && pool && session, "frame pool and session", Hex(result));
  if (!session) return;
  bool border = true;
  Report(Succeeded(session->IsBorderPropertyPresent(&border)) && !border, "no border property");
  Report(Succeeded(session->SetMinUpdateInterval(10000000 / 30)), "update interval 1/30 s");

  Frames frames;
  frames.pool = pool.get();
  platform::EventToken token = pool->AddFrameArrived([&frames] { frames.OnFrame(); });
  Report(Succeeded(session->StartCapture()), "start");
  Pump(2.0);
  const int inTwoSeconds = frames.count.load();
  Report(inTwoSeconds >= 40 && inTwoSeconds <= 70, "about 30 frames a second", std::to_string(inTwoSeconds) + " in 2 s");

  std::shared_ptr<platform::ITexture> last;
  {
    std::lock_guard lock(frames.mutex);
    last = frames.last;
  }
  uint32_t pixel = 0;
  const bool read = last && CentrePixel(*device, *last, &pixel);
  const uint32_t expected = 0xFF000000u | (GetRValue(kPaint) << 16) | (GetGValue(kPaint) << 8) | GetBValue(kPaint);
  char detail[64];
  std::snprintf(detail, sizeof detail, "BGRA 0x%08X, expected 0x%08X, %ux%u", static_cast<unsigned>(pixel),
                static_cast<unsigned>(expected), last ? last->Desc().width : 0, last ? last->Desc().height : 0);
  Report(read && pixel == expected && last->Desc().width == static_cast<uint32_t>(kClientWidth),
         "frames hold the window's pixels, opaque, at the pool's size", detail);

  ShowWindow(window, SW_MINIMIZE);
  Pump(0.5);
  const int minimised = frames.count.load();
  Pump(1.0);
  Report(frames.count.load() == minimised && item->Size().width == 0, "a minimised window gives no frames",
         std::to_string(frames.count.load() - minimised) + " frames");
  ShowWindow(window, SW_RESTORE);
  Pump(1.0);
  Report(frames.count.load() > minimised + 10, "frames resume when restored",
         std::to_string(frames.count.load() - minimised) + " frames");

  pool->RemoveFrameArrived(token);
  Report(Succeeded(session->Close()) && Succeeded(pool->Close()), "close");
  const int afterClose = frames.count.load();
  Pump(0.3);
  Report(frames.count.load() == afterClose, "no frames after close");

  DestroyWindow(window);
  Pump(1.0);
  Report(closed.load() == 1, "Closed fires once the window is destroyed", std::to_string(closed.load()));
}

double ProcessCpuSeconds() {
  FILETIME creation, exit, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

// What one GDI copy costs at 1280x720 (printed, not checked): the process's
// CPU time over 3 s of capture at 30 frames a second, per frame.
void MeasureGdiCopy() {
  HWND window = MakeWindow(1280, 720);
  Pump(0.5);
  platform::IWindowCapture& capture = win::GdiWindowCapture();
  std::shared_ptr<platform::ICaptureItem> item;
  std::shared_ptr<platform::IGpuDevice> device;
  std::shared_ptr<platform::ICaptureDevice> captureDevice;
  std::shared_ptr<platform::IFramePool> pool;
  std::shared_ptr<platform::ICaptureSession> session;
  if (Failed(capture.CreateItemForWindow(window, &item)) || Failed(win::GpuSystem().CreateDevice(nullptr, &device)) ||
      Failed(win::GpuSystem().WrapForCapture(*device, &captureDevice)) ||
      Failed(capture.CreateFramePool(*captureDevice, 4, item->Size(), &pool)) ||
      Failed(capture.CreateCaptureSession(*pool, *item, &session))) {
    Report(false, "GDI copy cost at 1280x720: set-up");
    DestroyWindow(window);
    return;
  }
  Frames frames;
  frames.pool = pool.get();
  pool->AddFrameArrived([&frames] { frames.OnFrame(); });
  session->SetMinUpdateInterval(10000000 / 30);
  session->StartCapture();
  Pump(0.5);
  const int firstFrames = frames.count.load();
  const double firstCpu = ProcessCpuSeconds();
  Pump(3.0);
  const int copied = frames.count.load() - firstFrames;
  const double cpu = ProcessCpuSeconds() - firstCpu;
  session->Close();
  pool->Close();
  DestroyWindow(window);
  char detail[96];
  std::snprintf(detail, sizeof detail, "%d frames in 3 s, %.2f ms CPU per frame (window messages included)", copied,
                copied > 0 ? cpu * 1000.0 / copied : 0.0);
  Report(copied > 0, "GDI copy cost at 1280x720", detail);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

void CheckSession() {
  platform::IMediaPlatform& media = platform::GetPlatform().media;
  media.JoinMultithreadedApartment();
  Report(Succeeded(media.Startup()), "media platform start-up");
  HWND window = MakeWindow();
  Pump(0.5);

  std::mutex mutex;
  std::vector<std::wstring> lines;
  auto count = [&](const std::wstring& text) {
    std::lock_guard lock(mutex);
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
  };
  {
    OstrelSession session;
    LogSink sink([&](const std::wstring& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    });
    RouteFfmpegLogTo(sink);
    session.SetLogSink(sink);
    AudioSettings muted;
    muted.desktopMuted = muted.micMuted = true;
    session.SetAudioSettings(muted);
    const bool started = session.Start(window, false, 0, 30, 2000000, 10);
    Report(started, "session starts on the window");
    const bool usedWgc = count(L"Windows.Graphics.Capture unavailable") == 0;
    Report(usedWgc || count(L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x80040154); capturing with GDI") == 1,
           "capture source announced", usedWgc ? "Windows.Graphics.Capture" : "GDI");
    if (started) {
      Pump(5.0);
      const uint64_t delivered = session.State().framesDelivered.load();
      Report(delivered >= 100, "frames handed to the encoder", std::to_string(delivered) + " in 5 s");
      const auto segments = session.State().videoRing.TakeSnapshot({INT64_MIN, INT64_MAX});
      size_t frames = 0;
      for (const auto& segment : segments) frames += segment.frameCount;
      Report(segments.size() >= 1 && frames >= 50, "segments encoded",
             std::to_string(segments.size()) + " segments, " + std::to_string(frames) + " frames");
      Report(count(L"Frame copy failed") == 0, "no failed frame copies");
      DestroyWindow(window);
      Pump(1.0);
      Report(count(L"[DIAG-ITEM-CLOSED] ") == 1 && session.IsCapturing(), "item closed with its window, capture goes on");
      session.Stop();
    }
    RouteFfmpegLogTo(LogSink());
  }
  media.Shutdown();
  for (const std::wstring& line : lines) std::printf("LOG %s\n", Narrow(line).c_str());
}

}  // namespace

int main() {
  HWND window = MakeWindow();
  Pump(0.5);
  CheckWindowsGraphicsCapture(window);
  CheckGdiCapture(window);
  MeasureGdiCopy();
  CheckSession();
  std::printf("%d failed\n", failures);
  return failures;
}
