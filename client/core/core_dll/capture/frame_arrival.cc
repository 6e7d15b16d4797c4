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
  CallbackScope(CaptureState& state, bool requireAccepting) : state_(state) {
    LockGuard lock(state_.callbackMutex);
    entered_ = !requireAccepting || state_.acceptCallbacks;
    if (entered_) ++state_.callbacksRunning;
  }
  ~CallbackScope() {
    if (!entered_) return;
    LockGuard lock(state_.callbackMutex);
    if (--state_.callbacksRunning == 0) state_.callbackCv.notify_all();
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  bool entered() const { return entered_; }

 private:
  CaptureState& state_;
  bool entered_ = false;
};

void WaitForCallbacks(CaptureState& state) {
  UniqueLock lock(state.callbackMutex);
  state.callbackCv.wait(lock, [&] {
    state.callbackMutex.AssertHeld();
    return state.callbacksRunning == 0;
  });
}

// Puts a frame stamped `ticks` into the slot; a frame still pending is
// replaced and counted as overwritten.
void HandOffLocked(CaptureState& state, int64_t ticks, bool newContent) REQUIRES(state.frameMutex) {
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

// What the frame pool's buffers must hold after this frame: when the
// content size changed (a resized window), the pool is recreated so that
// later frames carry all of the content (Direct3D11CaptureFramePool::
// Recreate). Returns the part of this frame's surface that is recorded:
// the source's recorded region (a window's client area), within both the
// content and the surface. The pipeline's size stays as it started: the
// copy crops what is larger and pads what is smaller with black.
platform::TextureRegion FollowContent(CaptureState& state, platform::ICaptureFrame& frame,
                                      const platform::TextureDesc& surface) {
  platform::SizeInt32 content = frame.ContentSize();
  if (content.width <= 0 || content.height <= 0) {
    content = {static_cast<int32_t>(surface.width), static_cast<int32_t>(surface.height)};
  }
  {
    LockGuard lock(state.poolSizeMutex);
    if (content.width != state.poolSize.width || content.height != state.poolSize.height) {
      const Hresult result = state.framePool->Recreate(content);
      SessionLog(state, L"[DIAG-CONTENT-SIZE] content is " + std::to_wstring(content.width) + L"x" +
                            std::to_wstring(content.height) + L", pipeline stays " +
                            std::to_wstring(state.captureWidth) + L"x" + std::to_wstring(state.captureHeight) +
                            (Succeeded(result) ? std::wstring(L"; frame pool recreated")
                                               : L"; frame pool not recreated (0x" + Hex32(result) + L")") +
                            L" t=" + NowStamp());
      state.poolSize = content;
    }
  }
  platform::RectInt32 recorded = frame.RecordedRegion();
  if (recorded.width <= 0 || recorded.height <= 0) recorded = {0, 0, content.width, content.height};
  const int64_t right = std::min<int64_t>({int64_t{recorded.x} + recorded.width, content.width, surface.width});
  const int64_t bottom = std::min<int64_t>({int64_t{recorded.y} + recorded.height, content.height, surface.height});
  const int64_t left = std::max<int64_t>(recorded.x, 0);
  const int64_t top = std::max<int64_t>(recorded.y, 0);
  platform::TextureRegion region;
  region.x = static_cast<uint32_t>(std::min<int64_t>(left, surface.width));
  region.y = static_cast<uint32_t>(std::min<int64_t>(top, surface.height));
  region.width = static_cast<uint32_t>(std::max<int64_t>(right - left, 0));
  region.height = static_cast<uint32_t>(std::max<int64_t>(bottom - top, 0));
  return region;
}

// The part of the output a recorded region of `width` x `height` fills when
// converted at the copy: cropped to the pipeline's size, then scaled as the
// whole capture is to the output.
uint32_t ScaledExtent(uint32_t extent, uint32_t captureExtent, uint32_t outputExtent) {
  return static_cast<uint32_t>(uint64_t{std::min(extent, captureExtent)} * outputExtent / captureExtent);
}

// Copies the recorded region into frame texture `target`, under the
// context lock. A frame whose region is exactly the pipeline's size is one
// plain copy; any other is cropped to the pipeline's size at the top-left
// corner, with black where the region is smaller (cleared only when the
// texture last held another region, as it keeps its black border). With
// convertAtCopy the same crop is converted and scaled to the output size.
void CopyIntoFrameTexture(CaptureState& state, int target, platform::ITexture& surface,
                          const platform::TextureRegion& region) {
  platform::IGpuContext& context = state.gpuEncodeContext->ImmediateContext();
  platform::ITexture& texture = *state.frameTextures[target];
  if (state.convertAtCopy) {
    // A surface the source scaled already holds the pipeline at the output
    // size.
    const uint32_t pipelineWidth = state.scaledAtRead ? state.outputWidth : state.captureWidth;
    const uint32_t pipelineHeight = state.scaledAtRead ? state.outputHeight : state.captureHeight;
    platform::TextureRegion cropped = region;
    cropped.width = std::min(region.width, pipelineWidth);
    cropped.height = std::min(region.height, pipelineHeight);
    Check(context.ConvertRegion(state.gpuEncodeContext->Converter(), surface, cropped, texture,
                                ScaledExtent(cropped.width, pipelineWidth, state.outputWidth),
                                ScaledExtent(cropped.height, pipelineHeight, state.outputHeight)));
    return;
  }
  const platform::TextureDesc desc = surface.Desc();
  platform::TextureRegion& held = state.frameTextureRegion[target];
  if (region.x == 0 && region.y == 0 && region.width == state.captureWidth &&
      region.height == state.captureHeight && desc.width == state.captureWidth &&
      desc.height == state.captureHeight) {
    context.CopyResource(texture, surface);
    held = {};
    return;
  }
  platform::TextureRegion copied = region;
  copied.width = std::min(region.width, state.captureWidth);
  copied.height = std::min(region.height, state.captureHeight);
  const bool padded = copied.width < state.captureWidth || copied.height < state.captureHeight;
  if (padded && (held.width != copied.width || held.height != copied.height)) context.ClearToBlack(texture);
  context.CopyRegion(texture, surface, copied);
  held = padded ? copied : platform::TextureRegion{};
}

}  // namespace

void ConfigureCaptureSession(CaptureState& state) {
  ConfigureBorder(state);
  // The mouse cursor is never recorded, whatever the source (GDI cannot
  // draw it, so Windows.Graphics.Capture is told not to either).
  const Hresult cursor = state.captureSession->SetCursorCaptureEnabled(false);
  if (Failed(cursor)) {
    SessionLog(state,
               L"Couldn't switch cursor capture off (0x" + Hex32(cursor) + L") - the cursor stays in the picture.");
  }
  // A source that polls needs no more than one frame per slot.
  Check(state.captureSession->SetMinUpdateInterval(TickClock::kTicksPerSecond / state.fps));
  CaptureState* target = &state;
  state.captureSession->SetProblemLog([target](const std::wstring& line) { SessionLog(*target, line); });
}

void ConfigureBorder(CaptureState& state) {
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

void SubscribeItemClosed(CaptureState& state) {
  CaptureState* target = &state;
  state.closedToken = state.captureItem->AddClosed([target] { OnItemClosed(*target); });
  state.closedSubscribed = true;
}

void UnsubscribeItemClosedAndWait(CaptureState& state) {
  if (!state.closedSubscribed) return;
  // Called before the item is replaced, so the token belongs to this item.
  if (state.captureItem) state.captureItem->RemoveClosed(state.closedToken);
  state.closedSubscribed = false;
  WaitForCallbacks(state);
}

void SubscribeFrameArrived(CaptureState& state) {
  {
    LockGuard lock(state.callbackMutex);
    state.acceptCallbacks = true;
  }
  CaptureState* target = &state;
  state.frameArrivedToken = state.framePool->AddFrameArrived([target] { OnFrameArrived(*target); });
  state.frameArrivedSubscribed = true;
}

void UnsubscribeFrameArrivedAndWait(CaptureState& state) {
  if (state.frameArrivedSubscribed && state.framePool) state.framePool->RemoveFrameArrived(state.frameArrivedToken);
  state.frameArrivedSubscribed = false;
  {
    LockGuard lock(state.callbackMutex);
    state.acceptCallbacks = false;
  }
  WaitForCallbacks(state);
}

void OnItemClosed(CaptureState& state) {
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

void OnFrameArrived(CaptureState& state) {
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
    const platform::TextureRegion region = FollowContent(state, *frame, surface->Desc());
    const std::optional<int64_t> stamp = state.rateGate.Admit(arrivalTicks);
    if (!stamp) return;  // no copy, no counters

    int target = -1;
    {
      LockGuard frameLock(state.frameMutex);
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
      CaptureState& state;
      ~WritingReset() {
        LockGuard frameLock(state.frameMutex);
        state.frameTextureWriting = -1;
      }
    };
    {
      WritingReset reset{state};
      {
        LockGuard contextLock(state.gpuEncodeContext->ContextMutex());
        CopyIntoFrameTexture(state, target, *surface, region);
      }
      LockGuard frameLock(state.frameMutex);
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
  } catch (const std::exception&) {
    // No memory for a line either, most likely; the frame is lost.
  }
  double duration = MillisecondsBetween(callbackStart, SteadyClock::now());
  if (duration > 2.0) SessionLog(state, L"[DIAG-CALLBACK-DURATION] " + Fixed6(duration) + L"ms");
}

void RunPacer(CaptureState& state) {
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
      LockGuard frameLock(state.frameMutex);
      if (state.frameTextureWriting >= 0) continue;
    }
    if (std::optional<int64_t> slot = state.rateGate.TakeMissedSlot(TickClock::Now())) {
      {
        // A repeat re-submits the latest picture with the slot's stamp.
        LockGuard frameLock(state.frameMutex);
        HandOffLocked(state, *slot, /*newContent=*/false);
      }
      state.frameCv.notify_one();
    }
  }
}

}  // namespace ostrel
