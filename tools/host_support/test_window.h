// A real Win32 window on its own thread with its own message loop. It paints
// a dark scene with a frame counter as a row of 16 Gray-coded black/white bit
// blocks a reader of the clip can decode, or, while flashing, all white.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

namespace ostrel::winhost {

class TestWindow {
 public:
  // paintHz 0: painted only when Windows asks. `style` WS_POPUP: a window of
  // its client area alone, which Windows does not limit to the screen's size.
  TestWindow(int clientWidth, int clientHeight, int paintHz, DWORD style = WS_OVERLAPPEDWINDOW);
  ~TestWindow();  // destroys the window (if still there) and joins the thread
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND handle() const { return hwnd_; }
  // All white from now on (true) or the dark scene again; repainted at once.
  void SetFlash(bool on);
  // Destroys the window now, on its thread; the thread then ends.
  void Destroy();

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Run(HANDLE ready, int clientWidth, int clientHeight, int paintHz, DWORD style);
  void Paint(HDC dc);

  HWND hwnd_ = nullptr;
  std::atomic<int> frame_{0};
  std::atomic<bool> flash_{false};
  std::thread thread_;
};

}  // namespace ostrel::winhost
