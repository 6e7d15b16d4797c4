// The PulseAudio side of the audio interfaces, shared by the files of the
// backend: what the server says about one sink or source, the synchronous
// queries behind the enumerator, and the stream behind an endpoint.
//
// Render endpoints are sinks (recorded through their monitor source),
// capture endpoints the sources that are not monitors. An endpoint's id is
// the sink's or source's name, its friendly name the description.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/linux/pulse_connection.h"

namespace ostrel::linuxp {

// DEVICE_STATE_UNPLUGGED: the active port says nothing is plugged in.
constexpr uint32_t kDeviceStateUnplugged = 0x8;

struct PulseDevice {
  platform::DataFlow flow = platform::DataFlow::Render;
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::string recordSource;  // the source a capture reads: a sink's monitor or the source itself
  pa_sample_spec sampleFormat{};
  pa_channel_map map{};
  uint32_t state = platform::kDeviceStateActive;
};

struct PulseDefaults {
  std::string sink;
  std::string source;
};

// Queries made with the connection's loop locked. An empty result also
// stands for a connection that died meanwhile.
std::vector<PulseDevice> ListDevices(PulseConnection& connection, platform::DataFlow flow);
std::optional<PulseDevice> FindDevice(PulseConnection& connection, const std::string& name);
std::optional<PulseDefaults> ServerDefaults(PulseConnection& connection);

// Conversion of the server's records, also used by the change listener
// (null for a monitor source: never an endpoint of its own).
PulseDevice DeviceOf(const pa_sink_info& info);
std::optional<PulseDevice> DeviceOf(const pa_source_info& info);

// IAudioClient of one endpoint (pulse_stream.cc).
std::shared_ptr<platform::IAudioClient> MakePulseAudioClient(std::shared_ptr<PulseConnection> connection,
                                                             PulseDevice device);

}  // namespace ostrel::linuxp
