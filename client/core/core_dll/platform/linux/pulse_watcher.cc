#include "platform/linux/pulse_watcher.h"

#include <algorithm>

namespace ostrel::linuxp {
namespace {

using platform::DataFlow;
using platform::IEndpointNotificationClient;

constexpr platform::Role kRoles[] = {platform::Role::Console, platform::Role::Multimedia,
                                     platform::Role::Communications};

}  // namespace

PulseWatcher::~PulseWatcher() {
  for (IEndpointNotificationClient* client : clients_) client->Release();
}

Hresult PulseWatcher::Register(IEndpointNotificationClient* client) {
  if (client == nullptr) return hr::kInvalidArg;
  if (!subscribed_) {
    if (Hresult result = Subscribe(); Failed(result)) return result;
  }
  client->AddRef();
  clients_.push_back(client);
  return hr::kOk;
}

Hresult PulseWatcher::Unregister(IEndpointNotificationClient* client) {
  auto found = std::find(clients_.begin(), clients_.end(), client);
  if (found == clients_.end()) return hr::kNotFound;
  clients_.erase(found);
  client->Release();
  return hr::kOk;
}

Hresult PulseWatcher::Subscribe() {
  // What exists now is the reference the first events are compared with.
  for (DataFlow flow : {DataFlow::Render, DataFlow::Capture}) {
    for (const PulseDevice& device : ListDevices(connection_, flow)) {
      (flow == DataFlow::Render ? sinks_ : sources_)[device.index] = Known{device.name, device.state};
    }
  }
  std::optional<PulseDefaults> defaults = ServerDefaults(connection_);
  if (!defaults) return kAudioServiceNotRunning;
  defaults_ = std::move(*defaults);

  pa_context_set_subscribe_callback(connection_.Context(), &PulseWatcher::OnEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                        PA_SUBSCRIPTION_MASK_SERVER);
  if (!connection_.Wait(pa_context_subscribe(connection_.Context(), mask, &PulseWatcher::OnSubscribed, &connection_))) {
    pa_context_set_subscribe_callback(connection_.Context(), nullptr, nullptr);
    return kAudioServiceNotRunning;
  }
  subscribed_ = true;
  return hr::kOk;
}

void PulseWatcher::OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self) {
  auto* watcher = static_cast<PulseWatcher*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  pa_operation* operation = nullptr;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    operation = pa_context_get_server_info(context, &PulseWatcher::OnServerInfo, self);
  } else if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    const bool sink = facility == PA_SUBSCRIPTION_EVENT_SINK;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      std::map<uint32_t, Known>& known = sink ? watcher->sinks_ : watcher->sources_;
      auto found = known.find(index);
      if (found == known.end()) return;  // a monitor, or never seen
      const std::wstring id = PulseWide(found->second.name.c_str());
      known.erase(found);
      for (IEndpointNotificationClient* client : watcher->clients_) client->OnDeviceRemoved(id.c_str());
      return;
    }
    operation = sink ? pa_context_get_sink_info_by_index(context, index, &PulseWatcher::OnSinkInfo, self)
                     : pa_context_get_source_info_by_index(context, index, &PulseWatcher::OnSourceInfo, self);
  }
  // The answer arrives on this thread; the watcher outlives the loop.
  if (operation != nullptr) pa_operation_unref(operation);
}

void PulseWatcher::OnSubscribed(pa_context*, int, void* connection) {
  static_cast<PulseConnection*>(connection)->Signal();
}

void PulseWatcher::OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
  if (eol == 0 && info != nullptr) static_cast<PulseWatcher*>(self)->Seen(DeviceOf(*info));
}

void PulseWatcher::OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
  if (eol != 0 || info == nullptr) return;
  if (std::optional<PulseDevice> device = DeviceOf(*info)) static_cast<PulseWatcher*>(self)->Seen(*device);
}

void PulseWatcher::OnServerInfo(pa_context*, const pa_server_info* info, void* self) {
  if (info == nullptr) return;
  PulseDefaults defaults;
  if (info->default_sink_name != nullptr) defaults.sink = info->default_sink_name;
  if (info->default_source_name != nullptr) defaults.source = info->default_source_name;
  static_cast<PulseWatcher*>(self)->DefaultsSeen(defaults);
}

// Running/idle/suspended changes come as "change" events too; only what an
// endpoint state tells (active or unplugged) is passed on.
void PulseWatcher::Seen(const PulseDevice& device) {
  std::map<uint32_t, Known>& known = device.flow == DataFlow::Render ? sinks_ : sources_;
  const std::wstring id = PulseWide(device.name.c_str());
  auto found = known.find(device.index);
  if (found == known.end()) {
    known[device.index] = Known{device.name, device.state};
    for (IEndpointNotificationClient* client : clients_) client->OnDeviceAdded(id.c_str());
    return;
  }
  if (found->second.state == device.state) return;
  found->second.state = device.state;
  for (IEndpointNotificationClient* client : clients_) client->OnDeviceStateChanged(id.c_str(), device.state);
}

void PulseWatcher::DefaultsSeen(const PulseDefaults& defaults) {
  auto announce = [this](DataFlow flow, const std::string& name, bool endpoint) {
    // A monitor as the default source means no default microphone.
    const std::wstring id = endpoint ? PulseWide(name.c_str()) : std::wstring();
    for (IEndpointNotificationClient* client : clients_) {
      for (platform::Role role : kRoles) client->OnDefaultDeviceChanged(flow, role, id.empty() ? nullptr : id.c_str());
    }
  };
  if (defaults.sink != defaults_.sink) {
    defaults_.sink = defaults.sink;
    announce(DataFlow::Render, defaults.sink, !defaults.sink.empty());
  }
  if (defaults.source != defaults_.source) {
    defaults_.source = defaults.source;
    const bool endpoint = std::any_of(sources_.begin(), sources_.end(),
                                      [&](const auto& entry) { return entry.second.name == defaults.source; });
    announce(DataFlow::Capture, defaults.source, endpoint);
  }
}

}  // namespace ostrel::linuxp
