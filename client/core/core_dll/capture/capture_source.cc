#include "capture/capture_source.h"

#include <algorithm>

#include "encode/output_size.h"

namespace ostrel {
namespace {

constexpr int32_t kFramePoolBuffers = 4;
// A target above the encoders' size limit has buffers of up to 1 GB each
// (16384 x 16384): two are enough while the handler copies at once.
constexpr int32_t kHugeFramePoolBuffers = 2;
constexpr Hresult kNotImplemented = static_cast<Hresult>(0x80004001);  // E_NOTIMPL

struct Chain {
  std::shared_ptr<platform::ICaptureItem> item;
  std::shared_ptr<platform::IFramePool> pool;
  std::shared_ptr<platform::ICaptureSession> session;
  platform::SizeInt32 size;      // what is recorded
  platform::SizeInt32 poolSize;  // what the pool's buffers hold
  bool scaled = false;           // the pool scales the picture down to poolSize
};

// Closes what a failed chain made, so that nothing of it keeps capturing.
void Discard(Chain& chain) {
  if (chain.session) chain.session->Close();
  if (chain.pool) chain.pool->Close();
  chain = Chain{};
}

// Builds the chain on one source; on failure `failedAt` names the step.
Hresult Open(platform::IWindowCapture& service, platform::ICaptureDevice& device, platform::WindowHandle target,
             platform::MonitorHandle monitor, bool captureMonitor, const ScaledReads& scaledReads, Chain* chain,
             CaptureStep* failedAt) {
  *failedAt = CaptureStep::Item;
  Hresult result = captureMonitor ? service.CreateItemForMonitor(monitor, &chain->item)
                                  : service.CreateItemForWindow(target, &chain->item);
  if (Failed(result)) return result;
  chain->size = chain->item->Size();
  if (chain->size.width <= 0 || chain->size.height <= 0) {
    chain->size = {0, 0};
    return hr::kOk;
  }
  chain->poolSize = chain->item->ContentSize();
  if (chain->poolSize.width <= 0 || chain->poolSize.height <= 0) chain->poolSize = chain->size;
  *failedAt = CaptureStep::FramePool;
  const bool huge = static_cast<uint32_t>(std::max(chain->poolSize.width, chain->poolSize.height)) > kMaxEncodedSide;
  uint32_t outputWidth = 0, outputHeight = 0;
  const bool capped = ComputeOutputSize(static_cast<uint32_t>(chain->size.width),
                                        static_cast<uint32_t>(chain->size.height), scaledReads.maxHeight,
                                        &outputWidth, &outputHeight);
  // A target above the encoders' limit is read at the size it is encoded at
  // where the source can scale it: the picture the pool holds is then what
  // the copy converts, without a full-size buffer anywhere.
  result = hr::kNotImplemented;
  if (capped && scaledReads.allowed && chain->poolSize.width == chain->size.width &&
      chain->poolSize.height == chain->size.height) {
    const platform::SizeInt32 scaledSize{static_cast<int32_t>(outputWidth), static_cast<int32_t>(outputHeight)};
    result = service.CreateScalingFramePool(device, kHugeFramePoolBuffers, chain->size, scaledSize, &chain->pool);
    if (Succeeded(result)) {
      chain->poolSize = scaledSize;
      chain->scaled = true;
    }
  }
  if (result == hr::kNotImplemented) {
    result = service.CreateFramePool(device, huge ? kHugeFramePoolBuffers : kFramePoolBuffers, chain->poolSize,
                                     &chain->pool);
  }
  if (Failed(result)) return result;
  *failedAt = CaptureStep::Session;
  return service.CreateCaptureSession(*chain->pool, *chain->item, &chain->session);
}

}  // namespace

bool ServiceCannotCapture(CaptureStep step, Hresult code) {
  // Not registered: no Windows Runtime class (before Windows 10 1803, Wine).
  // No interface / not implemented: the class is older than the interface
  // (no item interop before 1903, no free-threaded pool before 1809), or the
  // device has no WinRT interop.
  if (code == hr::kClassNotRegistered || code == hr::kNoInterface || code == kNotImplemented) return true;
  // The service refuses items for some windows that exist (and the window
  // may simply be gone, which the fallback then reports itself).
  return step == CaptureStep::Item && code != hr::kOutOfMemory;
}

void OpenCaptureSource(CaptureState& state, platform::WindowHandle target, platform::MonitorHandle monitor,
                       bool captureMonitor, const ScaledReads& scaledReads) {
  platform::Platform& platform = platform::GetPlatform();
  platform::IWindowCapture* service = &platform.capture;
  Chain chain;
  CaptureStep failedAt = CaptureStep::Item;
  Hresult result = Open(*service, *state.winrtDevice, target, monitor, captureMonitor, scaledReads, &chain, &failedAt);
  if (Failed(result) && platform.fallbackCapture != nullptr && ServiceCannotCapture(failedAt, result)) {
    Discard(chain);
    SessionLog(state, L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x" + Hex32(result) +
                          L"); capturing with GDI");
    service = platform.fallbackCapture;
    result = Open(*service, *state.winrtDevice, target, monitor, captureMonitor, scaledReads, &chain, &failedAt);
  }
  if (Failed(result)) {
    Discard(chain);
    Check(result);
  }
  state.captureItem = std::move(chain.item);
  state.framePool = std::move(chain.pool);
  state.captureSession = std::move(chain.session);
  state.captureService = service;
  state.captureWidth = static_cast<uint32_t>(chain.size.width);
  state.captureHeight = static_cast<uint32_t>(chain.size.height);
  state.scaledAtRead = chain.scaled;
  LockGuard lock(state.poolSizeMutex);
  state.poolSize = chain.poolSize;
}

void CloseCaptureSource(CaptureState& state) {
  auto closeLogged = [&state](auto& closable) {
    if (!closable) return;
    Hresult result = closable->Close();
    if (Failed(result)) SessionLog(state, L"Teardown warning (non-fatal): 0x" + Hex32(result));
  };
  closeLogged(state.captureSession);
  closeLogged(state.framePool);
}

}  // namespace ostrel
