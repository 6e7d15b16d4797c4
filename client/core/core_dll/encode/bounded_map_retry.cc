#include "encode/bounded_map_retry.h"

#include <thread>

namespace ostrel {

int bounded_map_retry(const std::function<Hresult()>& tryMap, std::chrono::milliseconds limit,
                      std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const Hresult result = tryMap();
    if (Succeeded(result)) return kBoundedMapMapped;
    if (result != hr::kDxgiWasStillDrawing) throw HresultError(result);
    if (std::chrono::steady_clock::now() >= deadline) return kBoundedMapGaveUp;
    std::this_thread::sleep_for(interval);
  }
}

}  // namespace ostrel
