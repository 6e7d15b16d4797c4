// The ring of one audio source, with the wave format of its current device
// and the count of device reconnections.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

#include "replay/record_ring.h"
#include "sync/mutex.h"

namespace ostrel {

class AudioRing : public RecordRing<AudioChunk> {
 public:
  // Replaces the format (18-byte header + extension) under the ring's mutex.
  void SetWaveFormat(std::vector<uint8_t> format) {
    LockGuard lock(mutex_);
    waveFormat_ = std::make_shared<const std::vector<uint8_t>>(std::move(format));
  }
  // A copy taken under the mutex; empty until a device was opened.
  std::vector<uint8_t> WaveFormat() const {
    LockGuard lock(mutex_);
    return waveFormat_ ? *waveFormat_ : std::vector<uint8_t>{};
  }
  // The shared current format (null when none); chunks keep a reference so a
  // later format change never re-interprets them.
  std::shared_ptr<const std::vector<uint8_t>> SharedWaveFormat() const {
    LockGuard lock(mutex_);
    return waveFormat_;
  }

  std::atomic<uint32_t>& ReconnectCount() { return reconnectCount_; }

  // A save's cut: the ring's capture thread hands over its partial chunk up
  // to `ticks`. Returns the cut's number, or 0 when no stream is capturing
  // into the ring (there is nobody to wait for).
  uint64_t RequestCut(int64_t ticks) {
    if (!capturing_.load()) return 0;
    LockGuard lock(cutMutex_);
    cutTicks_.store(ticks);
    return cutRequested_.fetch_add(1) + 1;
  }
  // Waits until cut `cut` was handed over; false at the deadline (or when
  // the stream stopped meanwhile, which ends the wait too).
  bool WaitCut(uint64_t cut, std::chrono::steady_clock::time_point deadline) {
    UniqueLock lock(cutMutex_);
    return cutCv_.wait_until(lock, deadline, [&] { return cutDone_.load() >= cut || !capturing_.load(); }) &&
           cutDone_.load() >= cut;
  }
  // The capture thread's side: the newest cut not handled yet and its tick.
  bool PendingCut(uint64_t* cut, int64_t* ticks) const {
    const uint64_t requested = cutRequested_.load();
    if (requested <= cutDone_.load()) return false;
    *ticks = cutTicks_.load();
    *cut = requested;
    return true;
  }
  void CutDone(uint64_t cut) {
    {
      LockGuard lock(cutMutex_);
      if (cut > cutDone_.load()) cutDone_.store(cut);
    }
    cutCv_.notify_all();
  }
  bool Capturing() const { return capturing_.load(); }
  // Whether a stream is capturing into the ring (set by its capture thread).
  void SetCapturing(bool capturing) {
    {
      LockGuard lock(cutMutex_);
      capturing_.store(capturing);
    }
    cutCv_.notify_all();
  }

 private:
  void OnClearLocked() override REQUIRES(mutex_) {
    waveFormat_.reset();
    reconnectCount_.store(0);
  }

  std::shared_ptr<const std::vector<uint8_t>> waveFormat_ GUARDED_BY(mutex_);
  std::atomic<uint32_t> reconnectCount_{0};

  // The cut's counters are atomics (the capture thread polls them without
  // a lock); the mutex orders their changes with cutCv_'s waits.
  Mutex cutMutex_;
  std::condition_variable cutCv_;
  std::atomic<bool> capturing_{false};
  std::atomic<int64_t> cutTicks_{0};
  std::atomic<uint64_t> cutRequested_{0};
  std::atomic<uint64_t> cutDone_{0};
};

}  // namespace ostrel
