// Collects the lines a component logs, from any thread, and finds or waits
// for them.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

namespace ostrel::testing {

class LogLines {
 public:
  LogSink Sink() {
    return [this](const std::wstring& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::wstring> All() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Lines that contain `text`.
  std::vector<std::wstring> Containing(const std::wstring& text) const {
    std::vector<std::wstring> found = All();
    std::erase_if(found, [&](const std::wstring& line) { return line.find(text) == line.npos; });
    return found;
  }
  size_t Count(const std::wstring& text) const { return Containing(text).size(); }
  bool Has(const std::wstring& line) const { return std::ranges::count(All(), line) > 0; }
  // Waits until at least `count` lines contain `text`.
  bool WaitFor(const std::wstring& text, std::chrono::milliseconds timeout, size_t count = 1) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (Count(text) < count) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> lines_;
};

}  // namespace ostrel::testing
