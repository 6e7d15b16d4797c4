#include "test_window.h"

namespace ostrel::winhost {
namespace {

constexpr wchar_t kClassName[] = L"OstrelTestWindow";
constexpr UINT kDestroyMessage = WM_APP + 1;
constexpr int kBits = 16;  // blocks along the bottom edge, most significant first
constexpr int kBlock = 40;

}  // namespace

TestWindow::TestWindow(int clientWidth, int clientHeight, int paintHz, DWORD style) {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([=, this] { Run(ready, clientWidth, clientHeight, paintHz, style); });
  WaitForSingleObject(ready, 10000);
  CloseHandle(ready);
}

TestWindow::~TestWindow() { Destroy(); }

void TestWindow::Destroy() {
  HWND hwnd = hwnd_;
  if (hwnd != nullptr && IsWindow(hwnd)) SendMessageW(hwnd, kDestroyMessage, 0, 0);
  if (thread_.joinable()) thread_.join();
}

void TestWindow::SetFlash(bool on) {
  flash_.store(on);
  HWND hwnd = hwnd_;
  if (hwnd == nullptr) return;
  InvalidateRect(hwnd, nullptr, FALSE);
  UpdateWindow(hwnd);  // paints now (a WM_PAINT sent to the window's thread)
}

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

void TestWindow::Run(HANDLE ready, int clientWidth, int clientHeight, int paintHz, DWORD style) {
  static const ATOM registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc);
  }();
  (void)registered;
  RECT rect{0, 0, clientWidth, clientHeight};
  AdjustWindowRect(&rect, style, FALSE);
  hwnd_ = CreateWindowExW(0, kClassName, L"Ostrel test window", style, 0, 0, rect.right - rect.left,
                          rect.bottom - rect.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (hwnd_ != nullptr) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TestWindow::Proc));
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
    if (paintHz > 0) SetTimer(hwnd_, 1, static_cast<UINT>(1000 / paintHz), nullptr);
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
  const int frame = frame_.fetch_add(1) + 1;
  const bool flash = flash_.load();
  HBRUSH background = CreateSolidBrush(flash ? RGB(255, 255, 255) : RGB(24, 24, 32));
  FillRect(dc, &client, background);
  DeleteObject(background);
  // Gray code: consecutive counts differ in one block, so a copy torn
  // between two pictures still reads one of the two counts.
  const int gray = frame ^ (frame >> 1);
  for (int bit = 0; bit < kBits && !flash; ++bit) {
    const bool set = (gray >> (kBits - 1 - bit)) & 1;
    RECT block{40 + bit * kBlock, client.bottom - 2 * kBlock, 40 + (bit + 1) * kBlock, client.bottom - kBlock};
    HBRUSH brush = CreateSolidBrush(set ? RGB(235, 235, 235) : RGB(16, 16, 16));
    FillRect(dc, &block, brush);
    DeleteObject(brush);
  }
  BitBlt(windowDc, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, previous);
  DeleteObject(picture);
  DeleteDC(dc);
  GdiFlush();
}

}  // namespace ostrel::winhost
