#include "platform/sim/sim_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/common/capture_session_lifecycle.h"
#include "platform/common/pool_delivery.h"
#include "platform/sim/sim_gpu.h"
#include "platform/sim/sim_scene.h"
#include "platform/sim/sim_world.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel::sim {

using platform::EventToken;
using platform::ICaptureDevice;
using platform::ICaptureFrame;
using platform::ICaptureItem;
using platform::ICaptureSession;
using platform::IFramePool;
using platform::ITexture;
using platform::MonitorHandle;
using platform::SizeInt32;
using platform::WindowHandle;

namespace {

using platform::kObjectClosed;
constexpr int kMaxBuffers = 64;
// How often an idle pool (still, minimised or hidden target) looks again.
constexpr int64_t kIdlePollTicks = 10 * 10000;
// The fallback source's copy period until its session sets one.
constexpr int64_t kDefaultPollTicks = TickClock::kTicksPerSecond / 30;
constexpr int64_t kMinPollTicks = TickClock::kTicksPerSecond / 1000;

// ---- items ------------------------------------------------------------------

class SimCaptureItem final : public ICaptureItem {
 public:
  explicit SimCaptureItem(std::shared_ptr<Target> target) : target_(std::move(target)) {}

  ~SimCaptureItem() override {
    // Handlers belong to this item: once it is gone they must not run.
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    for (EventToken token : tokens_) target_->closedHandlers.erase(token);
  }

  SimCaptureItem(const SimCaptureItem&) = delete;
  SimCaptureItem& operator=(const SimCaptureItem&) = delete;

  SizeInt32 Size() override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    if (target_->kind == TargetKind::Window && target_->minimized) return {0, 0};
    return {target_->width, target_->height};
  }

  EventToken AddClosed(std::function<void()> handler) override {
    World& world = World::Get();
    EventToken token = world.NextToken();
    std::lock_guard lock(world.mutex);
    // All or nothing, as a real event subscription: a handler left behind
    // without its token could never be removed and would outlive its owner.
    tokens_.push_back(token);
    try {
      target_->closedHandlers.emplace(token, std::move(handler));
    } catch (...) {
      tokens_.pop_back();
      throw;
    }
    return token;
  }

  void RemoveClosed(EventToken token) override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    auto it = std::find(tokens_.begin(), tokens_.end(), token);
    if (it == tokens_.end()) return;
    tokens_.erase(it);
    target_->closedHandlers.erase(token);
  }

  const std::shared_ptr<Target>& GetTarget() const { return target_; }

 private:
  std::shared_ptr<Target> target_;
  std::vector<EventToken> tokens_;  // guarded by the world mutex
};

// ---- frame pool ---------------------------------------------------------------

// The state a pool shares with its delivery thread and its frames.
struct PoolCore : platform::PoolDeliveryState {
  struct Slot {
    std::shared_ptr<SimTexture> texture;
    bool held = false;  // being rendered, waiting as the newest frame, or out as a frame
  };

  PoolCore(std::shared_ptr<SimDevice> d, int bufferCount, bool poll)
      : device(std::move(d)), polling(poll), slots(bufferCount) {}

  std::shared_ptr<SimDevice> device;  // the pool's textures belong to it
  const bool polling;                 // a pool of the fallback source
  int64_t intervalTicks = kDefaultPollTicks;  // polling pools: copy period
  std::vector<Slot> slots;
  int newest = -1;  // slot of the newest frame not yet taken

  void Release(int slot, const std::shared_ptr<SimTexture>& texture) {
    std::lock_guard lock(mutex);
    if (slot >= 0 && slot < static_cast<int>(slots.size()) && slots[slot].texture == texture) {
      slots[slot].held = false;
    }
  }
};

class SimCaptureFrame final : public ICaptureFrame {
 public:
  SimCaptureFrame(std::shared_ptr<PoolCore> core, int slot, std::shared_ptr<SimTexture> texture)
      : core_(std::move(core)), slot_(slot), texture_(std::move(texture)) {}
  ~SimCaptureFrame() override { Close(); }
  SimCaptureFrame(const SimCaptureFrame&) = delete;
  SimCaptureFrame& operator=(const SimCaptureFrame&) = delete;

  Hresult GetSurfaceTexture(std::shared_ptr<ITexture>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    if (!texture_) return kObjectClosed;
    World& world = World::Get();
    for (int left = world.surfaceFailuresLeft.load(); left > 0;) {
      if (world.surfaceFailuresLeft.compare_exchange_weak(left, left - 1)) return world.surfaceFailureStatus.load();
    }
    *out = texture_;
    return hr::kOk;
  }

  void Close() override {
    if (!texture_) return;
    core_->Release(slot_, texture_);
    texture_.reset();
  }

 private:
  std::shared_ptr<PoolCore> core_;
  int slot_;
  std::shared_ptr<SimTexture> texture_;
};

// Renders one frame into a free buffer and raises FrameArrived. Skips the
// frame when every buffer is held.
void DeliverFrame(const std::shared_ptr<PoolCore>& core, int width, int height, uint64_t frameNumber) {
  if (!World::Get().frameDeliveryEnabled.load()) return;  // the compositor shows nothing new
  int slot = -1;
  std::shared_ptr<SimTexture> texture;
  {
    std::lock_guard lock(core->mutex);
    if (core->stop) return;
    for (size_t i = 0; i < core->slots.size() && slot < 0; ++i) {
      if (!core->slots[i].held) slot = static_cast<int>(i);
    }
    // A newer frame replaces a newest frame nobody took.
    if (slot < 0 && core->newest >= 0) {
      slot = core->newest;
      core->newest = -1;
    }
    if (slot < 0) return;
    core->slots[slot].held = true;
    texture = core->slots[slot].texture;
  }

  // Frames arrive at the target's current size.
  if (!texture || texture->Desc().width != static_cast<uint32_t>(width) ||
      texture->Desc().height != static_cast<uint32_t>(height)) {
    texture = CreateSurfaceTexture(width, height);
  }
  if (texture) {
    int64_t ticks = TickClock::Now();
    RenderTestScene(texture->Data(), texture->RowPitch(), width, height, frameNumber, ticks,
                    WorldSyncMarks().FlashAt(ticks));
  }

  std::unique_lock lock(core->mutex);
  if (!texture || core->stop) {
    core->slots[slot].held = false;
    return;
  }
  core->slots[slot].texture = texture;
  if (core->newest >= 0 && core->newest != slot) core->slots[core->newest].held = false;
  core->newest = slot;
  const std::vector<EventToken> tokens = core->handlers.Tokens();
  lock.unlock();
  ++World::Get().deliveredFrames;
  if (core->polling) ++World::Get().fallbackFrames;
  lock.lock();
  core->handlers.Raise(lock, tokens, core->stop);
}

// The delivery thread of a fallback pool: like a GDI copy on a timer, one
// frame of what the target shows now per copy period while it is visible,
// whatever its content rate. Copies are due on the period's multiples of the
// tick clock; a late turn skips the ones it missed.
void PollLoop(std::shared_ptr<PoolCore> core, std::shared_ptr<Target> target) {
  World& world = World::Get();
  int64_t due = TickClock::Now();
  for (;;) {
    int64_t interval = 0;
    {
      std::unique_lock lock(core->mutex);
      int64_t wait = std::max<int64_t>(due - TickClock::Now(), 0);
      if (core->cv.wait_for(lock, std::chrono::microseconds(wait / 10), [&] { return core->stop; })) return;
      interval = core->intervalTicks;
    }
    int64_t now = TickClock::Now();
    due = (now / interval + 1) * interval;
    TargetView view = world.View(*target);
    if (view.closed || view.minimized || view.width <= 0 || view.height <= 0) continue;
    // The content frame the target shows at this moment.
    uint64_t frameNumber =
        view.rateHz > 0.0 ? static_cast<uint64_t>(static_cast<double>(now) * view.rateHz / TickClock::kTicksPerSecond)
                          : 0;
    DeliverFrame(core, view.width, view.height, frameNumber);
  }
}

// How late content frame `index` arrives under the world's delivery jitter:
// a fixed spread per frame (a hash of its index), so runs repeat.
int64_t JitterTicks(int64_t index) {
  const int64_t jitter = World::Get().deliveryJitterTicks.load();
  if (jitter <= 0) return 0;
  uint64_t x = static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<int64_t>(x % static_cast<uint64_t>(jitter + 1));
}

// The delivery thread of one pool capturing one target. Animated targets
// get a frame at every multiple of their content period on the tick clock
// (so frames line up with sync marks); still targets get one frame at the
// start and one whenever what they show changes.
void DeliveryLoop(std::shared_ptr<PoolCore> core, std::shared_ptr<Target> target) {
  if (core->polling) {
    PollLoop(std::move(core), std::move(target));
    return;
  }
  World& world = World::Get();
  uint64_t frameNumber = 0;
  double period = 0.0;      // ticks per content frame; 0 while still
  int64_t nextSlot = 0;     // next content frame index on the tick-clock grid
  bool owesFrame = true;    // a still target owes a frame
  int lastWidth = 0, lastHeight = 0;
  bool lastFlash = false;

  for (;;) {
    TargetView view = world.View(*target);
    int64_t now = TickClock::Now();
    int64_t waitTicks = kIdlePollTicks;

    if (view.closed) {
      // A closed target delivers nothing more; wait for the pool to stop.
      std::unique_lock lock(core->mutex);
      core->cv.wait(lock, [&] { return core->stop; });
      return;
    }

    if (view.minimized || view.width <= 0 || view.height <= 0) {
      owesFrame = true;
    } else if (view.rateHz > 0.0) {
      double newPeriod = TickClock::kTicksPerSecond / view.rateHz;
      if (newPeriod != period) {
        period = newPeriod;
        nextSlot = static_cast<int64_t>(std::ceil(static_cast<double>(now) / period));
      }
      auto due = static_cast<int64_t>(std::llround(static_cast<double>(nextSlot) * period)) + JitterTicks(nextSlot);
      if (now >= due) {
        DeliverFrame(core, view.width, view.height, frameNumber);
        // Slots that passed while this thread was late are content frames
        // nobody saw: counted, not delivered.
        int64_t current = static_cast<int64_t>(std::floor(static_cast<double>(now) / period));
        int64_t advance = std::max<int64_t>(current + 1 - nextSlot, 1);
        frameNumber += static_cast<uint64_t>(advance);
        nextSlot += advance;
        due = static_cast<int64_t>(std::llround(static_cast<double>(nextSlot) * period)) + JitterTicks(nextSlot);
        now = TickClock::Now();
      }
      waitTicks = std::max<int64_t>(due - now, 0);
      owesFrame = false;
      lastWidth = view.width;
      lastHeight = view.height;
    } else {
      period = 0.0;
      const SyncMarks& marks = WorldSyncMarks();
      bool flash = marks.FlashAt(now);
      if (owesFrame || flash != lastFlash || view.width != lastWidth || view.height != lastHeight) {
        DeliverFrame(core, view.width, view.height, frameNumber++);
        owesFrame = false;
        lastFlash = flash;
        lastWidth = view.width;
        lastHeight = view.height;
      }
      // Wake at the next edge of a sync flash, which changes the content.
      int64_t markPeriod = marks.PeriodTicks();
      if (markPeriod > 0 && now >= 0) {
        int64_t phase = now % markPeriod;
        int64_t edge = phase < SyncMarks::kFlashTicks ? SyncMarks::kFlashTicks - phase : markPeriod - phase;
        waitTicks = std::min(waitTicks, edge);
      }
    }

    std::unique_lock lock(core->mutex);
    if (core->cv.wait_for(lock, std::chrono::microseconds(waitTicks / 10), [&] { return core->stop; })) return;
  }
}

class SimFramePool final : public IFramePool, public std::enable_shared_from_this<SimFramePool> {
 public:
  SimFramePool(std::shared_ptr<SimDevice> device, int bufferCount, bool polling)
      : core_(std::make_shared<PoolCore>(std::move(device), bufferCount, polling)) {
    ++World::Get().openFramePools;
  }
  ~SimFramePool() override { Close(); }
  SimFramePool(const SimFramePool&) = delete;
  SimFramePool& operator=(const SimFramePool&) = delete;

  std::unique_ptr<ICaptureFrame> TryGetNextFrame() override {
    std::lock_guard lock(core_->mutex);
    if (core_->closed || core_->newest < 0) return nullptr;
    int slot = core_->newest;
    core_->newest = -1;
    return std::make_unique<SimCaptureFrame>(core_, slot, core_->slots[slot].texture);
  }

  EventToken AddFrameArrived(std::function<void()> handler) override {
    return core_->AddFrameArrived(std::move(handler));
  }

  void RemoveFrameArrived(EventToken token) override { core_->RemoveFrameArrived(token); }

  // Surfaces here always have the content's size; the call is counted.
  Hresult Recreate(SizeInt32 size) override {
    if (size.width <= 0 || size.height <= 0) return hr::kInvalidArg;
    std::lock_guard lock(core_->mutex);
    if (core_->closed) return kObjectClosed;
    ++World::Get().framePoolRecreations;
    return hr::kOk;
  }

  Hresult Close() override {
    StopDelivery();
    std::map<EventToken, std::function<void()>> handlers;  // destroyed outside the lock
    {
      std::lock_guard lock(core_->mutex);
      if (core_->closed) return hr::kOk;
      core_->closed = true;
      if (core_->newest >= 0) core_->slots[core_->newest].held = false;
      core_->newest = -1;
      handlers = core_->handlers.TakeAll();
    }
    --World::Get().openFramePools;
    return hr::kOk;
  }

  Hresult StartDelivery(std::shared_ptr<Target> target) {
    return delivery_.Start(*core_, [core = core_, target = std::move(target)]() mutable {
      DeliveryLoop(std::move(core), std::move(target));
    });
  }

  bool Polling() const { return core_->polling; }

  void SetPollInterval(int64_t ticks) {
    std::lock_guard lock(core_->mutex);
    core_->intervalTicks = std::max(ticks, kMinPollTicks);
  }

  // Stops delivery and waits until no handler of this pool runs any more.
  // From a handler on the delivery thread itself the wait is impossible;
  // the thread then ends as soon as that handler returns and the world's
  // event thread joins it.
  void StopDelivery() {
    delivery_.Stop(*core_, [](std::thread& delivery) {
      auto finishing = std::make_shared<std::thread>(std::move(delivery));
      World::Get().Post([finishing] { finishing->join(); });
      return hr::kOk;
    });
  }

 private:
  std::shared_ptr<PoolCore> core_;
  platform::PoolDeliveryThread delivery_;
};

// ---- session ------------------------------------------------------------------

class SimCaptureSession final : public ICaptureSession {
 public:
  SimCaptureSession(std::shared_ptr<SimFramePool> pool, std::shared_ptr<Target> target)
      : lifecycle_(std::move(pool)), target_(std::move(target)) {}
  ~SimCaptureSession() override { Close(); }
  SimCaptureSession(const SimCaptureSession&) = delete;
  SimCaptureSession& operator=(const SimCaptureSession&) = delete;

  Hresult IsBorderPropertyPresent(bool* present) override {
    if (present == nullptr) return hr::kInvalidArg;
    return lifecycle_.WithPool([&](SimFramePool& pool) {
      *present = !pool.Polling();  // the polling source draws no border
      return hr::kOk;
    });
  }

  Hresult SetBorderRequired(bool required) override {
    return lifecycle_.WithPool([&](SimFramePool&) {
      if (Hresult failure = World::Get().borderFailureStatus.load(); Failed(failure)) return failure;
      World::Get().borderRequired = required ? 1 : 0;
      return hr::kOk;
    });
  }

  Hresult SetCursorCaptureEnabled(bool enabled) override {
    return lifecycle_.WithPool([&](SimFramePool&) {
      World::Get().cursorCaptureEnabled = enabled ? 1 : 0;
      return hr::kOk;
    });
  }

  // The capture service's frames follow the content's own rate; the
  // fallback copies once per interval.
  Hresult SetMinUpdateInterval(int64_t interval) override {
    if (interval <= 0) return hr::kInvalidArg;
    return lifecycle_.WithPool([&](SimFramePool& pool) {
      if (pool.Polling()) pool.SetPollInterval(interval);
      return hr::kOk;
    });
  }

  Hresult StartCapture() override {
    return lifecycle_.Start([&](SimFramePool& pool) { return pool.StartDelivery(target_); });
  }

  Hresult Close() override {
    return lifecycle_.Close([](SimFramePool& pool) {
      pool.StopDelivery();
      return World::Get().captureSessionCloseStatus.load();
    });
  }

 private:
  platform::CaptureSessionLifecycle<SimFramePool> lifecycle_;
  const std::shared_ptr<Target> target_;
};

// ---- the capture service ---------------------------------------------------------

// The fake world's window-capture service, or (fallback) the polling source
// used where that service cannot be activated.
class SimCapture final : public platform::IWindowCapture {
 public:
  explicit SimCapture(bool fallback) : fallback_(fallback) {}

  bool IsWindow(WindowHandle window) override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    return world.WindowLocked(window) != nullptr;
  }

  MonitorHandle MonitorFromWindow(WindowHandle window) override {
    World& world = World::Get();
    std::lock_guard lock(world.mutex);
    std::shared_ptr<Target> target = world.WindowLocked(window);
    if (!target || target->monitor < 0 || target->monitor >= static_cast<int>(world.monitors.size())) {
      return nullptr;
    }
    return world.monitors[target->monitor]->Handle();
  }

  Hresult CreateItemForWindow(WindowHandle window, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (!Available()) return hr::kClassNotRegistered;
    if (Hresult failure = Injected(World::Get().serviceWindowItemFailure); Failed(failure)) return failure;
    World& world = World::Get();
    std::shared_ptr<Target> target;
    {
      std::lock_guard lock(world.mutex);
      target = world.WindowLocked(window);
    }
    if (!target) return hr::kInvalidArg;
    *out = std::make_shared<SimCaptureItem>(std::move(target));
    return hr::kOk;
  }

  Hresult CreateItemForMonitor(MonitorHandle monitor, std::shared_ptr<ICaptureItem>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (!Available()) return hr::kClassNotRegistered;
    if (Hresult failure = Injected(World::Get().serviceMonitorItemFailure); Failed(failure)) return failure;
    World& world = World::Get();
    std::shared_ptr<Target> target;
    {
      std::lock_guard lock(world.mutex);
      int index = world.MonitorIndexLocked(monitor);
      if (index >= 0) target = world.monitors[index];
    }
    if (!target) return hr::kInvalidArg;
    *out = std::make_shared<SimCaptureItem>(std::move(target));
    return hr::kOk;
  }

  Hresult CreateFramePool(ICaptureDevice& device, int32_t bufferCount, SizeInt32 size,
                          std::shared_ptr<IFramePool>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    std::shared_ptr<SimDevice> sim = DeviceOfCaptureDevice(device);
    if (!sim || bufferCount < 1 || bufferCount > kMaxBuffers || size.width < 0 || size.height < 0) {
      return hr::kInvalidArg;
    }
    if (Hresult failure = Injected(World::Get().serviceFramePoolFailure); Failed(failure)) return failure;
    *out = std::make_shared<SimFramePool>(std::move(sim), bufferCount, fallback_);
    return hr::kOk;
  }

  Hresult CreateCaptureSession(IFramePool& pool, ICaptureItem& item,
                               std::shared_ptr<ICaptureSession>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    auto* simPool = dynamic_cast<SimFramePool*>(&pool);
    auto* simItem = dynamic_cast<SimCaptureItem*>(&item);
    if (simPool == nullptr || simItem == nullptr) return hr::kInvalidArg;
    if (Hresult failure = Injected(World::Get().serviceSessionFailure); Failed(failure)) return failure;
    *out = std::make_shared<SimCaptureSession>(simPool->shared_from_this(), simItem->GetTarget());
    return hr::kOk;
  }

 private:
  bool Available() const { return fallback_ || World::Get().captureServiceAvailable.load(); }
  // A failure injected into the service; the fallback never has one.
  Hresult Injected(const std::atomic<Hresult>& failure) const { return fallback_ ? hr::kOk : failure.load(); }

  const bool fallback_;
};

}  // namespace

platform::IWindowCapture& SimWindowCapture() {
  static SimCapture capture(/*fallback=*/false);
  return capture;
}

platform::IWindowCapture& SimFallbackWindowCapture() {
  static SimCapture capture(/*fallback=*/true);
  return capture;
}

}  // namespace ostrel::sim
