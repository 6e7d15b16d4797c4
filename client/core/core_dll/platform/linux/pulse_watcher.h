// The endpoint-change listener of one connection: the server's subscription
// events become the default-changed / added / removed / state-changed calls
// of the registered notification clients.
//
// Events carry only an index, so the watcher keeps the names and states of
// the endpoints it has seen; a new or changed sink or source is looked up
// asynchronously on the loop's thread. Everything here runs with the loop
// locked: registration on the caller's thread, events on the loop's.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/linux/pulse_audio.h"

namespace ostrel::linuxp {

class PulseWatcher {
 public:
  explicit PulseWatcher(PulseConnection& connection) : connection_(connection) {}
  ~PulseWatcher();
  PulseWatcher(const PulseWatcher&) = delete;
  PulseWatcher& operator=(const PulseWatcher&) = delete;

  // The watcher holds a reference to each registered client.
  Hresult Register(platform::IEndpointNotificationClient* client);
  Hresult Unregister(platform::IEndpointNotificationClient* client);

 private:
  struct Known {
    std::string name;
    uint32_t state = platform::kDeviceStateActive;
  };

  Hresult Subscribe();
  void Seen(const PulseDevice& device);
  void DefaultsSeen(const PulseDefaults& defaults);

  static void OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void OnSubscribed(pa_context* context, int success, void* connection);
  static void OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
  static void OnSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self);
  static void OnServerInfo(pa_context* context, const pa_server_info* info, void* self);

  PulseConnection& connection_;
  bool subscribed_ = false;
  std::vector<platform::IEndpointNotificationClient*> clients_;
  std::map<uint32_t, Known> sinks_;
  std::map<uint32_t, Known> sources_;  // monitors left out
  PulseDefaults defaults_;
};

}  // namespace ostrel::linuxp
