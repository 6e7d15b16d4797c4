#include "flasher.h"

#include <chrono>
#include <cmath>
#include <numbers>

namespace ostrel::check {
namespace {

constexpr int kRate = 48000;
constexpr double kBeepHz = 1000.0;
constexpr double kBeepAmplitude = 0.8;

}  // namespace

Flasher::Flasher(winhost::TestWindow& window) : window_(window) {
  beep_.resize(kRate * kFlashMs / 1000);
  for (size_t i = 0; i < beep_.size(); ++i) {
    const double value = kBeepAmplitude * std::sin(2 * std::numbers::pi * kBeepHz * static_cast<double>(i) / kRate);
    beep_[i] = static_cast<int16_t>(std::lround(value * 32767));
  }
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = kRate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = kRate * 2;
  // WAVE_MAPPER: the default render endpoint.
  const MMRESULT opened = waveOutOpen(&waveOut_, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
  if (opened != MMSYSERR_NOERROR) {
    waveOut_ = nullptr;
    audioError_ = "waveOutOpen failed: " + std::to_string(opened);
    return;
  }
  header_.lpData = reinterpret_cast<LPSTR>(beep_.data());
  header_.dwBufferLength = static_cast<DWORD>(beep_.size() * sizeof(int16_t));
  if (waveOutPrepareHeader(waveOut_, &header_, sizeof header_) != MMSYSERR_NOERROR) {
    audioError_ = "waveOutPrepareHeader failed";
    waveOutClose(waveOut_);
    waveOut_ = nullptr;
    return;
  }
  header_.dwFlags |= WHDR_DONE;  // nothing queued yet
}

Flasher::~Flasher() {
  Stop();
  if (waveOut_ != nullptr) {
    waveOutReset(waveOut_);
    waveOutUnprepareHeader(waveOut_, &header_, sizeof header_);
    waveOutClose(waveOut_);
  }
}

void Flasher::Start(int periodMs) {
  Stop();
  stop_.store(false);
  thread_ = std::thread([this, periodMs] { Run(periodMs); });
}

void Flasher::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  window_.SetFlash(false);
}

void Flasher::Run(int periodMs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (int n = 1; !stop_.load(); ++n) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(periodMs * n));
    if (stop_.load()) break;
    // The beep is queued first: the device starts it a little later than
    // the window shows white, as any player would.
    if (waveOut_ != nullptr && (header_.dwFlags & WHDR_DONE) != 0) waveOutWrite(waveOut_, &header_, sizeof header_);
    window_.SetFlash(true);
    flashes_.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kFlashMs));
    window_.SetFlash(false);
  }
}

}  // namespace ostrel::check
