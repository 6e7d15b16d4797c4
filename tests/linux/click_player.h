// Plays 10 ms clicks into a PulseAudio sink at given steady-clock instants:
// a playback stream of silence, with each click placed where the stream's
// reported latency says the instant will be heard.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::testing {

class ClickPlayer {
 public:
  using Clock = std::chrono::steady_clock;
  // A click every `interval` from `first` on, into `sink` (empty: default).
  ClickPlayer(const std::string& sink, Clock::time_point first, Clock::duration interval);
  ~ClickPlayer();
  ClickPlayer(const ClickPlayer&) = delete;
  ClickPlayer& operator=(const ClickPlayer&) = delete;

  bool Failed() const { return failed_.load(); }

 private:
  void Run();

  const std::string sink_;
  const Clock::time_point first_;
  const Clock::duration interval_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::thread thread_;
};

}  // namespace ostrel::testing
