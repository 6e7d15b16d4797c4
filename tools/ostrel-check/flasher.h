// Flashes the check's window white and plays a beep on the default render
// endpoint at the same instants, so the clip shows how far apart the
// library puts them.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_window.h"

namespace ostrel::check {

class Flasher {
 public:
  static constexpr int kFlashMs = 100;  // white for this long, the beep as long

  explicit Flasher(winhost::TestWindow& window);
  ~Flasher();  // stops and closes the audio device
  Flasher(const Flasher&) = delete;
  Flasher& operator=(const Flasher&) = delete;

  // Flashes every `periodMs` from `periodMs` after the call until Stop.
  void Start(int periodMs);
  void Stop();
  int Flashes() const { return flashes_.load(); }
  // Why no beep plays (empty when it does).
  const std::string& AudioError() const { return audioError_; }

 private:
  void Run(int periodMs);

  winhost::TestWindow& window_;
  HWAVEOUT waveOut_ = nullptr;
  WAVEHDR header_{};
  std::vector<int16_t> beep_;
  std::string audioError_;
  std::atomic<bool> stop_{false};
  std::atomic<int> flashes_{0};
  std::thread thread_;
};

}  // namespace ostrel::check
