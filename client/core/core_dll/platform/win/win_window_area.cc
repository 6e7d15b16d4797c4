#include "platform/win/win_window_area.h"

#include <dwmapi.h>

namespace ostrel::win {
namespace {

using SetThreadDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);

SetThreadDpiAwarenessContextFn ResolveSetThreadDpiAwarenessContext() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  // GetProcAddress hands out a generic function pointer.
  return reinterpret_cast<SetThreadDpiAwarenessContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetThreadDpiAwarenessContext")));
}

SetThreadDpiAwarenessContextFn SetAwareness() {
  static const SetThreadDpiAwarenessContextFn function = ResolveSetThreadDpiAwarenessContext();
  return function;
}

bool Visible(HWND window) { return IsWindow(window) && !IsIconic(window); }

}  // namespace

PhysicalPixelsScope::PhysicalPixelsScope() {
  if (auto set = SetAwareness()) previous_ = set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

PhysicalPixelsScope::~PhysicalPixelsScope() {
  if (auto set = SetAwareness(); set != nullptr && previous_ != nullptr) {
    set(static_cast<DPI_AWARENESS_CONTEXT>(previous_));
  }
}

bool ClientAreaSize(HWND window, SIZE* size) {
  RECT client{};
  if (!Visible(window) || !GetClientRect(window, &client)) return false;
  size->cx = client.right - client.left;
  size->cy = client.bottom - client.top;
  return size->cx > 0 && size->cy > 0;
}

bool ClientAreaInWindowImage(HWND window, RECT* area) {
  SIZE size{};
  if (!ClientAreaSize(window, &size)) return false;
  POINT origin{0, 0};
  if (!ClientToScreen(window, &origin)) return false;
  RECT frame{};
  if (FAILED(DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &frame, sizeof(frame))) &&
      !GetWindowRect(window, &frame)) {
    return false;
  }
  area->left = origin.x - frame.left;
  area->top = origin.y - frame.top;
  area->right = area->left + size.cx;
  area->bottom = area->top + size.cy;
  return true;
}

}  // namespace ostrel::win
