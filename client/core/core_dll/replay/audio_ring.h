// The ring of one audio source, with the wave format of its current device
// and the count of device reconnections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "replay/record_ring.h"

namespace ostrel {

class AudioRing : public RecordRing<AudioChunk> {
 public:
  // Replaces the format (18-byte header + extension) under the ring's mutex.
  void SetWaveFormat(std::vector<uint8_t> format) {
    std::lock_guard lock(mutex_);
    waveFormat_ = std::make_shared<const std::vector<uint8_t>>(std::move(format));
  }
  // A copy taken under the mutex; empty until a device was opened.
  std::vector<uint8_t> WaveFormat() const {
    std::lock_guard lock(mutex_);
    return waveFormat_ ? *waveFormat_ : std::vector<uint8_t>{};
  }
  // The shared current format (null when none); chunks keep a reference so a
  // later format change never re-interprets them.
  std::shared_ptr<const std::vector<uint8_t>> SharedWaveFormat() const {
    std::lock_guard lock(mutex_);
    return waveFormat_;
  }

  std::atomic<uint32_t>& ReconnectCount() { return reconnectCount_; }

 private:
  void OnClearLocked() override {
    waveFormat_.reset();
    reconnectCount_.store(0);
  }

  std::shared_ptr<const std::vector<uint8_t>> waveFormat_;
  std::atomic<uint32_t> reconnectCount_{0};
};

}  // namespace ostrel
