#include "test_window.h"

#include <cstdio>
#include <cwchar>

namespace ostrel::winhost {
namespace {

constexpr wchar_t kClassName[] = L"OstrelTestWindow";
constexpr UINT kDestroyMessage = WM_APP + 1;
constexpr UINT_PTR kPaintTimer = 1;

// Bit blocks: 16 squares along the bottom edge, most significant first.
constexpr int kBits = 16;
constexpr int kBlock = 40;

void RegisterClassOnce() {
  static const ATOM atom = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc);
  }();
  (void)atom;
}

}  // namespace

TestWindow::TestWindow(Options options) : options_(std::move(options)) {
  QueryPerformanceFrequency(&frequency_);
  QueryPerformanceCounter(&start_);
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([this, ready] { Run(ready); });
  WaitForSingleObject(ready, 10000);
  CloseHandle(ready);
}

TestWindow::~TestWindow() {
  Destroy();
  if (thread_.joinable()) thread_.join();
}

void TestWindow::Destroy() {
  HWND hwnd = hwnd_;
  if (hwnd != nullptr && IsWindow(hwnd)) SendMessageW(hwnd, kDestroyMessage, 0, 0);
  if (thread_.joinable()) thread_.join();
}

void TestWindow::Minimize() { ShowWindow(hwnd_, SW_MINIMIZE); }
void TestWindow::Restore() { ShowWindow(hwnd_, SW_RESTORE); }

LRESULT CALLBACK TestWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (self) self->Paint(dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // Paint covers the whole client area
    case WM_TIMER:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case kDestroyMessage:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

void TestWindow::Run(HANDLE ready) {
  RegisterClassOnce();
  RECT rect{0, 0, options_.clientWidth, options_.clientHeight};
  const DWORD style = WS_OVERLAPPEDWINDOW;
  AdjustWindowRect(&rect, style, FALSE);
  hwnd_ = CreateWindowExW(0, kClassName, L"Ostrel test window", style, 0, 0, rect.right - rect.left,
                          rect.bottom - rect.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (hwnd_ != nullptr) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TestWindow::Proc));
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
    if (options_.paintHz > 0) SetTimer(hwnd_, kPaintTimer, static_cast<UINT>(1000 / options_.paintHz), nullptr);
  }
  SetEvent(ready);
  if (hwnd_ == nullptr) return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  hwnd_ = nullptr;
}

void TestWindow::Paint(HDC windowDc) {
  RECT client;
  GetClientRect(hwnd_, &client);
  // Drawn off screen and copied in one blit: a capture that copies the
  // window meanwhile sees the old picture or the new one, never the erased
  // background with half the counter drawn.
  HDC dc = CreateCompatibleDC(windowDc);
  HBITMAP picture = CreateCompatibleBitmap(windowDc, client.right, client.bottom);
  HGDIOBJ previous = SelectObject(dc, picture);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const double seconds = static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
  const int second = static_cast<int>(seconds);
  const bool flash = seconds - second < options_.flashMs / 1000.0;
  const int frame = frame_.fetch_add(1) + 1;

  HBRUSH background = CreateSolidBrush(flash ? RGB(255, 255, 255) : RGB(24, 24, 32));
  FillRect(dc, &client, background);
  DeleteObject(background);
  if (!flash) {
    wchar_t text[64];
    int length = std::swprintf(text, 64, L"frame %d", frame);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(200, 200, 200));
    TextOutW(dc, 40, 40, text, length > 0 ? length : 0);
    for (int bit = 0; bit < kBits; ++bit) {
      // Gray code: consecutive counts differ in one block, so a copy torn
      // between two pictures still reads one of the two counts.
      const int gray = frame ^ (frame >> 1);
      const bool set = (gray >> (kBits - 1 - bit)) & 1;
      RECT block{40 + bit * kBlock, client.bottom - 2 * kBlock, 40 + (bit + 1) * kBlock, client.bottom - kBlock};
      HBRUSH brush = CreateSolidBrush(set ? RGB(235, 235, 235) : RGB(16, 16, 16));
      FillRect(dc, &block, brush);
      DeleteObject(brush);
    }
  }
  BitBlt(windowDc, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, previous);
  DeleteObject(picture);
  DeleteDC(dc);
  GdiFlush();
  if (flash && second != lastFlash_) {
    lastFlash_ = second;
    if (options_.onFlash) options_.onFlash(second);
  }
}

}  // namespace ostrel::winhost
