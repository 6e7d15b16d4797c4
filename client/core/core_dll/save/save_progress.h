// Progress of a running save: stage (0 idle, 1 preparing, 2 audio, 3 video
// segments, 4 finishing), done and total. Written by the saving thread (one
// save at a time: the save lock), read by any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace ostrel {

struct SaveProgress {
  std::atomic<uint32_t> stage{0};
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> total{0};
  // Odd while a setter writes: a reader that overlapped one reads again, so
  // a progress bar never pairs one stage with another stage's numbers.
  std::atomic<uint32_t> version{0};

  // total, then done, then the stage last with release ordering.
  void Set(uint32_t newStage, uint32_t newDone, uint32_t newTotal) {
    const uint32_t v = version.load(std::memory_order_relaxed);
    version.store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    total.store(newTotal, std::memory_order_relaxed);
    done.store(newDone, std::memory_order_relaxed);
    stage.store(newStage, std::memory_order_release);
    version.store(v + 2, std::memory_order_release);
  }

  // The stage first with acquire ordering, then total and done; again when a
  // setter ran meanwhile.
  bool Read(int* outStage, int* outDone, int* outTotal) const {
    uint32_t s = 0, t = 0, d = 0;
    for (;;) {
      const uint32_t before = version.load(std::memory_order_acquire);
      s = stage.load(std::memory_order_acquire);
      t = total.load(std::memory_order_relaxed);
      d = done.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if ((before & 1) == 0 && version.load(std::memory_order_relaxed) == before) break;
      std::this_thread::yield();
    }
    *outStage = static_cast<int>(s);
    *outDone = static_cast<int>(d);
    *outTotal = static_cast<int>(t);
    return s != 0;
  }
};

}  // namespace ostrel
