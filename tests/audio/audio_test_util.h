// Helpers of the audio tests: a log collector, a capture thread under test
// and a fixture that puts the fake world's audio back to its defaults.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_capture.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel::audiotest {

using namespace std::chrono_literals;

struct LoggedLine {
  std::wstring text;
  int64_t ticks;
};

// Collects log lines with the tick they arrived at.
class LogLines {
 public:
  LogSink Sink() {
    return [this](const std::wstring& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back({line, TickClock::Now()});
      changed_.notify_all();
    };
  }

  std::vector<LoggedLine> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> out;
    for (const LoggedLine& line : Lines()) out.push_back(line.text);
    return out;
  }

  size_t Count(const std::wstring& text) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const LoggedLine& line : lines_) n += line.text == text ? 1 : 0;
    return n;
  }

  // Waits until `text` was logged at least `count` times.
  bool WaitFor(const std::wstring& text, size_t count = 1, std::chrono::milliseconds timeout = 5000ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (const LoggedLine& line : lines_) n += line.text == text ? 1 : 0;
      return n >= count;
    });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LoggedLine> lines_;
};

// One capture thread with its own ring, window and stop flag; stopped and
// joined when it goes out of scope.
class CaptureRunner {
 public:
  CaptureRunner(platform::DataFlow flow, std::wstring tag, std::wstring deviceId, LogSink sink) {
    window.MarkStart();
    thread_ = std::thread([this, flow, tag = std::move(tag), deviceId = std::move(deviceId),
                           sink = std::move(sink)]() mutable {
      RunAudioCapture(flow, ring, window, stop_, std::move(tag), std::move(sink), std::move(deviceId));
      finished_.store(true);
    });
  }
  ~CaptureRunner() { Stop(); }
  CaptureRunner(const CaptureRunner&) = delete;
  CaptureRunner& operator=(const CaptureRunner&) = delete;

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  bool Finished() const { return finished_.load(); }

  // Waits until the ring holds `count` chunks.
  bool WaitForChunks(size_t count, std::chrono::milliseconds timeout = 6000ms) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ring.Size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::deque<AudioChunk> Chunks() const {
    return ring.TakeSnapshot({INT64_MIN, INT64_MAX});
  }

  AudioRing ring;
  ReplayWindow window;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// Every test starts and ends in the default world without sync marks.
class AudioWorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetSimAudio();
    sim::WorldSyncMarks().SetPeriodMs(0);
  }
  void TearDown() override {
    sim::ResetSimAudio();
    sim::WorldSyncMarks().SetPeriodMs(0);
  }
};

// Interleaved float samples of a chunk.
inline std::vector<float> Floats(const AudioChunk& chunk) {
  std::vector<float> out(chunk.bytes ? chunk.bytes->size() / 4 : 0);
  if (!out.empty()) std::memcpy(out.data(), chunk.bytes->data(), out.size() * 4);
  return out;
}

inline uint16_t U16At(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(U16At(bytes, offset)) | (static_cast<uint32_t>(U16At(bytes, offset + 2)) << 16);
}

}  // namespace ostrel::audiotest
