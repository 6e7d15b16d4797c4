// The fake world's audio side: the endpoints, the console defaults, the
// injected failures, the registered notification clients and the thread that
// delivers their notifications.
//
// One mutex guards all of it. The few values read on every packet (removal,
// pending gap, pending silent packets) are atomics on the endpoint, so a
// running stream touches the mutex only to copy its signal. Notifications are
// queued under the mutex and delivered by the world's own thread without it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"

namespace ostrel::sim {

// Sample encodings an endpoint can use (the values of the control API).
enum class SimSampleFormat : int { Int16 = 0, Float32 = 1, Int24 = 2, Int32 = 3 };

uint16_t SampleBytes(SimSampleFormat format);
// The 18-byte WAVEFORMATEX header + cbSize extension bytes, little-endian.
// Extensible: cbSize 22, valid bits, the standard channel mask and the PCM or
// IEEE-float sub-format; plain: tag 1 (PCM) or 3 (IEEE float), cbSize 0.
std::vector<uint8_t> BuildWaveFormat(uint32_t sampleRate, uint16_t channels, SimSampleFormat format,
                                     bool extensible);
// Standard speaker mask for a channel count (0 when there is none).
uint32_t StandardChannelMask(uint16_t channels);

// What a loopback delivers while its endpoint plays nothing.
enum class LoopbackIdle : int { SilentPackets = 0, NothingPositionStands = 1, NothingPositionRuns = 2 };

struct SimAudioSignal {
  int kind = 0;  // 0 silence, 1 sine
  double frequencyHz = 0.0;
  double amplitude = 0.0;
};

// One endpoint. The format never changes; a removed endpoint stays removed
// (adding the id again makes a new endpoint).
struct SimAudioEndpoint {
  std::wstring id;
  std::optional<std::wstring> friendlyName;  // nullopt: unreadable
  platform::DataFlow flow = platform::DataFlow::Render;
  uint32_t sampleRate = 48000;
  uint16_t channels = 2;
  SimSampleFormat sampleFormat = SimSampleFormat::Float32;
  std::vector<uint8_t> waveFormat;

  std::atomic<bool> removed{false};
  std::atomic<int64_t> pendingGapFrames{0};
  std::atomic<int32_t> pendingSilentPackets{0};
  // How far the device's clock is off the tick clock; read at stream start.
  std::atomic<double> clockPpm{0.0};
  std::atomic<LoopbackIdle> loopbackIdle{LoopbackIdle::SilentPackets};
  std::atomic<int32_t> runningRenderStreams{0};
  SimAudioSignal signal;  // guarded by the world mutex

  uint16_t BlockAlign() const { return static_cast<uint16_t>(channels * SampleBytes(sampleFormat)); }
};

class SimAudioWorld {
 public:
  static SimAudioWorld& Get();
  ~SimAudioWorld();

  // The default world: one render and one capture endpoint, both console
  // defaults, sine tones; no failures. Registrations are kept (they belong
  // to live enumerators); endpoints of the old world count as removed.
  void Reset();

  // Control (the OstrelSim_ audio calls).
  bool AddEndpoint(platform::DataFlow flow, const std::wstring& id,
                   std::optional<std::wstring> friendlyName, int sampleRate, int channels,
                   int sampleFormat, bool extensible, bool makeDefault);
  void RemoveEndpoint(const std::wstring& id);
  void SetSignal(const std::wstring& id, SimAudioSignal signal);
  // id empty: every endpoint. status 0 or count 0 clears the matching rule.
  bool FailCall(const std::wstring& id, const std::string& call, uint32_t status, int count);
  void InjectGap(const std::wstring& id, int frames);
  void InjectSilentPackets(const std::wstring& id, int packets);
  void SetClockPpm(const std::wstring& id, double ppm);

  // What the platform objects ask.
  // The status injected for `call` on `endpointId` (kOk: none); consumes one
  // use of a counted rule. Calls not tied to an endpoint pass "".
  Hresult InjectedFailure(const char* call, const std::wstring& endpointId);
  std::shared_ptr<SimAudioEndpoint> Find(const std::wstring& id);
  std::shared_ptr<SimAudioEndpoint> Default(platform::DataFlow flow);
  std::vector<std::shared_ptr<SimAudioEndpoint>> Active(platform::DataFlow flow);
  SimAudioSignal Signal(const SimAudioEndpoint& endpoint);

  // Registration on behalf of one enumerator (`owner`); the world holds a
  // reference while registered.
  Hresult Register(const void* owner, platform::IEndpointNotificationClient* client);
  Hresult Unregister(const void* owner, platform::IEndpointNotificationClient* client);
  void UnregisterAll(const void* owner);

 private:
  enum class EventKind { Added, Removed, StateChanged, DefaultChanged };
  struct Event {
    EventKind kind;
    std::wstring id;
    platform::DataFlow flow = platform::DataFlow::Render;
    bool hasId = true;  // DefaultChanged with no new default passes null
    uint32_t state = 0;
  };
  struct Registration {
    const void* owner;
    platform::IEndpointNotificationClient* client;
  };
  struct FailureRule {
    std::wstring id;  // empty: every endpoint
    std::string call;
    Hresult status;
    int remaining;  // -1: until cleared
  };

  SimAudioWorld();
  void ResetLocked();
  std::shared_ptr<SimAudioEndpoint> FindLocked(const std::wstring& id) const;
  std::wstring& DefaultIdLocked(platform::DataFlow flow);
  void QueueLocked(Event event);
  void QueueDefaultChangedLocked(platform::DataFlow flow);
  void NotificationLoop();
  void StopNotificationThread();

  std::mutex mutex_;
  std::vector<std::shared_ptr<SimAudioEndpoint>> endpoints_;  // in order of addition
  std::wstring defaultRender_;
  std::wstring defaultCapture_;
  std::vector<FailureRule> failures_;
  std::atomic<size_t> failureCount_{0};  // lets the hot path skip the mutex
  std::vector<Registration> registrations_;

  std::deque<Event> events_;
  std::condition_variable eventsChanged_;
  bool stopping_ = false;
  std::thread notifier_;
};

}  // namespace ostrel::sim
