#include "click_player.h"

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <ksmedia.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace ostrel::winhost {
namespace {

constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
constexpr double kClickSeconds = 0.010;

template <typename T>
struct Releaser {
  T* p = nullptr;
  ~Releaser() {
    if (p) p->Release();
  }
};

bool IsFloat(const WAVEFORMATEX* format) {
  if (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return false;
  const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
  return IsEqualGUID(extensible->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

}  // namespace

ClickPlayer::ClickPlayer() {
  thread_ = std::thread([this] { Run(); });
  for (int i = 0; i < 200 && !running_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ClickPlayer::~ClickPlayer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void ClickPlayer::Run() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    Releaser<IMMDeviceEnumerator> enumerator;
    Releaser<IMMDevice> device;
    Releaser<IAudioClient> client;
    Releaser<IAudioRenderClient> render;
    WAVEFORMATEX* format = nullptr;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator.p));
    if (SUCCEEDED(hr)) hr = enumerator.p->GetDefaultAudioEndpoint(eRender, eConsole, &device.p);
    if (SUCCEEDED(hr)) hr = device.p->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client.p));
    if (SUCCEEDED(hr)) hr = client.p->GetMixFormat(&format);
    const bool isFloat = SUCCEEDED(hr) && IsFloat(format);
    const bool isInt16 = SUCCEEDED(hr) && !isFloat && format->wBitsPerSample == 16;
    if (SUCCEEDED(hr) && !isFloat && !isInt16) hr = E_FAIL;
    if (SUCCEEDED(hr)) hr = client.p->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kBufferDuration, 0, format, nullptr);
    if (SUCCEEDED(hr)) hr = client.p->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void**>(&render.p));
    UINT32 bufferFrames = 0;
    if (SUCCEEDED(hr)) hr = client.p->GetBufferSize(&bufferFrames);
    if (SUCCEEDED(hr)) hr = client.p->Start();
    if (FAILED(hr)) {
      std::printf("click player: WASAPI render failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    } else {
      running_.store(true);
      const UINT32 channels = format->nChannels;
      const UINT32 clickFrames = static_cast<UINT32>(kClickSeconds * format->nSamplesPerSec);
      UINT32 clickLeft = 0;
      while (!stop_.load()) {
        UINT32 padding = 0;
        if (FAILED(client.p->GetCurrentPadding(&padding))) break;
        // Keep about 10 ms queued: enough not to starve, little delay.
        const UINT32 target = bufferFrames / 2;
        if (padding < target) {
          const UINT32 frames = target - padding;
          BYTE* data = nullptr;
          if (FAILED(render.p->GetBuffer(frames, &data))) break;
          std::memset(data, 0, static_cast<size_t>(frames) * format->nBlockAlign);
          if (clickLeft == 0 && pending_.exchange(false)) {
            clickLeft = clickFrames;
            played_.fetch_add(1);
          }
          for (UINT32 f = 0; f < frames && clickLeft > 0; ++f, --clickLeft) {
            for (UINT32 c = 0; c < channels; ++c) {
              if (isFloat) {
                reinterpret_cast<float*>(data)[f * channels + c] = 0.9f;
              } else {
                reinterpret_cast<int16_t*>(data)[f * channels + c] = 29000;
              }
            }
          }
          render.p->ReleaseBuffer(frames, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      client.p->Stop();
    }
    CoTaskMemFree(format);
  }
  running_.store(false);
  CoUninitialize();
}

}  // namespace ostrel::winhost
