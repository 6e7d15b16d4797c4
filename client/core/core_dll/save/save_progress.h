// Progress of a running save: stage (0 idle, 1 preparing, 2 audio, 3 video
// segments, 4 finishing), done and total. Written by the saving thread (one
// save at a time: the save lock), read by any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace ostrel {

class SaveProgress {
 public:
  // The three travel in one word, so a progress bar never pairs one stage
  // with another stage's numbers.
  void Set(uint32_t stage, uint32_t done, uint32_t total) {
    word_.store(uint64_t{std::min(stage, 0xFFu)} << 56 | uint64_t{std::min(done, kCountMax)} << 28 |
                    uint64_t{std::min(total, kCountMax)},
                std::memory_order_release);
  }

  bool Read(int* outStage, int* outDone, int* outTotal) const {
    const uint64_t word = word_.load(std::memory_order_acquire);
    *outStage = static_cast<int>(word >> 56);
    *outDone = static_cast<int>(word >> 28 & kCountMax);
    *outTotal = static_cast<int>(word & kCountMax);
    return *outStage != 0;
  }

 private:
  static constexpr uint32_t kCountMax = (1u << 28) - 1;
  std::atomic<uint64_t> word_{0};
};

}  // namespace ostrel
