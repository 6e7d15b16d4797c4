// A test X11 client window on its own connection and thread. Animated: it
// redraws 60 times a second (a moving bar and the frame counter as blocks on
// a dark background) and turns white for the first 100 ms of every second
// counted from `flashEpoch`. Still: a fixed detailed pattern drawn once.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::testing {

class TestWindow {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Content { Animated, Still };

  TestWindow(int width, int height, Content content, Clock::time_point flashEpoch = Clock::now(),
             int redrawHz = 60);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  // Whether the window is mapped and drawn once.
  bool Ready() const { return ready_.load(); }
  uint32_t Xid() const { return window_; }
  void* Handle() const { return reinterpret_cast<void*>(static_cast<uintptr_t>(window_)); }

  void Resize(int width, int height);
  void Destroy();
  // The still pattern, BGRX rows of width * 4 bytes.
  const std::vector<uint8_t>& Pattern() const { return pattern_; }

 private:
  void Run();
  void DrawAnimated(uint64_t frame, bool flash);
  void DrawPattern();
  void Fill(uint32_t colour, int16_t x, int16_t y, uint16_t w, uint16_t h);

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  uint8_t depth_ = 24;
  std::atomic<int> width_, height_;
  const Content content_;
  const Clock::time_point flashEpoch_;
  const int redrawHz_;
  std::vector<uint8_t> pattern_;
  std::mutex mutex_;  // one request stream at a time
  std::atomic<bool> ready_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> destroyed_{false};
  std::thread thread_;
};

}  // namespace ostrel::testing
