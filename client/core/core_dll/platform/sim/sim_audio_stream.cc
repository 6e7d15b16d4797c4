// Streams of the fake world's endpoints: IAudioClient, its capture client
// and its render client. Frames are made on demand from the endpoint's
// signal, so a stream costs nothing while nobody reads it. A render stream's
// frames go nowhere; it only keeps its endpoint's loopback delivering.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_audio_world.h"
#include "platform/sim/sync_marks.h"
#include "replay/tick_clock.h"

namespace ostrel::sim {
namespace {

using platform::IAudioCaptureClient;

constexpr Hresult kAlreadyInitialized = static_cast<Hresult>(0x88890002);  // AUDCLNT_E_ALREADY_INITIALIZED
constexpr Hresult kWrongEndpointType = static_cast<Hresult>(0x88890003);   // AUDCLNT_E_WRONG_ENDPOINT_TYPE
constexpr Hresult kNotStopped = static_cast<Hresult>(0x88890005);          // AUDCLNT_E_NOT_STOPPED
constexpr Hresult kOutOfOrder = static_cast<Hresult>(0x88890007);          // AUDCLNT_E_OUT_OF_ORDER
constexpr Hresult kBufferTooLarge = static_cast<Hresult>(0x88890006);      // AUDCLNT_E_BUFFER_TOO_LARGE
constexpr Hresult kInvalidSize = static_cast<Hresult>(0x88890011);         // AUDCLNT_E_INVALID_SIZE
constexpr Hresult kBufferEmpty = static_cast<Hresult>(0x08890001);         // AUDCLNT_S_BUFFER_EMPTY
constexpr uint32_t kBufferFlagsDiscontinuity = 0x1;                        // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY

void WriteSample(uint8_t* out, SimSampleFormat format, double value) {
  value = std::clamp(value, -1.0, 1.0);
  switch (format) {
    case SimSampleFormat::Float32: {
      float sample = static_cast<float>(value);
      std::memcpy(out, &sample, 4);
      return;
    }
    case SimSampleFormat::Int16: {
      auto sample = static_cast<int16_t>(std::lround(value * 32767.0));
      std::memcpy(out, &sample, 2);
      return;
    }
    case SimSampleFormat::Int24: {
      auto sample = static_cast<int32_t>(std::lround(value * 8388607.0));
      out[0] = static_cast<uint8_t>(sample);
      out[1] = static_cast<uint8_t>(sample >> 8);
      out[2] = static_cast<uint8_t>(sample >> 16);
      return;
    }
    case SimSampleFormat::Int32: {
      auto sample = static_cast<int32_t>(std::llround(value * 2147483647.0));
      std::memcpy(out, &sample, 4);
      return;
    }
  }
}

// State shared by a client and its capture client.
struct SimStream {
  explicit SimStream(std::shared_ptr<SimAudioEndpoint> ep) : endpoint(std::move(ep)) {}
  ~SimStream() { SetRunning(false); }
  SimStream(const SimStream&) = delete;
  SimStream& operator=(const SimStream&) = delete;

  // Start and stop; a running render stream is counted on its endpoint.
  void SetRunning(bool running) {
    if (running == started) return;
    started = running;
    if (render) endpoint->runningRenderStreams.fetch_add(running ? 1 : -1);
  }

  // A loopback whose endpoint plays nothing delivers nothing (in the modes
  // that say so).
  bool LoopbackIdleNow() const {
    if (render || endpoint->flow != platform::DataFlow::Render) return false;
    if (endpoint->loopbackIdle.load() == LoopbackIdle::SilentPackets) return false;
    if (endpoint->runningRenderStreams.load() > 0 || WorldSyncMarks().PeriodTicks() > 0) return false;
    return SimAudioWorld::Get().Signal(*endpoint).kind == 0;
  }

  // The device position the client sees for read position `position`.
  uint64_t VisiblePosition(uint64_t position) const { return position - hiddenFrames; }

  // Frames the device has produced up to `now` (device position space), by
  // the device's own clock.
  uint64_t ProducedAt(int64_t now) const {
    if (!started) return stoppedAt;
    int64_t elapsed = std::max<int64_t>(0, now - baseTicks);
    if (clockPpm == 0.0) {
      return basePosition + static_cast<uint64_t>(elapsed) * endpoint->sampleRate / TickClock::kTicksPerSecond;
    }
    return basePosition + static_cast<uint64_t>(static_cast<double>(elapsed) * DeviceRate() /
                                                TickClock::kTicksPerSecond);
  }

  // Frames per tick-clock second: the nominal rate off by the clock's ppm.
  double DeviceRate() const { return endpoint->sampleRate * (1.0 + clockPpm * 1e-6); }

  // The tick at which frame n after the latest Start was captured.
  int64_t FrameTick(uint64_t n) const {
    const uint64_t rate = endpoint->sampleRate;
    if (clockPpm == 0.0) {
      return baseTicks + static_cast<int64_t>(n / rate) * TickClock::kTicksPerSecond +
             static_cast<int64_t>((n % rate) * TickClock::kTicksPerSecond / rate);
    }
    return baseTicks + static_cast<int64_t>(static_cast<double>(n) * TickClock::kTicksPerSecond / DeviceRate());
  }

  // Brings the read position up to date: applies a pending gap once its
  // frames have gone by, and drops what overflowed the buffer. Returns the
  // frames available to read: 0 or one whole packet (a pending gap holds the
  // stream back until the skipped frames have passed).
  uint32_t Advance() {
    pendingGap += static_cast<uint64_t>(endpoint->pendingGapFrames.exchange(0));
    const uint64_t produced = ProducedAt(TickClock::Now());
    if (LoopbackIdleNow()) {
      // What goes by unheard is never delivered; where the position stands
      // still it is not counted either.
      if (produced > readPosition) {
        if (endpoint->loopbackIdle.load() == LoopbackIdle::NothingPositionStands) {
          hiddenFrames += produced - readPosition;
        }
        readPosition = produced;
      }
      pendingGap = 0;
      return 0;
    }
    if (pendingGap > 0) {
      const uint64_t skip = std::min(pendingGap, bufferFrames > packetFrames ? bufferFrames - packetFrames : 0);
      if (produced - readPosition >= skip + packetFrames) {
        readPosition += skip;
        pendingGap = 0;
        discontinuity = true;
      }
    }
    if (produced - readPosition > bufferFrames) {
      readPosition = produced - bufferFrames;
      pendingGap = 0;
      discontinuity = true;
    }
    if (pendingGap > 0 || produced - readPosition < packetFrames) return 0;
    return static_cast<uint32_t>(packetFrames);
  }

  void Generate(uint64_t position, uint32_t frames) {
    const uint16_t blockAlign = endpoint->BlockAlign();
    const uint16_t sampleBytes = SampleBytes(endpoint->sampleFormat);
    packet.resize(static_cast<size_t>(frames) * blockAlign);
    const SimAudioSignal signal = SimAudioWorld::Get().Signal(*endpoint);
    const SyncMarks& marks = WorldSyncMarks();
    const bool clicks = endpoint->flow == platform::DataFlow::Render && marks.PeriodTicks() > 0;
    const uint64_t rate = endpoint->sampleRate;
    // Frame n lies at base + n * 10^7 / rate ticks. The packet's first phase
    // is computed exactly (whole seconds and the remainder apart, so it keeps
    // its precision for any stream age); the frames after it turn the phase
    // by one step each, which is exact enough over one packet and far
    // cheaper than a sine per frame.
    const uint64_t n0 = position - basePosition;
    const double f = signal.frequencyHz;
    // A device whose clock is off samples the world at its true rate.
    const double deviceRate = DeviceRate();
    const double cycles0 =
        clockPpm == 0.0
            ? std::fmod(f * static_cast<double>(baseTicks) / 1e7, 1.0) +
                  std::fmod(f * static_cast<double>(n0 / rate), 1.0) +
                  f * static_cast<double>(n0 % rate) / static_cast<double>(rate)
            : std::fmod(f * static_cast<double>(baseTicks) / 1e7, 1.0) +
                  std::fmod(f * static_cast<double>(n0) / deviceRate, 1.0);
    const double step = 2.0 * std::numbers::pi * f / deviceRate;
    const double stepSin = std::sin(step);
    const double stepCos = std::cos(step);
    double phaseSin = std::sin(2.0 * std::numbers::pi * cycles0);
    double phaseCos = std::cos(2.0 * std::numbers::pi * cycles0);
    uint8_t* out = packet.data();
    for (uint32_t i = 0; i < frames; ++i) {
      double value = signal.kind == 1 ? signal.amplitude * phaseSin : 0.0;
      const double nextSin = phaseSin * stepCos + phaseCos * stepSin;
      phaseCos = phaseCos * stepCos - phaseSin * stepSin;
      phaseSin = nextSin;
      if (clicks) {
        // Exact tick of the frame, so the click's first frame is the first
        // one at or after the mark.
        if (marks.ClickAt(FrameTick(n0 + i))) value = 1.0;
      }
      for (uint16_t c = 0; c < endpoint->channels; ++c) {
        WriteSample(out, endpoint->sampleFormat, value);
        out += sampleBytes;
      }
    }
  }

  std::shared_ptr<SimAudioEndpoint> endpoint;
  bool initialized = false;
  bool render = false;  // a render stream (else capture or loopback)
  bool started = false;
  uint64_t bufferFrames = 0;
  uint64_t packetFrames = 0;
  int64_t baseTicks = 0;      // tick of the latest Start
  uint64_t basePosition = 0;  // device position at the latest Start
  uint64_t stoppedAt = 0;     // frames produced when last stopped
  uint64_t readPosition = 0;
  uint64_t hiddenFrames = 0;  // went by during silence without counting
  uint64_t renderWritten = 0;  // render streams: end of what was queued
  uint64_t pendingGap = 0;
  bool discontinuity = false;
  double clockPpm = 0.0;      // the endpoint's clock offset, taken at Start
  bool outstanding = false;   // a packet is between GetBuffer and ReleaseBuffer
  uint32_t outstandingFrames = 0;
  std::vector<uint8_t> packet;  // the data GetBuffer hands out
};

class SimCaptureClient final : public IAudioCaptureClient {
 public:
  explicit SimCaptureClient(std::shared_ptr<SimStream> stream) : stream_(std::move(stream)) {}

  Hresult GetNextPacketSize(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    *frames = 0;
    if (Hresult failure = Failure("GetNextPacketSize"); Failed(failure)) return failure;
    if (stream_->endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    *frames = stream_->Advance();
    return hr::kOk;
  }

  Hresult GetBuffer(const uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    if (data == nullptr || frames == nullptr || flags == nullptr || devicePosition == nullptr) {
      return hr::kInvalidArg;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    *devicePosition = 0;
    if (qpcPosition != nullptr) *qpcPosition = 0;
    if (Hresult failure = Failure("GetBuffer"); Failed(failure)) return failure;
    SimStream& s = *stream_;
    if (s.endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    if (s.outstanding) return kOutOfOrder;
    const uint32_t ready = s.Advance();
    if (ready == 0) return kBufferEmpty;
    s.Generate(s.readPosition, ready);
    uint32_t packetFlags = s.discontinuity ? kBufferFlagsDiscontinuity : 0;
    s.discontinuity = false;
    int32_t silent = s.endpoint->pendingSilentPackets.load();
    while (silent > 0 && !s.endpoint->pendingSilentPackets.compare_exchange_weak(silent, silent - 1)) {
    }
    // The data keeps the signal: only the flag says the packet is silence,
    // as on real devices whose silent packets hold whatever was there.
    if (silent > 0) packetFlags |= platform::kBufferFlagsSilent;
    s.outstanding = true;
    s.outstandingFrames = ready;
    *data = s.packet.data();
    *frames = ready;
    *flags = packetFlags;
    *devicePosition = s.VisiblePosition(s.readPosition);
    // The capture time of the packet's first frame, as the platform's
    // counter in 100 ns units.
    if (qpcPosition != nullptr) *qpcPosition = TickClock::ToCounter100ns(s.FrameTick(s.readPosition - s.basePosition));
    return hr::kOk;
  }

  Hresult ReleaseBuffer(uint32_t frames) override {
    if (Hresult failure = Failure("ReleaseBuffer"); Failed(failure)) return failure;
    SimStream& s = *stream_;
    // Releasing nothing is harmless, also after an empty GetBuffer.
    if (!s.outstanding) return frames == 0 ? hr::kOk : kOutOfOrder;
    // A capture packet is released whole or not at all.
    if (frames != 0 && frames != s.outstandingFrames) return kInvalidSize;
    s.readPosition += frames;
    s.outstanding = false;
    s.outstandingFrames = 0;
    return hr::kOk;
  }

 private:
  Hresult Failure(const char* call) { return SimAudioWorld::Get().InjectedFailure(call, stream_->endpoint->id); }

  std::shared_ptr<SimStream> stream_;
};

class SimRenderClient final : public platform::IAudioRenderClient {
 public:
  explicit SimRenderClient(std::shared_ptr<SimStream> stream) : stream_(std::move(stream)) {}

  Hresult GetBuffer(uint32_t frames, uint8_t** data) override {
    if (data == nullptr) return hr::kInvalidArg;
    *data = nullptr;
    SimStream& s = *stream_;
    if (s.endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    if (s.outstanding) return kOutOfOrder;
    if (frames > s.bufferFrames - Padding(s)) return kBufferTooLarge;
    s.packet.resize(static_cast<size_t>(frames) * s.endpoint->BlockAlign());
    s.outstanding = true;
    s.outstandingFrames = frames;
    *data = s.packet.data();
    return hr::kOk;
  }

  Hresult ReleaseBuffer(uint32_t frames, uint32_t) override {
    SimStream& s = *stream_;
    if (!s.outstanding) return frames == 0 ? hr::kOk : kOutOfOrder;
    if (frames > s.outstandingFrames) return kInvalidSize;
    // After an underrun the queue starts again from what is playing now.
    s.renderWritten = std::max(s.renderWritten, s.ProducedAt(TickClock::Now())) + frames;
    s.outstanding = false;
    s.outstandingFrames = 0;
    return hr::kOk;
  }

  // Frames queued and not yet played.
  static uint32_t Padding(const SimStream& s) {
    const uint64_t played = s.ProducedAt(TickClock::Now());
    return s.renderWritten > played ? static_cast<uint32_t>(s.renderWritten - played) : 0;
  }

 private:
  std::shared_ptr<SimStream> stream_;
};

class SimAudioClient final : public platform::IAudioClient {
 public:
  explicit SimAudioClient(std::shared_ptr<SimAudioEndpoint> endpoint)
      : stream_(std::make_shared<SimStream>(std::move(endpoint))) {}

  Hresult GetMixFormat(std::vector<uint8_t>* waveFormat) override {
    if (waveFormat == nullptr) return hr::kInvalidArg;
    if (Hresult failure = Failure("GetMixFormat"); Failed(failure)) return failure;
    if (stream_->endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    *waveFormat = stream_->endpoint->waveFormat;
    return hr::kOk;
  }

  Hresult Initialize(uint32_t streamFlags, int64_t bufferDuration100ns,
                     const std::vector<uint8_t>& waveFormat) override {
    if (Hresult failure = Failure("Initialize"); Failed(failure)) return failure;
    SimStream& s = *stream_;
    if (s.endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    if (s.initialized) return kAlreadyInitialized;
    // Shared mode takes the mix format only; loopback needs a render
    // endpoint and plain capture a capture endpoint.
    if (waveFormat != s.endpoint->waveFormat) return hr::kAudioUnsupportedFormat;
    const bool loopback = (streamFlags & platform::kStreamFlagsLoopback) != 0;
    const bool renderEndpoint = s.endpoint->flow == platform::DataFlow::Render;
    if (loopback && !renderEndpoint) return kWrongEndpointType;
    s.render = renderEndpoint && !loopback;
    if (bufferDuration100ns < 0) return hr::kInvalidArg;
    const uint64_t rate = s.endpoint->sampleRate;
    s.packetFrames = std::max<uint64_t>(1, rate / 100);
    // The engine never buffers less than a few periods.
    s.bufferFrames = std::max<uint64_t>(static_cast<uint64_t>(bufferDuration100ns) * rate / 10000000,
                                        3 * s.packetFrames);
    s.initialized = true;
    return hr::kOk;
  }

  Hresult GetCaptureClient(std::shared_ptr<IAudioCaptureClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (Hresult failure = Failure("GetService"); Failed(failure)) return failure;
    if (!stream_->initialized) return hr::kAudioNotInitialized;
    if (stream_->endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    if (stream_->render) return kWrongEndpointType;
    *out = std::make_shared<SimCaptureClient>(stream_);
    return hr::kOk;
  }

  Hresult GetBufferSize(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    if (!stream_->initialized) return hr::kAudioNotInitialized;
    *frames = static_cast<uint32_t>(stream_->bufferFrames);
    return hr::kOk;
  }

  Hresult GetCurrentPadding(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    if (!stream_->initialized) return hr::kAudioNotInitialized;
    if (stream_->endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    *frames = stream_->render ? SimRenderClient::Padding(*stream_) : 0;
    return hr::kOk;
  }

  Hresult GetRenderClient(std::shared_ptr<platform::IAudioRenderClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (Hresult failure = Failure("GetRenderService"); Failed(failure)) return failure;
    if (!stream_->initialized) return hr::kAudioNotInitialized;
    if (stream_->endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    if (!stream_->render) return kWrongEndpointType;
    *out = std::make_shared<SimRenderClient>(stream_);
    return hr::kOk;
  }

  Hresult Start() override {
    if (Hresult failure = Failure("Start"); Failed(failure)) return failure;
    SimStream& s = *stream_;
    if (!s.initialized) return hr::kAudioNotInitialized;
    if (s.started) return kNotStopped;
    if (s.endpoint->removed.load()) return hr::kAudioDeviceInvalidated;
    s.baseTicks = TickClock::Now();
    s.basePosition = s.stoppedAt;
    s.clockPpm = s.endpoint->clockPpm.load();
    s.SetRunning(true);
    return hr::kOk;
  }

  Hresult Stop() override {
    SimStream& s = *stream_;
    if (!s.initialized) return hr::kAudioNotInitialized;
    if (!s.started) return hr::kFalse;
    s.stoppedAt = s.ProducedAt(TickClock::Now());
    s.SetRunning(false);
    return hr::kOk;
  }

 private:
  Hresult Failure(const char* call) { return SimAudioWorld::Get().InjectedFailure(call, stream_->endpoint->id); }

  std::shared_ptr<SimStream> stream_;
};

}  // namespace

std::shared_ptr<platform::IAudioClient> MakeSimAudioClient(std::shared_ptr<SimAudioEndpoint> endpoint) {
  return std::make_shared<SimAudioClient>(std::move(endpoint));
}

}  // namespace ostrel::sim
