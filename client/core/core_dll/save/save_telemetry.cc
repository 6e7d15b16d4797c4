#include "save/save_telemetry.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "platform/platform.h"

namespace ostrel {
namespace {

constexpr double kMiB = 1048576.0;
constexpr int kStepsPerSamplerLine = 4;
constexpr auto kSamplerStep = std::chrono::milliseconds(250);

std::wstring VFormatCut(size_t capacity, const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(capacity);
  va_list copy;
  va_copy(copy, args);
  int written = std::vswprintf(buffer.data(), capacity, format, copy);
  va_end(copy);
  if (written >= 0) return std::wstring(buffer.data(), static_cast<size_t>(written));
  // glibc reports an overflowing wide format as failure with undefined
  // contents: format into a roomy buffer and cut it ourselves.
  std::vector<wchar_t> big(4096);
  written = std::vswprintf(big.data(), big.size(), format, args);
  if (written < 0) return std::wstring();
  std::wstring text(big.data(), static_cast<size_t>(written));
  if (capacity > 0 && text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

}  // namespace

std::wstring FormatCut(size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = VFormatCut(capacity, format, args);
  va_end(args);
  return text;
}

MemorySample ReadMemorySample() {
  platform::ProcessMemory memory{};
  if (!platform::GetPlatform().system.GetProcessMemory(&memory)) return {};
  return {static_cast<double>(memory.privateBytes) / kMiB, static_cast<double>(memory.workingSetBytes) / kMiB};
}

SaveMemoryTracker::SaveMemoryTracker(LogSink log, MemorySampleSource source)
    : log_(std::move(log)), source_(std::move(source)) {}

void SaveMemoryTracker::Stage(const std::wstring& name, const std::wstring& suffix) {
  MemorySample sample = source_();
  std::wstring line = FormatCut(256, L"[DIAG-SAVE-MEM] stage=%-18ls priv=%.1fMB ws=%.1fMB dPriv=%+.1fMB",
                                name.c_str(), sample.priv, sample.ws, sample.priv - previousPriv_);
  line += suffix;
  LogTo(log_, line);
  previousPriv_ = sample.priv;
}

std::wstring SaveSizeSuffix::Text() const {
  uint64_t ringV = videoRing.TotalBytes();
  uint64_t ringA = desktopRing.TotalBytes() + micRing.TotalBytes();
  uint64_t snapV = SnapshotBytes(videoSnapshot);
  uint64_t snapA = SnapshotBytes(desktopSnapshot) + SnapshotBytes(micSnapshot);
  return FormatCut(160, L" ringV=%zuMB ringA=%zuMB snapV=%zuMB snapA=%zuMB", static_cast<size_t>(ringV >> 20),
                   static_cast<size_t>(ringA >> 20), static_cast<size_t>(snapV >> 20),
                   static_cast<size_t>(snapA >> 20));
}

std::wstring SegmentStageName(size_t index) { return FormatCut(32, L"segment-%02zu", index); }

std::wstring MiBSuffix(const wchar_t* label, uint64_t bytes) {
  return std::wstring(label) + std::to_wstring(bytes / 1048576) + L"MB";
}

void RunSaveMemorySampler(const std::atomic<bool>& stop, const LogSink& log, const MemorySampleSource& source,
                          const std::function<void()>& waitStep) {
  int n = 0;
  for (;;) {
    if (stop.load()) return;
    if (waitStep) {
      waitStep();
    } else {
      std::this_thread::sleep_for(kSamplerStep);
    }
    if (stop.load()) return;
    ++n;
    if (n % kStepsPerSamplerLine != 0) continue;
    MemorySample sample = source();
    LogTo(log, FormatCut(128, L"[DIAG-SAVE-MEM-1S] t=%ds priv=%.1fMB ws=%.1fMB", n / kStepsPerSamplerLine,
                         sample.priv, sample.ws));
  }
}

SaveMemorySampler::SaveMemorySampler(LogSink log, MemorySampleSource source)
    : log_(std::move(log)), source_(std::move(source)) {
  thread_ = std::thread([this] {
    RunSaveMemorySampler(stop_, log_, source_, [this] {
      UniqueLock lock(wakeMutex_);
      wake_.wait_for(lock, kSamplerStep, [this] { return stop_.load(); });
    });
  });
}

SaveMemorySampler::~SaveMemorySampler() {
  {
    LockGuard lock(wakeMutex_);
    stop_.store(true);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace ostrel
