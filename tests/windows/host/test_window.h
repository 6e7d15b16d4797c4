// A real Win32 window on its own thread with its own message loop. It paints
// a dark scene with a frame counter (as text and as a row of 16 Gray-coded black/white
// bit blocks a reader of the clip can decode) and turns fully white for the
// first `flashMs` of every second since `Start`. OnFlash runs on the window's
// thread at each flash onset.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace ostrel::winhost {

class TestWindow {
 public:
  struct Options {
    int clientWidth = 1280;
    int clientHeight = 720;
    int paintHz = 60;  // 0: paint only when Windows asks
    int flashMs = 200;
    std::function<void(int second)> onFlash;
  };

  explicit TestWindow(Options options);
  ~TestWindow();  // destroys the window (if still there) and joins the thread
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND handle() const { return hwnd_; }
  // Destroys the window now, on its thread; the thread then ends.
  void Destroy();
  void Minimize();
  void Restore();
  int framesPainted() const { return frame_.load(); }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Run(HANDLE ready);
  void Paint(HDC dc);

  Options options_;
  HWND hwnd_ = nullptr;
  std::atomic<int> frame_{0};
  LARGE_INTEGER start_{};
  LARGE_INTEGER frequency_{};
  int lastFlash_ = -1;
  std::thread thread_;
};

}  // namespace ostrel::winhost
