// IAudioClient and IAudioCaptureClient on a PulseAudio record stream.
//
// The stream is opened in the format GetMixFormat reports, corked until
// Start. It is never moved to another device: when its device goes away the
// server kills it and the packet calls report the device as invalidated,
// which the capture thread answers with a reconnection. Packets are the
// fragments the server delivers (about 10 ms); the device position counts
// the frames delivered since the stream started, holes included, and
// follows the clock where the device delivered nothing (see FollowClock).
// Each packet carries the time its first frame was captured, from the
// stream's latency, on CLOCK_MONOTONIC (the performance counter).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "platform/linux/pulse_audio.h"
#include "platform/linux/pulse_format.h"

namespace ostrel::linuxp {
namespace {

using platform::DataFlow;
using platform::IAudioCaptureClient;

constexpr Hresult kBufferEmpty = static_cast<Hresult>(0x08890001);  // AUDCLNT_S_BUFFER_EMPTY
constexpr uint64_t kFragmentMs = 10;
// Delivered audio this far behind the clock counts as audio the device lost.
constexpr uint64_t kBehindToleranceMs = 100;
// While a stream settles, its positions follow the clock exactly.
constexpr auto kSettling = std::chrono::seconds(3);

// One record stream and the packet between GetBuffer and ReleaseBuffer.
class PulseStream {
 public:
  PulseStream(std::shared_ptr<PulseConnection> connection, pa_stream* stream, size_t frameBytes, uint32_t rate)
      : connection_(std::move(connection)), stream_(stream), frameBytes_(frameBytes), rate_(rate) {}

  ~PulseStream() {
    PulseLock lock(*connection_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  PulseStream(const PulseStream&) = delete;
  PulseStream& operator=(const PulseStream&) = delete;

  // Loop locked.
  bool Alive() const { return connection_->Alive() && pa_stream_get_state(stream_) == PA_STREAM_READY; }

  Hresult Cork(bool cork) {
    PulseLock lock(*connection_);
    if (!Alive()) return hr::kAudioDeviceInvalidated;
    pa_operation* operation = pa_stream_cork(stream_, cork ? 1 : 0, &PulseStream::OnDone, connection_.get());
    if (!connection_->Wait(operation) || !Alive()) return hr::kAudioDeviceInvalidated;
    if (!cork) started_ = true;
    return hr::kOk;
  }

  Hresult NextPacketSize(uint32_t* frames) {
    PulseLock lock(*connection_);
    if (!Alive()) return hr::kAudioDeviceInvalidated;
    if (Hresult result = Fill(); Failed(result)) return result;
    *frames = PacketFrames();
    return hr::kOk;
  }

  Hresult GetBuffer(const uint8_t** data, uint32_t* frames, uint64_t* position, uint64_t* counter100ns) {
    {
      PulseLock lock(*connection_);
      if (!Alive()) return hr::kAudioDeviceInvalidated;
      if (outstanding_) return kAudioOutOfOrder;
      if (Hresult result = Fill(); Failed(result)) return result;
    }
    if (PacketFrames() == 0) return kBufferEmpty;
    outstanding_ = true;
    *data = packet_.data();
    *frames = PacketFrames();
    *position = position_;
    *counter100ns = capturedAt100ns_;
    return hr::kOk;
  }

  Hresult ReleaseBuffer(uint32_t frames) {
    if (!outstanding_) return frames == 0 ? hr::kOk : kAudioOutOfOrder;
    // A capture packet is released whole or not at all.
    if (frames != 0 && frames != PacketFrames()) return kAudioInvalidSize;
    outstanding_ = false;
    if (frames != 0) {
      position_ += frames;
      packet_.clear();
    }
    return hr::kOk;
  }

  static void OnDone(pa_stream*, int, void* connection) { static_cast<PulseConnection*>(connection)->Signal(); }

 private:
  // When the fragment at the read index was captured: `latency` ago (for a
  // monitor, whose audio arrives before the sink plays it, the latency is
  // negative: it is "captured" when it is heard). Empty while the server
  // has not sent timing yet.
  std::optional<std::chrono::steady_clock::time_point> CaptureTime() const {
    pa_usec_t latency = 0;
    int negative = 0;
    if (!started_ || pa_stream_get_latency(stream_, &latency, &negative) < 0) return std::nullopt;
    const auto age = std::chrono::microseconds(static_cast<int64_t>(latency));
    return std::chrono::steady_clock::now() + (negative != 0 ? age : -age);
  }

  // Stamps the packet with the capture time of the fragment at the read
  // index and places it on the stream's timeline: the position of a
  // fragment captured at t is the time from the first fragment's capture to
  // t, so positions and stamps tell the same story and a position the clock
  // moves on is where the stamps put the audio. The first fragment is the
  // reference (the capture thread takes its position as the start of its
  // timeline, as it does on every platform; the first one with timing, if
  // the server had sent none before); while the stream settles (a
  // device's first blocks can be long, its latency estimates off) the next
  // ones move on to the clock's position, which puts the stream where its
  // audio really belongs; after that only when the delivered frames fell
  // clearly behind the clock (audio the device never delivered). Positions
  // never move back: small differences are the latency estimate's own
  // jitter. Without timing the packet is unstamped (0). steady_clock is
  // CLOCK_MONOTONIC on Linux, the counter the POSIX services read.
  void FollowClock() {
    const auto now = std::chrono::steady_clock::now();
    const std::optional<std::chrono::steady_clock::time_point> capturedAt = CaptureTime();
    capturedAt100ns_ = 0;
    if (capturedAt) {
      const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(capturedAt->time_since_epoch());
      capturedAt100ns_ = sinceEpoch.count() > 0 ? static_cast<uint64_t>(sinceEpoch.count() / 100) : 0;
    }
    if (!delivered_) {
      delivered_ = true;
      settledAt_ = now + kSettling;
    }
    if (!capturedAt) return;
    if (!anchored_) {
      anchored_ = true;
      clockOrigin_ = *capturedAt - std::chrono::microseconds(static_cast<int64_t>(position_ * 1000000 / rate_));
      return;
    }
    const auto sinceStart = std::chrono::duration_cast<std::chrono::microseconds>(*capturedAt - clockOrigin_).count();
    if (sinceStart <= 0) return;
    const uint64_t onClock = static_cast<uint64_t>(sinceStart) * rate_ / 1000000;
    const bool settling = now < settledAt_;
    const uint64_t tolerance = settling ? 0 : rate_ * kBehindToleranceMs / 1000;
    if (onClock > position_ + tolerance) position_ = onClock;
  }

  uint32_t PacketFrames() const { return static_cast<uint32_t>(packet_.size() / frameBytes_); }

  // Takes the next fragment off the stream into the packet (loop locked).
  // A hole moves the device position on; a partial frame waits for the rest.
  Hresult Fill() {
    while (packet_.empty()) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream_, &data, &bytes) < 0) return hr::kAudioDeviceInvalidated;
      if (bytes == 0) return hr::kOk;
      if (data == nullptr) {
        position_ += bytes / frameBytes_;
      } else {
        FollowClock();
        const auto* from = static_cast<const uint8_t*>(data);
        packet_.assign(partial_.begin(), partial_.end());
        packet_.insert(packet_.end(), from, from + bytes);
        const size_t whole = packet_.size() / frameBytes_ * frameBytes_;
        partial_.assign(packet_.begin() + static_cast<std::ptrdiff_t>(whole), packet_.end());
        packet_.resize(whole);
      }
      pa_stream_drop(stream_);
    }
    return hr::kOk;
  }

  std::shared_ptr<PulseConnection> connection_;
  pa_stream* stream_;
  const size_t frameBytes_;
  const uint64_t rate_;
  bool started_ = false;
  bool delivered_ = false;
  bool anchored_ = false;
  std::chrono::steady_clock::time_point settledAt_;
  // The capture time of device position 0.
  std::chrono::steady_clock::time_point clockOrigin_;
  std::vector<uint8_t> packet_;   // whole frames, handed out by GetBuffer
  std::vector<uint8_t> partial_;  // the start of a frame split across fragments
  uint64_t position_ = 0;         // device position of the packet's first frame
  uint64_t capturedAt100ns_ = 0;  // its capture time on CLOCK_MONOTONIC, 100 ns units; 0 unknown
  bool outstanding_ = false;
};

class PulseCaptureClient final : public IAudioCaptureClient {
 public:
  explicit PulseCaptureClient(std::shared_ptr<PulseStream> stream) : stream_(std::move(stream)) {}

  Hresult GetNextPacketSize(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    *frames = 0;
    return stream_->NextPacketSize(frames);
  }

  Hresult GetBuffer(const uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    if (data == nullptr || frames == nullptr || flags == nullptr || devicePosition == nullptr ||
        qpcPosition == nullptr) {
      return hr::kInvalidArg;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    *devicePosition = 0;
    *qpcPosition = 0;
    return stream_->GetBuffer(data, frames, devicePosition, qpcPosition);
  }

  Hresult ReleaseBuffer(uint32_t frames) override { return stream_->ReleaseBuffer(frames); }

 private:
  std::shared_ptr<PulseStream> stream_;
};

class PulseAudioClient final : public platform::IAudioClient {
 public:
  PulseAudioClient(std::shared_ptr<PulseConnection> connection, PulseDevice device)
      : connection_(std::move(connection)), device_(std::move(device)) {}

  Hresult GetMixFormat(std::vector<uint8_t>* waveFormat) override {
    if (waveFormat == nullptr) return hr::kInvalidArg;
    if (Hresult result = LoadFormat(); Failed(result)) return result;
    *waveFormat = format_->waveFormat;
    return hr::kOk;
  }

  Hresult Initialize(uint32_t streamFlags, int64_t bufferDuration100ns,
                     const std::vector<uint8_t>& waveFormat) override {
    if (stream_) return kAudioAlreadyInitialized;
    const bool loopback = (streamFlags & platform::kStreamFlagsLoopback) != 0;
    // A recorded monitor source keeps its sink running: no silent render
    // stream is needed to keep the loopback going.
    if (!loopback && device_.flow == DataFlow::Render) return hr::kNotImplemented;
    if (loopback != (device_.flow == DataFlow::Render)) return kAudioWrongEndpointType;
    if (bufferDuration100ns < 0) return hr::kInvalidArg;
    if (Hresult result = LoadFormat(); Failed(result)) return result;
    // Shared mode takes the mix format only.
    if (waveFormat != format_->waveFormat) return hr::kAudioUnsupportedFormat;

    const pa_sample_spec& sampleFormat = format_->sampleFormat;
    const size_t frameBytes = pa_frame_size(&sampleFormat);
    const uint64_t rate = sampleFormat.rate;
    // Some sources post seconds at once: the buffer holds at least two of
    // them besides the duration asked for, so nothing is dropped.
    const uint64_t bufferFrames =
        static_cast<uint64_t>(bufferDuration100ns) * rate / 10000000 + 2 * rate;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(bufferFrames * frameBytes);
    attr.fragsize = static_cast<uint32_t>(std::max<uint64_t>(1, rate * kFragmentMs / 1000) * frameBytes);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);

    Hresult result = Connect(attr, frameBytes);
    // The stream's destructor takes the loop lock itself.
    if (Failed(result)) stream_.reset();
    return result;
  }

  Hresult GetCaptureClient(std::shared_ptr<IAudioCaptureClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (!stream_) return hr::kAudioNotInitialized;
    *out = std::make_shared<PulseCaptureClient>(stream_);
    return hr::kOk;
  }

  // Render streams are refused at Initialize.
  Hresult GetBufferSize(uint32_t*) override { return hr::kAudioNotInitialized; }
  Hresult GetCurrentPadding(uint32_t*) override { return hr::kAudioNotInitialized; }
  Hresult GetRenderClient(std::shared_ptr<platform::IAudioRenderClient>*) override {
    return hr::kAudioNotInitialized;
  }

  Hresult Start() override {
    if (!stream_) return hr::kAudioNotInitialized;
    return stream_->Cork(false);
  }

  Hresult Stop() override {
    if (!stream_) return hr::kAudioNotInitialized;
    return stream_->Cork(true);
  }

 private:
  Hresult Connect(const pa_buffer_attr& attr, size_t frameBytes) {
    PulseLock lock(*connection_);
    pa_stream* stream = pa_stream_new(connection_->Context(), "Ostrel capture", &format_->sampleFormat, &format_->map);
    if (stream == nullptr) return connection_->Alive() ? hr::kFail : kAudioServiceNotRunning;
    // Owned from here on, also when connecting fails.
    stream_ = std::make_shared<PulseStream>(connection_, stream, frameBytes, format_->sampleFormat.rate);
    pa_stream_set_state_callback(stream, &PulseAudioClient::OnState, connection_.get());
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                       PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(stream, device_.recordSource.c_str(), &attr, flags) < 0) {
      return hr::kAudioDeviceInvalidated;
    }
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(stream);
      if (state == PA_STREAM_READY) return hr::kOk;
      if (!PA_STREAM_IS_GOOD(state) || !connection_->Alive()) return hr::kAudioDeviceInvalidated;
      pa_threaded_mainloop_wait(connection_->Loop());
    }
  }

  static void OnState(pa_stream*, void* connection) { static_cast<PulseConnection*>(connection)->Signal(); }

  // The device's format as the server describes it now.
  Hresult LoadFormat() {
    if (format_) return hr::kOk;
    PulseLock lock(*connection_);
    std::optional<PulseDevice> current = FindDevice(*connection_, device_.name);
    if (!current) return connection_->Alive() ? hr::kAudioDeviceInvalidated : kAudioServiceNotRunning;
    device_ = std::move(*current);
    format_ = ChooseStreamFormat(device_.sampleFormat, device_.map);
    return hr::kOk;
  }

  std::shared_ptr<PulseConnection> connection_;
  PulseDevice device_;
  std::optional<PulseStreamFormat> format_;
  std::shared_ptr<PulseStream> stream_;
};

}  // namespace

std::shared_ptr<platform::IAudioClient> MakePulseAudioClient(std::shared_ptr<PulseConnection> connection,
                                                             PulseDevice device) {
  return std::make_shared<PulseAudioClient>(std::move(connection), std::move(device));
}

}  // namespace ostrel::linuxp
