// The desktop (loopback) and microphone capture threads: one endpoint stream
// at a time, read by polling, kept in the device's own format and cut into
// ~2 s chunks that keep pace with wall time.
#include "audio/audio_capture.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "audio/audio_devices.h"
#include "audio/device_clock.h"
#include "audio/silent_render_stream.h"
#include "audio/silence_sharer.h"
#include "platform/platform.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

using platform::DataFlow;

constexpr int64_t kStreamBufferDuration = 10000000;  // 1 s in 100 ns units
constexpr double kChunkSeconds = 2.0;
constexpr auto kIdlePoll = std::chrono::milliseconds(10);
constexpr auto kRetryDelay = std::chrono::milliseconds(500);
constexpr auto kWaitForEndpoint = std::chrono::milliseconds(500);
constexpr size_t kWaveFormatHeaderBytes = 18;
// Audio the device may hold for us at a cut without it being a silence.
constexpr uint64_t kInFlightAllowanceMs = 40;
// How long after a save's request instant its audio may still arrive before
// the missing part counts as silence.
constexpr int64_t kCutWaitTicks = 150 * 10000;
// Packets come every 10 ms or so; a loopback that had nothing for longer
// than this paused its delivery (nothing played), and where its position
// stood meanwhile is not something to rely on.
constexpr int64_t kDeliveryPauseTicks = 50 * 10000;

// Tells the ring's savers that a stream is capturing into it.
struct CapturingScope {
  explicit CapturingScope(AudioRing& ring) : ring_(ring) { ring_.SetCapturing(true); }
  ~CapturingScope() { ring_.SetCapturing(false); }
  CapturingScope(const CapturingScope&) = delete;
  CapturingScope& operator=(const CapturingScope&) = delete;
  AudioRing& ring_;
};

uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<size_t>(i)];
  return value;
}

// What the thread needs of a mix format; a block too short for its own
// extension, or one without frames, is refused as an unsupported format.
struct MixFormat {
  std::vector<uint8_t> block;  // header + cbSize extension bytes
  uint16_t blockAlign = 0;
  uint32_t samplesPerSec = 0;
};

MixFormat ParseMixFormat(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kWaveFormatHeaderBytes) throw HresultError(hr::kAudioUnsupportedFormat);
  const size_t total = kWaveFormatHeaderBytes + ReadU16(bytes, 16);
  if (bytes.size() < total) throw HresultError(hr::kAudioUnsupportedFormat);
  MixFormat format;
  format.block.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(total));
  format.samplesPerSec = ReadU32(bytes, 4);
  format.blockAlign = ReadU16(bytes, 12);
  if (format.blockAlign == 0 || format.samplesPerSec == 0) throw HresultError(hr::kAudioUnsupportedFormat);
  return format;
}

class AudioCaptureThread {
 public:
  AudioCaptureThread(DataFlow flow, AudioRing& ring, const ReplayWindow& window,
                     const std::atomic<bool>& stopRequested, std::wstring tag, LogSink logSink,
                     std::wstring deviceId)
      : flow_(flow),
        ring_(ring),
        window_(window),
        stopRequested_(stopRequested),
        tag_(std::move(tag)),
        log_(std::move(logSink)),
        deviceId_(std::move(deviceId)),
        streamFlags_(flow == DataFlow::Render ? platform::kStreamFlagsLoopback : 0) {}

  void Run() {
    platform::IAudioSystem& audio = platform::GetPlatform().audio;
    MmcssScope mmcss(audio);
    std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
    AudioDeviceNotifierPtr notifier;
    try {
      Check(audio.CreateDeviceEnumerator(&enumerator));
      if (!enumerator) throw HresultError(hr::kFail);
      notifier.reset(new AudioDeviceNotifier(flow_));
      Check(enumerator->RegisterEndpointNotificationCallback(notifier.get()));
    } catch (const HresultError& error) {
      // Not retried: this thread records nothing until the next start.
      LogF(log_, L"[%ls] audio capture unavailable: 0x%08X (%ls)", tag_.c_str(),
           static_cast<uint32_t>(error.code()), error.message().c_str());
      return;
    }
    enumerator_ = enumerator.get();
    notifier_ = notifier.get();

    while (!stopRequested_.load()) {
      try {
        Connect();
      } catch (const HresultError& error) {
        Retry(error.code());
      } catch (const std::bad_alloc&) {
        // A position jump too large to fill is the same kind of trouble.
        Retry(hr::kOutOfMemory);
      }
    }
    enumerator->UnregisterEndpointNotificationCallback(notifier.get());
  }

 private:
  void Retry(Hresult code) {
    LogF(log_, L"[%ls] capture error: 0x%08X (%ls) - retrying...", tag_.c_str(), static_cast<uint32_t>(code),
         HresultMessage(code).c_str());
    std::this_thread::sleep_for(kRetryDelay);
  }

  // One pass of the connection loop: find the endpoint, open its stream,
  // capture until a change, the stop flag or a failed packet call.
  void Connect() {
    std::shared_ptr<platform::IAudioEndpoint> endpoint;
    Hresult result = hr::kOk;
    if (deviceId_.empty()) {
      result = enumerator_->GetDefaultAudioEndpoint(flow_, platform::Role::Console, &endpoint);
    } else {
      result = enumerator_->GetDevice(deviceId_, &endpoint);
      if (Failed(result)) {
        LogF(log_, L"[%ls] configured device unavailable (0x%08X) - falling back to system default",
             tag_.c_str(), static_cast<uint32_t>(result));
        endpoint.reset();
        result = enumerator_->GetDefaultAudioEndpoint(flow_, platform::Role::Console, &endpoint);
      }
    }
    if (result == hr::kNotFound) {
      LogF(log_, L"[%ls] no default device available - waiting for one to appear...", tag_.c_str());
      notifier_->WaitForChange(kWaitForEndpoint);
      notifier_->TakeChanged();
      return;
    }
    Check(result);
    if (!endpoint) throw HresultError(hr::kFail);

    std::wstring id;
    Check(endpoint->GetId(&id));
    notifier_->SetCurrentDeviceId(std::move(id));
    LogF(log_, L"[%ls] device: %ls", tag_.c_str(), FriendlyName(*endpoint).c_str());

    std::shared_ptr<platform::IAudioClient> client;
    Check(endpoint->Activate(&client));
    if (!client) throw HresultError(hr::kFail);
    std::vector<uint8_t> mixBytes;
    Check(client->GetMixFormat(&mixBytes));
    const MixFormat format = ParseMixFormat(mixBytes);
    ring_.SetWaveFormat(format.block);
    Check(client->Initialize(streamFlags_, kStreamBufferDuration, mixBytes));
    std::shared_ptr<platform::IAudioCaptureClient> capture;
    Check(client->GetCaptureClient(&capture));
    if (!capture) throw HresultError(hr::kFail);
    SilentRenderStream keepAlive;
    if (flow_ == DataFlow::Render) OpenKeepAlive(keepAlive, *endpoint, mixBytes);
    Check(client->Start());
    // The stream's first frame belongs to this instant: read it before
    // anything else can delay it.
    const int64_t streamStart = TickClock::Now();

    Capture(*capture, keepAlive, format, ring_.SharedWaveFormat(), streamStart);

    client->Stop();  // a failing stop changes nothing for us
    if (!stopRequested_.load()) {
      const uint32_t count = ring_.ReconnectCount().fetch_add(1) + 1;
      LogF(log_, L"[%ls] device changed - reconnecting (reconnect #%u)...", tag_.c_str(), count);
    }
  }

  // Keeps the loopback's endpoint playing silence while it is captured.
  void OpenKeepAlive(SilentRenderStream& keepAlive, platform::IAudioEndpoint& endpoint,
                     const std::vector<uint8_t>& mixBytes) {
    const Hresult result = keepAlive.Open(endpoint, mixBytes);
    if (Failed(result) && result != hr::kNotImplemented) {
      LogF(log_, L"[%ls] silent render stream unavailable: 0x%08X (%ls) - silences are placed by time",
           tag_.c_str(), static_cast<uint32_t>(result), HresultMessage(result).c_str());
    }
  }

  // The capture loop; returns on the stop flag, a change notification or a
  // failed packet call. Audio not yet cut is dropped with the connection.
  //
  // Chunks follow the device's own timeline: timeline frame n is the device
  // position of the connection's first packet plus n, and the DeviceClock
  // says at which tick it was captured (following the platform's packet
  // stamps, so a device clock running fast or slow never drifts against
  // the video). A chunk starts where the previous one ended on that
  // timeline, so consecutive chunks are one continuous stream and every
  // sample sits at its true tick, however late its packet was read.
  // After a loopback's pause in delivery (nothing played and no silent
  // render stream kept it going) the device position may have stood still
  // or run on; the packet that ends the pause is placed by its stamp (or the
  // time it was read) instead, and the position counts from there. A
  // microphone's packets held back by a stalled system keep their positions.
  // Silence fills position jumps where they happen and, at a cut, a stretch
  // in which the device delivered nothing; audio still in flight at a cut
  // (at most a packet or two) is not padded but lands in the next chunk.
  // A save's cut ends the chunk at its request instant: the frames before
  // it are handed over, the rest begin the next chunk.
  void Capture(platform::IAudioCaptureClient& capture, SilentRenderStream& keepAlive, const MixFormat& format,
               const std::shared_ptr<const std::vector<uint8_t>>& chunkFormat, int64_t streamStart) {
    const uint32_t blockAlign = format.blockAlign;
    const uint64_t rate = format.samplesPerSec;
    const uint64_t inFlightFrames = rate * kInFlightAllowanceMs / 1000;
    // Room for a whole chunk and a few packets, so `pending` never grows.
    const size_t chunkCapacity =
        static_cast<size_t>(format.samplesPerSec) * blockAlign * 21 / 10 + static_cast<size_t>(blockAlign) * 4096;
    std::vector<uint8_t> pending;
    pending.reserve(chunkCapacity);
    // Device frames accounted for so far (captured, gap-filled or padded);
    // the first frame of `pending` is timeline frame chunkFirstFrame, which
    // began at chunkStartTicks.
    uint64_t accountedFrames = 0;
    uint64_t chunkFirstFrame = 0;
    int64_t chunkStartTicks = streamStart;
    bool havePosition = false;
    // Timeline frame = device position - positionOffset.
    int64_t positionOffset = 0;
    // The first and the latest poll of the current run that found nothing.
    int64_t emptySince = streamStart;
    int64_t emptyUntil = streamStart;
    DeviceClock clock(format.samplesPerSec, streamStart);
    CapturingScope capturing(ring_);
    // Silent chunks share one zero buffer; a silent chunk up to 100 ms
    // longer ends where the buffer does and the rest begins the next chunk.
    SilenceSharer silence(static_cast<size_t>(rate / 10) * blockAlign);

    // Hands the first `frames` frames of `pending` to the ring as one chunk
    // (exactly that many for a save's cut; a silent chunk may end earlier
    // otherwise).
    auto appendChunk = [&](uint64_t frames, bool exact) {
      // Copied out at its exact size: the ring holds the audio and no spare
      // room (a chunk cut short by a save would otherwise keep a whole
      // chunk's capacity), and `pending` keeps its room for the next one.
      size_t bytes = std::min(static_cast<size_t>(frames) * blockAlign, pending.size());
      AudioChunk chunk;
      chunk.bytes = silence.Take(pending.data(), &bytes, exact);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(bytes));
      const uint64_t endFrame = chunkFirstFrame + bytes / blockAlign;
      const int64_t endTicks = std::max(clock.TicksAt(endFrame), chunkStartTicks);
      chunk.startTicks = chunkStartTicks;
      chunk.durationSeconds = static_cast<double>(endTicks - chunkStartTicks) / TickClock::kTicksPerSecond;
      chunk.waveFormat = chunkFormat;
      ring_.Append(std::move(chunk), window_);
      chunkFirstFrame = endFrame;
      chunkStartTicks = endTicks;
    };
    // Silence up to timeline frame `frame` (exclusive).
    auto padTo = [&](uint64_t frame) {
      if (frame <= accountedFrames) return;
      pending.resize(pending.size() + static_cast<size_t>(frame - accountedFrames) * blockAlign, 0);
      accountedFrames = frame;
    };

    for (;;) {
      if (stopRequested_.load()) return;
      if (notifier_->TakeChanged()) return;
      if (Hresult fed = keepAlive.Feed(); Failed(fed)) {
        LogF(log_, L"[%ls] silent render stream failed: 0x%08X (%ls) - silences are placed by time", tag_.c_str(),
             static_cast<uint32_t>(fed), HresultMessage(fed).c_str());
      }
      uint32_t packetFrames = 0;
      if (Failed(capture.GetNextPacketSize(&packetFrames))) return;
      if (packetFrames != 0) {
        const uint8_t* data = nullptr;
        uint32_t frames = 0;
        uint32_t flags = 0;
        uint64_t position = 0;
        uint64_t qpcPosition = 0;
        if (Failed(capture.GetBuffer(&data, &frames, &flags, &position, &qpcPosition))) return;
        // Only a loopback pauses for lack of anything to deliver; a capture
        // device that held packets back delivers them with their positions.
        const bool afterPause = flow_ == DataFlow::Render && emptyUntil - emptySince > kDeliveryPauseTicks;
        if (!havePosition && accountedFrames == 0) {
          // The first packet of a connection sets the reference: its device
          // position is timeline frame 0 (and its stamp, where there is one,
          // the chunk's start).
          positionOffset = static_cast<int64_t>(position);
        } else if (!havePosition || afterPause) {
          // Where the timeline stands at the packet's capture instant. The
          // position keeps its word unless it is off from that by more than
          // a pause: a loopback that merely delivered late (a busy system)
          // still has it right, and the clock's own estimate would move the
          // packet by its small error.
          const int64_t capturedAt = qpcPosition != 0
                                         ? TickClock::FromCounter100ns(qpcPosition)
                                         : TickClock::Now() - static_cast<int64_t>(frames) *
                                                                  TickClock::kTicksPerSecond /
                                                                  static_cast<int64_t>(rate);
          const int64_t stampOffset =
              static_cast<int64_t>(position) - static_cast<int64_t>(clock.FrameAt(capturedAt));
          const int64_t pauseFrames = kDeliveryPauseTicks * static_cast<int64_t>(rate) / TickClock::kTicksPerSecond;
          if (!havePosition || std::llabs(stampOffset - positionOffset) > pauseFrames) positionOffset = stampOffset;
        }
        havePosition = true;
        emptySince = emptyUntil + 1;  // no run of empty polls now
        const int64_t timelineFrame = static_cast<int64_t>(position) - positionOffset;
        const uint64_t packetFirst = timelineFrame > 0 ? static_cast<uint64_t>(timelineFrame) : 0;
        if (qpcPosition != 0) {
          clock.Observe(packetFirst, TickClock::FromCounter100ns(qpcPosition));
          // Before the first cut the chunk starts with the timeline itself.
          if (chunkFirstFrame == 0 && accountedFrames == 0) chunkStartTicks = clock.TicksAt(0);
        }
        // A jump of the device position is audio the device lost: keep the
        // timeline by putting silence where it happened.
        if (packetFirst > accountedFrames) {
          const uint32_t gapBytes = static_cast<uint32_t>(packetFirst - accountedFrames) * blockAlign;
          pending.resize(pending.size() + gapBytes, 0);
          accountedFrames = packetFirst;
        }
        // Frames that an earlier cut already covered with silence are
        // skipped, so nothing after them shifts later in time.
        const uint64_t skip = std::min<uint64_t>(frames, accountedFrames - packetFirst);
        const uint32_t kept = frames - static_cast<uint32_t>(skip);
        const uint32_t bytes = kept * blockAlign;
        if ((flags & platform::kBufferFlagsSilent) != 0 || data == nullptr) {
          pending.resize(pending.size() + bytes, 0);
        } else {
          const uint8_t* from = data + skip * blockAlign;
          pending.insert(pending.end(), from, from + bytes);
        }
        accountedFrames += kept;
        Check(capture.ReleaseBuffer(frames));
      } else {
        const int64_t polled = TickClock::Now();
        if (emptyUntil < emptySince) emptySince = polled;
        emptyUntil = polled;
        std::this_thread::sleep_for(kIdlePoll);
      }

      const int64_t now = TickClock::Now();
      uint64_t cut = 0;
      int64_t cutTicks = 0;
      if (ring_.PendingCut(&cut, &cutTicks)) {
        const uint64_t cutFrame = clock.FrameAt(cutTicks);
        if (cutFrame <= chunkFirstFrame) {
          ring_.CutDone(cut);  // already handed over
        } else if (accountedFrames >= cutFrame || now >= cutTicks + kCutWaitTicks) {
          padTo(cutFrame);  // only when the device fell silent before the instant
          appendChunk(cutFrame - chunkFirstFrame, true);
          ring_.CutDone(cut);
        }
      }
      const double elapsed = static_cast<double>(now - chunkStartTicks) / TickClock::kTicksPerSecond;
      if (elapsed >= kChunkSeconds) {
        // A stretch without packets becomes silence at the chunk's end.
        const uint64_t deviceFrames = clock.FrameAt(now);
        if (deviceFrames > accountedFrames + inFlightFrames) padTo(deviceFrames - inFlightFrames);
        appendChunk(accountedFrames - chunkFirstFrame, false);
      }
    }
  }

  const DataFlow flow_;
  AudioRing& ring_;
  const ReplayWindow& window_;
  const std::atomic<bool>& stopRequested_;
  const std::wstring tag_;
  const LogSink log_;
  const std::wstring deviceId_;
  const uint32_t streamFlags_;
  platform::IAudioDeviceEnumerator* enumerator_ = nullptr;
  AudioDeviceNotifier* notifier_ = nullptr;
};

}  // namespace

void RunAudioCapture(DataFlow flow, AudioRing& ring, const ReplayWindow& window,
                     const std::atomic<bool>& stopRequested, std::wstring tag, LogSink logSink,
                     std::wstring deviceId) {
  AudioCaptureThread(flow, ring, window, stopRequested, std::move(tag), std::move(logSink), std::move(deviceId))
      .Run();
}

}  // namespace ostrel
