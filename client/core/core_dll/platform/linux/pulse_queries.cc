// Synchronous introspection of the sound server: each query issues one
// operation and waits for its last callback.
#include "platform/linux/pulse_audio.h"

namespace ostrel::linuxp {
namespace {

using platform::DataFlow;

template <typename Port>
uint32_t StateOf(const Port* activePort) {
  return activePort != nullptr && activePort->available == PA_PORT_AVAILABLE_NO ? kDeviceStateUnplugged
                                                                                : platform::kDeviceStateActive;
}

struct ListResult {
  PulseConnection* connection;
  std::vector<PulseDevice> devices;
};

void OnSinkListed(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* result = static_cast<ListResult*>(userdata);
  if (eol != 0 || info == nullptr) {
    result->connection->Signal();
    return;
  }
  result->devices.push_back(DeviceOf(*info));
}

void OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* result = static_cast<ListResult*>(userdata);
  if (eol != 0 || info == nullptr) {
    result->connection->Signal();
    return;
  }
  if (std::optional<PulseDevice> device = DeviceOf(*info)) result->devices.push_back(std::move(*device));
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* result = static_cast<std::pair<PulseConnection*, std::optional<PulseDefaults>>*>(userdata);
  if (info != nullptr) {
    PulseDefaults defaults;
    if (info->default_sink_name != nullptr) defaults.sink = info->default_sink_name;
    if (info->default_source_name != nullptr) defaults.source = info->default_source_name;
    result->second = std::move(defaults);
  }
  result->first->Signal();
}

}  // namespace

PulseDevice DeviceOf(const pa_sink_info& info) {
  PulseDevice device;
  device.flow = DataFlow::Render;
  device.index = info.index;
  device.name = info.name != nullptr ? info.name : "";
  device.description = info.description != nullptr ? info.description : "";
  device.recordSource = info.monitor_source_name != nullptr ? info.monitor_source_name : "";
  device.sampleFormat = info.sample_spec;
  device.map = info.channel_map;
  device.state = StateOf(info.active_port);
  return device;
}

std::optional<PulseDevice> DeviceOf(const pa_source_info& info) {
  if (info.monitor_of_sink != PA_INVALID_INDEX) return std::nullopt;
  PulseDevice device;
  device.flow = DataFlow::Capture;
  device.index = info.index;
  device.name = info.name != nullptr ? info.name : "";
  device.description = info.description != nullptr ? info.description : "";
  device.recordSource = device.name;
  device.sampleFormat = info.sample_spec;
  device.map = info.channel_map;
  device.state = StateOf(info.active_port);
  return device;
}

std::vector<PulseDevice> ListDevices(PulseConnection& connection, DataFlow flow) {
  ListResult result{&connection, {}};
  pa_operation* operation =
      flow == DataFlow::Render
          ? pa_context_get_sink_info_list(connection.Context(), &OnSinkListed, &result)
          : pa_context_get_source_info_list(connection.Context(), &OnSourceListed, &result);
  if (!connection.Wait(operation)) return {};
  return std::move(result.devices);
}

std::optional<PulseDevice> FindDevice(PulseConnection& connection, const std::string& name) {
  // Sinks and sources share one name space on the server.
  ListResult result{&connection, {}};
  if (!connection.Wait(pa_context_get_sink_info_by_name(connection.Context(), name.c_str(), &OnSinkListed,
                                                        &result))) {
    return std::nullopt;
  }
  if (result.devices.empty() &&
      !connection.Wait(pa_context_get_source_info_by_name(connection.Context(), name.c_str(), &OnSourceListed,
                                                          &result))) {
    return std::nullopt;
  }
  if (result.devices.empty()) return std::nullopt;
  return std::move(result.devices.front());
}

std::optional<PulseDefaults> ServerDefaults(PulseConnection& connection) {
  std::pair<PulseConnection*, std::optional<PulseDefaults>> result{&connection, std::nullopt};
  if (!connection.Wait(pa_context_get_server_info(connection.Context(), &OnServerInfo, &result))) {
    return std::nullopt;
  }
  return std::move(result.second);
}

}  // namespace ostrel::linuxp
