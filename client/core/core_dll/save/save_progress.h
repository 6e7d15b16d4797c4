// Progress of a running save: stage (0 idle, 1 preparing, 2 audio, 3 video
// segments, 4 finishing), done and total. Written by the saving thread, read
// by any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrel {

struct SaveProgress {
  std::atomic<uint32_t> stage{0};
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> total{0};

  // total, then done, then the stage last with release ordering.
  void Set(uint32_t newStage, uint32_t newDone, uint32_t newTotal) {
    total.store(newTotal, std::memory_order_relaxed);
    done.store(newDone, std::memory_order_relaxed);
    stage.store(newStage, std::memory_order_release);
  }

  // The stage first with acquire ordering, then total and done.
  bool Read(int* outStage, int* outDone, int* outTotal) const {
    uint32_t s = stage.load(std::memory_order_acquire);
    uint32_t t = total.load(std::memory_order_relaxed);
    uint32_t d = done.load(std::memory_order_relaxed);
    *outStage = static_cast<int>(s);
    *outDone = static_cast<int>(d);
    *outTotal = static_cast<int>(t);
    return s != 0;
  }
};

}  // namespace ostrel
