#include "linux/click_player.h"

#include <pulse/simple.h>

#include <cstdint>
#include <memory>

namespace ostrel::testing {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlockFrames = kRate / 200;  // 5 ms
constexpr int kClickFrames = kRate / 100;  // 10 ms
constexpr int16_t kClickLevel = 26000;     // about 0.8 of full scale

struct SimpleDeleter {
  void operator()(pa_simple* stream) const { pa_simple_free(stream); }
};

}  // namespace

ClickPlayer::ClickPlayer(const std::string& sink, Clock::time_point first, Clock::duration interval)
    : sink_(sink), first_(first), interval_(interval) {
  thread_ = std::thread([this] { Run(); });
}

ClickPlayer::~ClickPlayer() {
  stop_.store(true);
  thread_.join();
}

void ClickPlayer::Run() {
  const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, kRate, kChannels};
  // A short buffer keeps the written position close to what is heard.
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20000, &sampleFormat));
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5000, &sampleFormat));
  attributes.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  std::unique_ptr<pa_simple, SimpleDeleter> stream(pa_simple_new(nullptr, "ostrel-test", PA_STREAM_PLAYBACK,
                                                                 sink_.empty() ? nullptr : sink_.c_str(), "clicks",
                                                                 &sampleFormat, nullptr, &attributes, &error));
  if (!stream) {
    failed_.store(true);
    return;
  }
  int16_t block[kBlockFrames * kChannels];
  int clickLeft = 0;  // frames of the current click still to write
  Clock::time_point nextClick = first_;
  while (!stop_.load()) {
    // The first frame of this block is heard after everything queued.
    const pa_usec_t latency = pa_simple_get_latency(stream.get(), &error);
    const Clock::time_point heardAt = Clock::now() + std::chrono::microseconds(latency);
    for (int frame = 0; frame < kBlockFrames; ++frame) {
      const Clock::time_point at = heardAt + std::chrono::microseconds(int64_t{frame} * 1000000 / kRate);
      if (clickLeft == 0 && at >= nextClick) {
        // A click whose instant already passed unheard is skipped.
        if (at - nextClick < std::chrono::milliseconds(2)) {
          clickLeft = kClickFrames;
        }
        while (nextClick <= at) nextClick += interval_;
      }
      const int16_t value = clickLeft > 0 ? kClickLevel : 0;
      if (clickLeft > 0) --clickLeft;
      for (int channel = 0; channel < kChannels; ++channel) block[frame * kChannels + channel] = value;
    }
    if (pa_simple_write(stream.get(), block, sizeof block, &error) < 0) {
      failed_.store(true);
      return;
    }
  }
}

}  // namespace ostrel::testing
