// Plays 10 ms clicks into the default render endpoint through WASAPI: a
// stream of silence runs the whole time, so a click requested at a flash
// goes out behind no more than the stream's small buffer.
#pragma once

#include <atomic>
#include <thread>

namespace ostrel::winhost {

class ClickPlayer {
 public:
  ClickPlayer();   // starts the stream on its own thread
  ~ClickPlayer();  // stops and joins
  ClickPlayer(const ClickPlayer&) = delete;
  ClickPlayer& operator=(const ClickPlayer&) = delete;

  bool running() const { return running_.load(); }
  void Click() { pending_.store(true); }
  int clicksPlayed() const { return played_.load(); }

 private:
  void Run();

  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> pending_{false};
  std::atomic<int> played_{0};
  std::thread thread_;
};

}  // namespace ostrel::winhost
