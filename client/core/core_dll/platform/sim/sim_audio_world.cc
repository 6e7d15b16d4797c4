#include "platform/sim/sim_audio_world.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "platform/sim/sim_audio.h"

namespace ostrel::sim {
namespace {

using platform::DataFlow;
using platform::Role;

constexpr uint32_t kDeviceStateNotPresent = 0x4;  // DEVICE_STATE_NOTPRESENT
constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 768000;
constexpr int kMaxChannels = 8;

constexpr std::array<const char*, 15> kFailableCalls = {
    "GetDevice",         "GetDefaultAudioEndpoint", "GetId",         "Activate",
    "GetMixFormat",      "Initialize",              "GetService",    "Start",
    "GetNextPacketSize", "GetBuffer",               "ReleaseBuffer", "CreateDeviceEnumerator",
    "RegisterEndpointNotificationCallback",          "EnumAudioEndpoints", "GetRenderService"};

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

SimAudioSignal DefaultSignal(DataFlow flow) {
  return {1, flow == DataFlow::Render ? 440.0 : 880.0, 0.25};
}

}  // namespace

uint16_t SampleBytes(SimSampleFormat format) {
  switch (format) {
    case SimSampleFormat::Int16: return 2;
    case SimSampleFormat::Int24: return 3;
    case SimSampleFormat::Float32:
    case SimSampleFormat::Int32: return 4;
  }
  return 4;
}

uint32_t StandardChannelMask(uint16_t channels) {
  switch (channels) {
    case 1: return 0x4;    // front centre
    case 2: return 0x3;    // front left, right
    case 3: return 0x7;    // + front centre
    case 4: return 0x33;   // quad
    case 5: return 0x37;   // quad + centre
    case 6: return 0x3F;   // 5.1
    case 7: return 0x13F;  // 5.1 + back centre
    case 8: return 0x63F;  // 7.1 with side speakers
    default: return 0;
  }
}

std::vector<uint8_t> BuildWaveFormat(uint32_t sampleRate, uint16_t channels, SimSampleFormat format,
                                     bool extensible) {
  const uint16_t bits = static_cast<uint16_t>(SampleBytes(format) * 8);
  const uint16_t blockAlign = static_cast<uint16_t>(channels * SampleBytes(format));
  const bool isFloat = format == SimSampleFormat::Float32;
  std::vector<uint8_t> out;
  out.reserve(40);
  Put16(out, extensible ? 0xFFFE : (isFloat ? 3 : 1));
  Put16(out, channels);
  Put32(out, sampleRate);
  Put32(out, sampleRate * blockAlign);
  Put16(out, blockAlign);
  Put16(out, bits);
  Put16(out, extensible ? 22 : 0);
  if (extensible) {
    Put16(out, bits);  // valid bits per sample
    Put32(out, StandardChannelMask(channels));
    // KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT: {0000000X-0000-0010-8000-00AA00389B71}
    Put32(out, isFloat ? 3 : 1);
    Put16(out, 0x0000);
    Put16(out, 0x0010);
    const uint8_t tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    out.insert(out.end(), tail, tail + 8);
  }
  return out;
}

SimAudioWorld& SimAudioWorld::Get() {
  static SimAudioWorld world;
  return world;
}

SimAudioWorld::SimAudioWorld() { ResetLocked(); }

SimAudioWorld::~SimAudioWorld() { StopNotificationThread(); }

void SimAudioWorld::Reset() {
  // Whatever was queued for the old world is delivered first, so no stale
  // notification reaches a capture after the reset.
  StopNotificationThread();
  std::lock_guard lock(mutex_);
  ResetLocked();
}

void SimAudioWorld::ResetLocked() {
  for (auto& endpoint : endpoints_) endpoint->removed.store(true);
  endpoints_.clear();
  failures_.clear();
  failureCount_.store(0);
  auto make = [this](DataFlow flow, const wchar_t* id, const wchar_t* name) {
    auto endpoint = std::make_shared<SimAudioEndpoint>();
    endpoint->id = id;
    endpoint->friendlyName = name;
    endpoint->flow = flow;
    endpoint->waveFormat = BuildWaveFormat(48000, 2, SimSampleFormat::Float32, true);
    endpoint->signal = DefaultSignal(flow);
    endpoints_.push_back(endpoint);
  };
  make(DataFlow::Render, kDefaultRenderEndpointId, kDefaultRenderEndpointName);
  make(DataFlow::Capture, kDefaultCaptureEndpointId, kDefaultCaptureEndpointName);
  defaultRender_ = kDefaultRenderEndpointId;
  defaultCapture_ = kDefaultCaptureEndpointId;
}

bool SimAudioWorld::AddEndpoint(DataFlow flow, const std::wstring& id,
                                std::optional<std::wstring> friendlyName, int sampleRate, int channels,
                                int sampleFormat, bool extensible, bool makeDefault) {
  if (id.empty() || sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate || channels < 1 ||
      channels > kMaxChannels || sampleFormat < 0 || sampleFormat > 3) {
    return false;
  }
  auto endpoint = std::make_shared<SimAudioEndpoint>();
  endpoint->id = id;
  endpoint->friendlyName = std::move(friendlyName);
  endpoint->flow = flow;
  endpoint->sampleRate = static_cast<uint32_t>(sampleRate);
  endpoint->channels = static_cast<uint16_t>(channels);
  endpoint->sampleFormat = static_cast<SimSampleFormat>(sampleFormat);
  endpoint->waveFormat = BuildWaveFormat(endpoint->sampleRate, endpoint->channels, endpoint->sampleFormat,
                                         extensible);
  endpoint->signal = DefaultSignal(flow);

  std::lock_guard lock(mutex_);
  if (FindLocked(id)) return false;
  endpoints_.push_back(std::move(endpoint));
  QueueLocked({EventKind::Added, id});
  if (makeDefault) {
    DefaultIdLocked(flow) = id;
    QueueDefaultChangedLocked(flow);
  }
  return true;
}

void SimAudioWorld::RemoveEndpoint(const std::wstring& id) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(endpoints_.begin(), endpoints_.end(),
                         [&](const auto& endpoint) { return endpoint->id == id; });
  if (it == endpoints_.end()) return;
  std::shared_ptr<SimAudioEndpoint> endpoint = *it;
  endpoint->removed.store(true);
  endpoints_.erase(it);
  QueueLocked({EventKind::StateChanged, id, endpoint->flow, true, kDeviceStateNotPresent});
  QueueLocked({EventKind::Removed, id});
  std::wstring& defaultId = DefaultIdLocked(endpoint->flow);
  if (defaultId == id) {
    // Like the system: the next endpoint of the flow takes over, if any.
    defaultId.clear();
    for (const auto& other : endpoints_) {
      if (other->flow == endpoint->flow) {
        defaultId = other->id;
        break;
      }
    }
    QueueDefaultChangedLocked(endpoint->flow);
  }
}

void SimAudioWorld::SetSignal(const std::wstring& id, SimAudioSignal signal) {
  if ((signal.kind != 0 && signal.kind != 1) || !std::isfinite(signal.frequencyHz) ||
      !std::isfinite(signal.amplitude)) {
    return;
  }
  std::lock_guard lock(mutex_);
  if (auto endpoint = FindLocked(id)) endpoint->signal = signal;
}

bool SimAudioWorld::FailCall(const std::wstring& id, const std::string& call, uint32_t status,
                             int count) {
  if (std::find(kFailableCalls.begin(), kFailableCalls.end(), call) == kFailableCalls.end()) return false;
  std::lock_guard lock(mutex_);
  std::erase_if(failures_, [&](const FailureRule& rule) { return rule.id == id && rule.call == call; });
  if (status != 0 && count != 0) {
    failures_.push_back({id, call, static_cast<Hresult>(status), count < 0 ? -1 : count});
  }
  failureCount_.store(failures_.size());
  return true;
}

void SimAudioWorld::InjectGap(const std::wstring& id, int frames) {
  if (frames <= 0) return;
  std::lock_guard lock(mutex_);
  if (auto endpoint = FindLocked(id)) endpoint->pendingGapFrames.fetch_add(frames);
}

void SimAudioWorld::InjectSilentPackets(const std::wstring& id, int packets) {
  if (packets <= 0) return;
  std::lock_guard lock(mutex_);
  if (auto endpoint = FindLocked(id)) endpoint->pendingSilentPackets.fetch_add(packets);
}

void SimAudioWorld::SetClockPpm(const std::wstring& id, double ppm) {
  if (!std::isfinite(ppm) || ppm <= -100000.0 || ppm >= 100000.0) return;
  std::lock_guard lock(mutex_);
  if (auto endpoint = FindLocked(id)) endpoint->clockPpm.store(ppm);
}

Hresult SimAudioWorld::InjectedFailure(const char* call, const std::wstring& endpointId) {
  if (failureCount_.load() == 0) return hr::kOk;
  std::lock_guard lock(mutex_);
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->call != call || (!it->id.empty() && it->id != endpointId)) continue;
    Hresult status = it->status;
    if (it->remaining > 0 && --it->remaining == 0) {
      failures_.erase(it);
      failureCount_.store(failures_.size());
    }
    return status;
  }
  return hr::kOk;
}

std::shared_ptr<SimAudioEndpoint> SimAudioWorld::Find(const std::wstring& id) {
  std::lock_guard lock(mutex_);
  return FindLocked(id);
}

std::shared_ptr<SimAudioEndpoint> SimAudioWorld::Default(DataFlow flow) {
  std::lock_guard lock(mutex_);
  const std::wstring& id = DefaultIdLocked(flow);
  return id.empty() ? nullptr : FindLocked(id);
}

std::vector<std::shared_ptr<SimAudioEndpoint>> SimAudioWorld::Active(DataFlow flow) {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<SimAudioEndpoint>> out;
  for (const auto& endpoint : endpoints_) {
    if (endpoint->flow == flow) out.push_back(endpoint);
  }
  return out;
}

SimAudioSignal SimAudioWorld::Signal(const SimAudioEndpoint& endpoint) {
  std::lock_guard lock(mutex_);
  return endpoint.signal;
}

Hresult SimAudioWorld::Register(const void* owner, platform::IEndpointNotificationClient* client) {
  if (client == nullptr) return hr::kInvalidArg;
  std::lock_guard lock(mutex_);
  for (const Registration& registration : registrations_) {
    if (registration.owner == owner && registration.client == client) return hr::kInvalidArg;
  }
  client->AddRef();
  registrations_.push_back({owner, client});
  return hr::kOk;
}

Hresult SimAudioWorld::Unregister(const void* owner, platform::IEndpointNotificationClient* client) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
      return r.owner == owner && r.client == client;
    });
    if (it == registrations_.end()) return hr::kNotFound;
    registrations_.erase(it);
  }
  client->Release();  // may destroy it: never under the mutex
  return hr::kOk;
}

void SimAudioWorld::UnregisterAll(const void* owner) {
  std::vector<platform::IEndpointNotificationClient*> released;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const Registration& r) {
      if (r.owner != owner) return false;
      released.push_back(r.client);
      return true;
    });
  }
  for (auto* client : released) client->Release();
}

std::shared_ptr<SimAudioEndpoint> SimAudioWorld::FindLocked(const std::wstring& id) const {
  for (const auto& endpoint : endpoints_) {
    if (endpoint->id == id) return endpoint;
  }
  return nullptr;
}

std::wstring& SimAudioWorld::DefaultIdLocked(DataFlow flow) {
  return flow == DataFlow::Render ? defaultRender_ : defaultCapture_;
}

void SimAudioWorld::QueueLocked(Event event) {
  events_.push_back(std::move(event));
  // While a stop is joining the old thread, the stopper starts the next one.
  if (!notifier_.joinable() && !stopping_) notifier_ = std::thread([this] { NotificationLoop(); });
  eventsChanged_.notify_all();
}

void SimAudioWorld::QueueDefaultChangedLocked(DataFlow flow) {
  const std::wstring& id = DefaultIdLocked(flow);
  QueueLocked({EventKind::DefaultChanged, id, flow, !id.empty()});
}

void SimAudioWorld::NotificationLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    eventsChanged_.wait(lock, [&] { return stopping_ || !events_.empty(); });
    if (events_.empty()) return;  // stopping, and everything was delivered
    Event event = std::move(events_.front());
    events_.pop_front();
    // A reference per client keeps it alive should it be unregistered while
    // the notification is under way.
    std::vector<platform::IEndpointNotificationClient*> clients;
    for (const Registration& registration : registrations_) {
      registration.client->AddRef();
      clients.push_back(registration.client);
    }
    lock.unlock();
    const wchar_t* id = event.hasId ? event.id.c_str() : nullptr;
    for (auto* client : clients) {
      switch (event.kind) {
        case EventKind::Added: client->OnDeviceAdded(id); break;
        case EventKind::Removed: client->OnDeviceRemoved(id); break;
        case EventKind::StateChanged: client->OnDeviceStateChanged(id, event.state); break;
        case EventKind::DefaultChanged:
          for (Role role : {Role::Console, Role::Multimedia, Role::Communications}) {
            client->OnDefaultDeviceChanged(event.flow, role, id);
          }
          break;
      }
      client->Release();
    }
    lock.lock();
  }
}

void SimAudioWorld::StopNotificationThread() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (!notifier_.joinable()) return;
    stopping_ = true;
    thread = std::move(notifier_);
  }
  eventsChanged_.notify_all();
  thread.join();
  std::lock_guard lock(mutex_);
  stopping_ = false;
  if (!events_.empty()) notifier_ = std::thread([this] { NotificationLoop(); });
}

}  // namespace ostrel::sim
