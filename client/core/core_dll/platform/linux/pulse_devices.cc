// The device enumerator, endpoints and collections on PulseAudio, and the
// audio system of the Linux backend. Each enumerator has its own connection
// to the server; its endpoints and streams share it.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/common/endpoint_list.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/pulse_audio.h"
#include "platform/linux/pulse_watcher.h"

namespace ostrel::linuxp {
namespace {

using platform::DataFlow;
using platform::IAudioEndpoint;

class PulseEndpoint final : public IAudioEndpoint {
 public:
  PulseEndpoint(std::shared_ptr<PulseConnection> connection, PulseDevice device)
      : connection_(std::move(connection)), device_(std::move(device)) {}

  Hresult GetId(std::wstring* id) override {
    if (id == nullptr) return hr::kInvalidArg;
    *id = PulseWide(device_.name.c_str());
    return hr::kOk;
  }

  Hresult GetFriendlyName(std::wstring* name) override {
    if (name == nullptr) return hr::kInvalidArg;
    if (device_.description.empty()) return hr::kFail;
    *name = PulseWide(device_.description.c_str());
    return hr::kOk;
  }

  Hresult Activate(std::shared_ptr<platform::IAudioClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    *out = MakePulseAudioClient(connection_, device_);
    return hr::kOk;
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  PulseDevice device_;
};

// Used by one thread at a time (the interface's rule), so its own state
// needs no lock; the connection's loop lock guards what the loop shares.
class PulseDeviceEnumerator final : public platform::IAudioDeviceEnumerator {
 public:
  explicit PulseDeviceEnumerator(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}

  ~PulseDeviceEnumerator() override {
    PulseLock lock(*connection_);
    for (platform::IEndpointNotificationClient* client : clients_) connection_->Watcher().Unregister(client);
  }

  // Every role has the one default the server keeps per direction. A
  // monitor as the default source is no microphone.
  Hresult GetDefaultAudioEndpoint(DataFlow flow, platform::Role,
                                  std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    std::shared_ptr<PulseConnection> connection = Connection();
    PulseLock lock(*connection);
    std::optional<PulseDefaults> defaults = ServerDefaults(*connection);
    if (!defaults) return kAudioServiceNotRunning;
    const std::string& name = flow == DataFlow::Render ? defaults->sink : defaults->source;
    if (name.empty()) return hr::kNotFound;
    std::optional<PulseDevice> device = FindDevice(*connection, name);
    if (!device || device->flow != flow || device->state != platform::kDeviceStateActive) {
      return connection->Alive() ? hr::kNotFound : kAudioServiceNotRunning;
    }
    *out = std::make_shared<PulseEndpoint>(connection, std::move(*device));
    return hr::kOk;
  }

  Hresult GetDevice(const std::wstring& id, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (id.empty()) return hr::kNotFound;
    std::shared_ptr<PulseConnection> connection = Connection();
    PulseLock lock(*connection);
    std::optional<PulseDevice> device = FindDevice(*connection, PulseUtf8(id));
    if (!device) return connection->Alive() ? hr::kNotFound : kAudioServiceNotRunning;
    *out = std::make_shared<PulseEndpoint>(connection, std::move(*device));
    return hr::kOk;
  }

  Hresult EnumAudioEndpoints(DataFlow flow, uint32_t stateMask,
                             std::shared_ptr<platform::IAudioEndpointCollection>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    std::shared_ptr<PulseConnection> connection = Connection();
    std::vector<PulseDevice> devices;
    {
      PulseLock lock(*connection);
      devices = ListDevices(*connection, flow);
      if (!connection->Alive()) return kAudioServiceNotRunning;
    }
    std::erase_if(devices, [stateMask](const PulseDevice& device) { return (device.state & stateMask) == 0; });
    *out = platform::EndpointList::Of(
        devices, [&](PulseDevice& device) { return std::make_shared<PulseEndpoint>(connection, std::move(device)); });
    return hr::kOk;
  }

  Hresult RegisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    if (client == nullptr) return hr::kInvalidArg;
    std::shared_ptr<PulseConnection> connection = Connection();
    PulseLock lock(*connection);
    if (Hresult result = connection->Watcher().Register(client); Failed(result)) return result;
    clients_.push_back(client);
    return hr::kOk;
  }

  Hresult UnregisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) return hr::kNotFound;
    clients_.erase(found);
    PulseLock lock(*connection_);
    return connection_->Watcher().Unregister(client);
  }

 private:
  // The connection, opened anew once the server has gone away (a sound
  // server restarts): registered listeners move to the new one. While no
  // server answers, the dead one is returned and the calls report that.
  std::shared_ptr<PulseConnection> Connection() {
    {
      PulseLock lock(*connection_);
      if (connection_->Alive()) return connection_;
    }
    Hresult result = hr::kOk;
    std::shared_ptr<PulseConnection> fresh = PulseConnection::Open(&result);
    if (!fresh) return connection_;
    std::vector<platform::IEndpointNotificationClient*> moved;
    {
      PulseLock lock(*fresh);
      for (platform::IEndpointNotificationClient* client : clients_) {
        if (Succeeded(fresh->Watcher().Register(client))) moved.push_back(client);
      }
    }
    {
      PulseLock lock(*connection_);
      for (platform::IEndpointNotificationClient* client : clients_) connection_->Watcher().Unregister(client);
    }
    clients_ = std::move(moved);
    connection_ = std::move(fresh);
    return connection_;
  }

  std::shared_ptr<PulseConnection> connection_;
  std::vector<platform::IEndpointNotificationClient*> clients_;  // registered, each held by the watcher
};

// The multimedia class scheduler has no Linux equivalent; the nearest is a
// higher priority (lower nice value) for the capture thread, which a
// process may or may not be allowed to take. The handle remembers the
// thread's previous nice value.
struct PriorityHandle {
  pid_t thread = 0;
  int previousNice = 0;
};

constexpr int kCaptureNice = -10;

class PulseAudioSystem final : public platform::IAudioSystem {
 public:
  Hresult CreateDeviceEnumerator(std::shared_ptr<platform::IAudioDeviceEnumerator>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    Hresult result = hr::kOk;
    std::shared_ptr<PulseConnection> connection = PulseConnection::Open(&result);
    if (!connection) return result;
    *out = std::make_shared<PulseDeviceEnumerator>(std::move(connection));
    return hr::kOk;
  }

  void* EnterProAudioScheduling() override {
    auto* handle = new PriorityHandle{static_cast<pid_t>(syscall(SYS_gettid)), 0};
    errno = 0;
    handle->previousNice = getpriority(PRIO_PROCESS, static_cast<id_t>(handle->thread));
    if (errno != 0) {
      delete handle;
      return nullptr;
    }
    return handle;
  }

  bool SetCriticalPriority(void* handle) override {
    if (handle == nullptr) return false;
    auto* priority = static_cast<PriorityHandle*>(handle);
    return setpriority(PRIO_PROCESS, static_cast<id_t>(priority->thread), kCaptureNice) == 0;
  }

  void LeaveProAudioScheduling(void* handle) override {
    if (handle == nullptr) return;
    auto* priority = static_cast<PriorityHandle*>(handle);
    setpriority(PRIO_PROCESS, static_cast<id_t>(priority->thread), priority->previousNice);
    delete priority;
  }
};

}  // namespace

platform::IAudioSystem& AudioSystem() {
  static PulseAudioSystem system;
  return system;
}

}  // namespace ostrel::linuxp
