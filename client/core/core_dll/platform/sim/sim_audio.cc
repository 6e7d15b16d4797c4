// The fake world's device enumerator, endpoints and scheduler, and the
// OstrelSim_ calls that script the audio side of the world.
#include "platform/sim/sim_audio.h"

#include "ostrel/ostrel_sim.h"
#include "platform/common/endpoint_list.h"
#include "platform/sim/sim_audio_world.h"

namespace ostrel::sim {
namespace {

using platform::DataFlow;
using platform::IAudioEndpoint;

class SimEndpointHandle final : public IAudioEndpoint {
 public:
  explicit SimEndpointHandle(std::shared_ptr<SimAudioEndpoint> endpoint) : endpoint_(std::move(endpoint)) {}

  Hresult GetId(std::wstring* id) override {
    if (id == nullptr) return hr::kInvalidArg;
    if (Hresult failure = SimAudioWorld::Get().InjectedFailure("GetId", endpoint_->id); Failed(failure)) {
      return failure;
    }
    *id = endpoint_->id;
    return hr::kOk;
  }

  Hresult GetFriendlyName(std::wstring* name) override {
    if (name == nullptr) return hr::kInvalidArg;
    if (!endpoint_->friendlyName) return hr::kFail;
    *name = *endpoint_->friendlyName;
    return hr::kOk;
  }

  Hresult Activate(std::shared_ptr<platform::IAudioClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (Hresult failure = SimAudioWorld::Get().InjectedFailure("Activate", endpoint_->id); Failed(failure)) {
      return failure;
    }
    if (endpoint_->removed.load()) return hr::kAudioDeviceInvalidated;
    *out = MakeSimAudioClient(endpoint_);
    return hr::kOk;
  }

 private:
  std::shared_ptr<SimAudioEndpoint> endpoint_;
};

class SimDeviceEnumerator final : public platform::IAudioDeviceEnumerator {
 public:
  ~SimDeviceEnumerator() override { SimAudioWorld::Get().UnregisterAll(this); }

  Hresult GetDefaultAudioEndpoint(DataFlow flow, platform::Role,
                                  std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    SimAudioWorld& world = SimAudioWorld::Get();
    // The sim has one default per flow; every role follows it.
    std::shared_ptr<SimAudioEndpoint> endpoint = world.Default(flow);
    if (Hresult failure = world.InjectedFailure("GetDefaultAudioEndpoint", endpoint ? endpoint->id : L"");
        Failed(failure)) {
      return failure;
    }
    if (!endpoint) return hr::kNotFound;
    *out = std::make_shared<SimEndpointHandle>(std::move(endpoint));
    return hr::kOk;
  }

  Hresult GetDevice(const std::wstring& id, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    SimAudioWorld& world = SimAudioWorld::Get();
    if (Hresult failure = world.InjectedFailure("GetDevice", id); Failed(failure)) return failure;
    std::shared_ptr<SimAudioEndpoint> endpoint = world.Find(id);
    if (!endpoint) return hr::kNotFound;
    *out = std::make_shared<SimEndpointHandle>(std::move(endpoint));
    return hr::kOk;
  }

  Hresult EnumAudioEndpoints(DataFlow flow, uint32_t stateMask,
                             std::shared_ptr<platform::IAudioEndpointCollection>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    SimAudioWorld& world = SimAudioWorld::Get();
    if (Hresult failure = world.InjectedFailure("EnumAudioEndpoints", L""); Failed(failure)) return failure;
    // Every endpoint of the world is active; removed ones are gone.
    std::vector<std::shared_ptr<SimAudioEndpoint>> endpoints;
    if ((stateMask & platform::kDeviceStateActive) != 0) endpoints = world.Active(flow);
    *out = platform::EndpointList::Of(endpoints, [](std::shared_ptr<SimAudioEndpoint>& endpoint) {
      return std::make_shared<SimEndpointHandle>(std::move(endpoint));
    });
    return hr::kOk;
  }

  Hresult RegisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    SimAudioWorld& world = SimAudioWorld::Get();
    if (Hresult failure = world.InjectedFailure("RegisterEndpointNotificationCallback", L"");
        Failed(failure)) {
      return failure;
    }
    return world.Register(this, client);
  }

  Hresult UnregisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    return SimAudioWorld::Get().Unregister(this, client);
  }
};

class SimAudioSystemImpl final : public platform::IAudioSystem {
 public:
  Hresult CreateDeviceEnumerator(std::shared_ptr<platform::IAudioDeviceEnumerator>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (Hresult failure = SimAudioWorld::Get().InjectedFailure("CreateDeviceEnumerator", L"");
        Failed(failure)) {
      return failure;
    }
    *out = std::make_shared<SimDeviceEnumerator>();
    return hr::kOk;
  }

  // The multimedia class scheduler has no equivalent on this backend: the
  // registration is a token that changes nothing about the thread.
  void* EnterProAudioScheduling() override { return &token_; }
  bool SetCriticalPriority(void* handle) override { return handle == &token_; }
  void LeaveProAudioScheduling(void*) override {}

 private:
  int token_ = 0;
};

DataFlow FlowOf(bool capture) { return capture ? DataFlow::Capture : DataFlow::Render; }

std::wstring IdOrEmpty(const wchar_t* id) { return id != nullptr ? std::wstring(id) : std::wstring(); }

}  // namespace

platform::IAudioSystem& SimAudioSystem() {
  static SimAudioSystemImpl system;
  return system;
}

void ResetSimAudio() { SimAudioWorld::Get().Reset(); }

}  // namespace ostrel::sim

using ostrel::sim::LoopbackIdle;
using ostrel::sim::SimAudioWorld;

extern "C" {

OSTREL_API bool OstrelSim_AddAudioEndpoint(bool capture, const wchar_t* id, const wchar_t* friendlyName,
                                           int sampleRate, int channels, int sampleFormat, bool extensible,
                                           bool makeDefault) {
  if (id == nullptr) return false;
  std::optional<std::wstring> name;
  if (friendlyName != nullptr) name = friendlyName;
  return SimAudioWorld::Get().AddEndpoint(ostrel::sim::FlowOf(capture), id, std::move(name), sampleRate,
                                          channels, sampleFormat, extensible, makeDefault);
}

OSTREL_API void OstrelSim_RemoveAudioEndpoint(const wchar_t* id) {
  if (id != nullptr) SimAudioWorld::Get().RemoveEndpoint(id);
}

OSTREL_API void OstrelSim_SetAudioSignal(const wchar_t* id, int kind, double frequencyHz, double amplitude) {
  if (id == nullptr) return;
  SimAudioWorld::Get().SetSignal(id, {kind, frequencyHz, amplitude});
}

OSTREL_API void OstrelSim_FailAudioCall(const wchar_t* id, const char* call, uint32_t status, int count) {
  if (call == nullptr) return;
  SimAudioWorld::Get().FailCall(ostrel::sim::IdOrEmpty(id), call, status, count);
}

OSTREL_API void OstrelSim_InjectAudioGap(const wchar_t* id, int frames) {
  if (id != nullptr) SimAudioWorld::Get().InjectGap(id, frames);
}

OSTREL_API void OstrelSim_InjectSilentPackets(const wchar_t* id, int packets) {
  if (id != nullptr) SimAudioWorld::Get().InjectSilentPackets(id, packets);
}

OSTREL_API void OstrelSim_SetAudioClockPpm(const wchar_t* id, double ppm) {
  if (id != nullptr) SimAudioWorld::Get().SetClockPpm(id, ppm);
}

OSTREL_API void OstrelSim_SetLoopbackIdle(const wchar_t* id, int mode) {
  if (id == nullptr || mode < 0 || mode > 2) return;
  if (auto endpoint = SimAudioWorld::Get().Find(id)) endpoint->loopbackIdle.store(static_cast<LoopbackIdle>(mode));
}

OSTREL_API int OstrelSim_RunningRenderStreams(const wchar_t* id) {
  if (id == nullptr) return -1;
  auto endpoint = SimAudioWorld::Get().Find(id);
  return endpoint ? endpoint->runningRenderStreams.load() : -1;
}

}  // extern "C"
