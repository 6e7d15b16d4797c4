#include "platform/sim/sim_world.h"

#include "platform/sim/sync_marks.h"

namespace ostrel::sim {
namespace {

constexpr uintptr_t kFirstWindowId = 0x1000000;

}  // namespace

World& World::Get() {
  static World world;
  return world;
}

World::World() : nextWindowId(kFirstWindowId) {
  // The event thread starts here and is joined by the destructor, so the
  // world never leaves a thread behind at exit.
  eventThread_ = std::thread([this] { EventLoop(); });
  std::lock_guard lock(mutex);
  ResetListsLocked();
}

World::~World() {
  {
    std::lock_guard lock(eventMutex_);
    eventStop_ = true;
  }
  eventCv_.notify_all();
  if (eventThread_.joinable()) eventThread_.join();
}

void World::ResetListsLocked() {
  adapters.clear();
  adapters.push_back(AdapterState{L"Ostrel Sim GPU", false});

  // Monitor 0 keeps its object so its handle and its capture items survive;
  // every other monitor goes away and its items see their closed event.
  std::shared_ptr<Target> primary =
      monitors.empty() ? std::make_shared<Target>(TargetKind::Monitor, MonitorId(0)) : monitors[0];
  for (size_t i = 1; i < monitors.size(); ++i) CloseTargetLocked(monitors[i]);
  monitors.clear();
  primary->width = 1920;
  primary->height = 1080;
  primary->adapter = 0;
  primary->rateHz = 60.0;
  monitors.push_back(primary);

  std::map<uintptr_t, std::shared_ptr<Target>> gone;
  gone.swap(windows);
  for (auto& [id, window] : gone) CloseTargetLocked(window);
}

void World::Reset() {
  {
    std::lock_guard lock(mutex);
    ResetListsLocked();
  }
  deviceLostReason = hr::kOk;
  priorityHonoured = true;
  stagingDelayMs = 0;
  videoProcessorNv12 = true;
  videoProcessorPresent = true;
  deviceCreationFailure = hr::kOk;
  encoderPresent = true;
  encoderD3D11Aware = true;
  hardwareFramesEncoderFirst = false;
  hardwareDeviceRequests = 0;
  mediaStartupFailure = hr::kOk;
  apartmentJoins = 0;
  unmatchedApartmentLeaves = 0;
  apartmentHolds = 0;
  textureFailuresLeft = 0;
  textureFailureStatus = hr::kOk;
  textureCreationDelayMs = 0;
  frameDeliveryEnabled = true;
  captureServiceAvailable = true;
  serviceWindowItemFailure = hr::kOk;
  serviceMonitorItemFailure = hr::kOk;
  serviceFramePoolFailure = hr::kOk;
  serviceSessionFailure = hr::kOk;
  captureSessionCloseStatus = hr::kOk;
  borderFailureStatus = hr::kOk;
  surfaceFailuresLeft = 0;
  surfaceFailureStatus = hr::kOk;
  deliveredFrames = 0;
  deliveryJitterTicks = 0;
  fallbackFrames = 0;
  lastDeviceAdapter = -1;
  borderRequired = -1;
  cursorCaptureEnabled = -1;
  framePoolRecreations = 0;
  WorldSyncMarks().SetPeriodMs(0);
  // Closed events of the windows destroyed above are delivered before the
  // reset returns, so they cannot reach a later test.
  Flush();
}

int World::MonitorIndexLocked(void* handle) const {
  for (size_t i = 0; i < monitors.size(); ++i) {
    if (monitors[i]->Handle() == handle) return static_cast<int>(i);
  }
  return -1;
}

std::shared_ptr<Target> World::WindowLocked(void* handle) const {
  auto it = windows.find(reinterpret_cast<uintptr_t>(handle));
  if (it == windows.end()) return nullptr;
  return it->second;
}

TargetView World::View(const Target& target) {
  std::lock_guard lock(mutex);
  TargetView view;
  view.closed = target.closed;
  view.minimized = target.minimized;
  view.width = target.width;
  view.height = target.height;
  view.rateHz = target.rateHz;
  return view;
}

void World::CloseTargetLocked(const std::shared_ptr<Target>& target) {
  if (target->closed) return;
  target->closed = true;
  // The handlers are read when the event runs, so one removed in the
  // meantime is not called.
  Post([this, target] {
    std::vector<std::function<void()>> handlers;
    {
      std::lock_guard lock(mutex);
      for (auto& [token, handler] : target->closedHandlers) handlers.push_back(handler);
    }
    for (auto& handler : handlers) {
      try {
        handler();
      } catch (...) {
        // An event source has no one to report a handler's error to.
      }
    }
  });
}

void World::Post(std::function<void()> task) {
  {
    std::lock_guard lock(eventMutex_);
    events_.push_back(std::move(task));
    ++eventsPosted_;
  }
  eventCv_.notify_all();
}

void World::Flush() {
  if (OnEventThread()) return;
  std::unique_lock lock(eventMutex_);
  uint64_t target = eventsPosted_;
  eventCv_.wait(lock, [&] { return eventsDone_ >= target || eventStop_; });
}

bool World::OnEventThread() const { return std::this_thread::get_id() == eventThread_.get_id(); }

void World::EventLoop() {
  std::unique_lock lock(eventMutex_);
  for (;;) {
    eventCv_.wait(lock, [&] { return eventStop_ || !events_.empty(); });
    if (events_.empty()) return;  // stopping and nothing left
    std::function<void()> task = std::move(events_.front());
    events_.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // release captures outside the lock
    lock.lock();
    ++eventsDone_;
    eventCv_.notify_all();
  }
}

}  // namespace ostrel::sim
