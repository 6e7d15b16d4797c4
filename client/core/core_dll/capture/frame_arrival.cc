#include "capture/frame_arrival.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <thread>

#include "replay/tick_clock.h"

namespace ostrel {
namespace {

using platform::GetPlatform;

double MillisecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Counts a handler in while callbacks are accepted; counts it out on scope
// exit. Stop waits for the count to reach zero.
class CallbackScope {
 public:
  CallbackScope(SessionState& state, bool requireAccepting) : state_(state) {
    std::lock_guard lock(state_.callbackMutex);
    entered_ = !requireAccepting || state_.acceptCallbacks;
    if (entered_) ++state_.callbacksRunning;
  }
  ~CallbackScope() {
    if (!entered_) return;
    std::lock_guard lock(state_.callbackMutex);
    if (--state_.callbacksRunning == 0) state_.callbackCv.notify_all();
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  bool entered() const { return entered_; }

 private:
  SessionState& state_;
  bool entered_ = false;
};

void WaitForCallbacks(SessionState& state) {
  std::unique_lock lock(state.callbackMutex);
  state.callbackCv.wait(lock, [&] { return state.callbacksRunning == 0; });
}

// Puts a frame stamped `ticks` into the slot; a frame still pending is
// replaced and counted as overwritten. The caller holds frameMutex.
void HandOffLocked(SessionState& state, int64_t ticks, bool newContent) {
  state.frameTicks.store(ticks);
  if (newContent) state.haveFrame.store(true);
  state.pendingNewContent = state.pendingNewContent || newContent;
  state.framesDelivered.fetch_add(1);
  if (state.framePending.exchange(true)) state.framesOverwritten.fetch_add(1);
}

// Closes the frame whatever way the handler leaves.
class FrameCloser {
 public:
  explicit FrameCloser(platform::ICaptureFrame& frame) : frame_(frame) {}
  ~FrameCloser() { frame_.Close(); }
  FrameCloser(const FrameCloser&) = delete;
  FrameCloser& operator=(const FrameCloser&) = delete;

 private:
  platform::ICaptureFrame& frame_;
};

}  // namespace

void CreateCaptureItem(SessionState& state, platform::WindowHandle target, platform::MonitorHandle monitor,
                       bool captureMonitor) {
  auto create = [&](platform::IWindowCapture& service, std::shared_ptr<platform::ICaptureItem>* item) {
    return captureMonitor ? service.CreateItemForMonitor(monitor, item) : service.CreateItemForWindow(target, item);
  };
  platform::Platform& platform = GetPlatform();
  std::shared_ptr<platform::ICaptureItem> item;
  platform::IWindowCapture* service = &platform.capture;
  Hresult result = create(*service, &item);
  if (result == hr::kClassNotRegistered && platform.fallbackCapture != nullptr) {
    SessionLog(state, L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x" + Hex32(result) +
                          L"); capturing with GDI");
    service = platform.fallbackCapture;
    result = create(*service, &item);
  }
  Check(result);
  state.captureItem = std::move(item);
  state.captureService = service;
}

void CreateFramePoolAndSession(SessionState& state) {
  platform::IWindowCapture& capture = *state.captureService;
  platform::SizeInt32 size{static_cast<int32_t>(state.captureWidth), static_cast<int32_t>(state.captureHeight)};
  std::shared_ptr<platform::IFramePool> pool;
  // A target above the encoders' size limit has buffers of up to 1 GB each
  // (16384 x 16384): two are enough while the handler copies at once.
  const int buffers = std::max(state.captureWidth, state.captureHeight) > kMaxEncodedSide ? 2 : 4;
  Check(capture.CreateFramePool(*state.winrtDevice, buffers, size, &pool));
  state.framePool = std::move(pool);
  std::shared_ptr<platform::ICaptureSession> session;
  Check(capture.CreateCaptureSession(*state.framePool, *state.captureItem, &session));
  state.captureSession = std::move(session);
  ConfigureBorder(state);
  // A source that polls needs no more than one frame per slot.
  Check(state.captureSession->SetMinUpdateInterval(TickClock::kTicksPerSecond / state.fps));
}

void ConfigureBorder(SessionState& state) {
  if (!state.captureSession) return;
  bool present = false;
  Hresult result = state.captureSession->IsBorderPropertyPresent(&present);
  if (Succeeded(result)) {
    if (!present) return;
    result = state.captureSession->SetBorderRequired(state.borderEnabled.load());
  }
  if (Failed(result)) {
    SessionLog(state, L"Couldn't set capture border (0x" + Hex32(result) + L") - keeping the default.");
  }
}

void SubscribeItemClosed(SessionState& state) {
  SessionState* target = &state;
  state.closedToken = state.captureItem->AddClosed([target] { OnItemClosed(*target); });
  state.closedSubscribed = true;
}

void UnsubscribeItemClosedAndWait(SessionState& state) {
  if (!state.closedSubscribed) return;
  // Called before the item is replaced, so the token belongs to this item.
  if (state.captureItem) state.captureItem->RemoveClosed(state.closedToken);
  state.closedSubscribed = false;
  WaitForCallbacks(state);
}

void SubscribeFrameArrived(SessionState& state) {
  {
    std::lock_guard lock(state.callbackMutex);
    state.acceptCallbacks = true;
  }
  SessionState* target = &state;
  state.frameArrivedToken = state.framePool->AddFrameArrived([target] { OnFrameArrived(*target); });
  state.frameArrivedSubscribed = true;
}

void UnsubscribeFrameArrivedAndWait(SessionState& state) {
  if (state.frameArrivedSubscribed && state.framePool) state.framePool->RemoveFrameArrived(state.frameArrivedToken);
  state.frameArrivedSubscribed = false;
  {
    std::lock_guard lock(state.callbackMutex);
    state.acceptCallbacks = false;
  }
  WaitForCallbacks(state);
}

void OnItemClosed(SessionState& state) {
  CallbackScope scope(state, /*requireAccepting=*/false);
  // A target that goes after the capture stopped ends nothing.
  if (state.stopRequested.load()) return;
  const std::wstring cause = state.captureItem ? state.captureItem->ClosedCause() : std::wstring();
  if (!cause.empty()) SessionLog(state, L"Capture target lost: " + cause + L" t=" + NowStamp());
  SessionLog(state,
             L"[DIAG-ITEM-CLOSED] GraphicsCaptureItem.Closed fired mid-session - capture target became "
             L"invalid (window closed, or a display/monitor topology change) t=" +
                 NowStamp());
}

void OnFrameArrived(SessionState& state) {
  CallbackScope scope(state, /*requireAccepting=*/true);
  if (!scope.entered()) return;
  std::unique_ptr<platform::ICaptureFrame> frame = state.framePool->TryGetNextFrame();
  if (!frame) return;
  // The frame is timed by when it arrived, not by when the copy below got
  // the device context: an encoder holding the context must not make the
  // picture late against the audio.
  const int64_t arrivalTicks = TickClock::Now();
  FrameCloser closer(*frame);
  if (state.stopRequested.load()) return;

  const SteadyClock::time_point arrival = SteadyClock::now();
  if (state.haveLastArrival) {
    double gap = MillisecondsBetween(state.lastArrival, arrival);
    if (gap > 100.0) {
      SessionLog(state, L"[DIAG-ARRIVAL-GAP] " + Fixed6(gap) + L"ms since last WGC frame arrival t=" + NowStamp());
    }
  }
  state.lastArrival = arrival;
  state.haveLastArrival = true;

  const SteadyClock::time_point callbackStart = SteadyClock::now();
  try {
    std::shared_ptr<platform::ITexture> surface;
    Check(frame->GetSurfaceTexture(&surface));
    platform::TextureDesc desc = surface->Desc();
    if (desc.width != state.captureWidth || desc.height != state.captureHeight) {
      SessionLog(state, L"[DIAG-SIZE-MISMATCH] frame is " + std::to_wstring(desc.width) + L"x" +
                            std::to_wstring(desc.height) + L" but pipeline expects " +
                            std::to_wstring(state.captureWidth) + L"x" + std::to_wstring(state.captureHeight) +
                            L" t=" + NowStamp());
    }
    const std::optional<int64_t> stamp = state.rateGate.Admit(arrivalTicks);
    if (!stamp) return;  // no copy, no counters

    int target = -1;
    {
      std::lock_guard frameLock(state.frameMutex);
      // Stamps never go back: when the pacer already filled a later slot,
      // this frame is left out, and counts as lost.
      if (*stamp <= state.frameTicks.load()) {
        state.framesOverwritten.fetch_add(1);
        return;
      }
      for (int candidate = 0; candidate < static_cast<int>(state.frameTextures.size()); ++candidate) {
        if (candidate != state.frameTextureInUse && candidate != state.latestFrameTexture &&
            candidate != state.frameTextureWriting) {
          target = candidate;
          break;
        }
      }
      if (target < 0) {
        // Another callback is still copying: this frame is lost.
        state.framesOverwritten.fetch_add(1);
        return;
      }
      state.frameTextureWriting = target;
    }
    // The copy holds the context lock alone: the encoder thread uses the same
    // immediate context, and frameMutex stays free for it and the pacer.
    struct WritingReset {
      SessionState& state;
      ~WritingReset() {
        std::lock_guard frameLock(state.frameMutex);
        state.frameTextureWriting = -1;
      }
    };
    {
      WritingReset reset{state};
      {
        std::lock_guard contextLock(state.gpuEncodeContext->ContextMutex());
        state.gpuEncodeContext->ImmediateContext().CopyResource(*state.frameTextures[target], *surface);
      }
      std::lock_guard frameLock(state.frameMutex);
      // Again: the pacer may have filled a later slot while this one copied.
      if (*stamp <= state.frameTicks.load()) {
        state.framesOverwritten.fetch_add(1);
        return;
      }
      state.latestFrameTexture = target;
      HandOffLocked(state, *stamp, /*newContent=*/true);
    }
    state.frameCv.notify_one();
  } catch (const HresultError& error) {
    SessionLog(state, L"Frame copy failed: 0x" + Hex32(error.code()));
  }
  double duration = MillisecondsBetween(callbackStart, SteadyClock::now());
  if (duration > 2.0) SessionLog(state, L"[DIAG-CALLBACK-DURATION] " + Fixed6(duration) + L"ms");
}

void RunPacer(SessionState& state) {
  const auto period = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / state.fps));
  // The pacer reads the clock every period while the capture runs, so a
  // jump of it is a sleep (or a frozen process), left out of the timeline.
  TickClock::SleepWatch sleepWatch;
  int64_t slept = TickClock::SleptTicks();
  for (;;) {
    if (state.stopRequested.load()) return;
    std::this_thread::sleep_for(period);
    if (state.stopRequested.load()) return;
    TickClock::Now();
    if (const int64_t total = TickClock::SleptTicks(); total != slept) {
      SessionLog(state, L"[DIAG-SLEEP] " +
                            Fixed6(static_cast<double>(total - slept) / TickClock::kTicksPerSecond) +
                            L"s asleep or frozen - left out of the recording's timeline t=" + NowStamp());
      slept = total;
    }
    if (!state.haveFrame.load()) continue;
    {
      // A frame still being copied takes its slot first: a repeat now would
      // fill a later slot and push that frame out.
      std::lock_guard frameLock(state.frameMutex);
      if (state.frameTextureWriting >= 0) continue;
    }
    if (std::optional<int64_t> slot = state.rateGate.TakeMissedSlot(TickClock::Now())) {
      {
        // A repeat re-submits the latest picture with the slot's stamp.
        std::lock_guard frameLock(state.frameMutex);
        HandOffLocked(state, *slot, /*newContent=*/false);
      }
      state.frameCv.notify_one();
    }
  }
}

}  // namespace ostrel
