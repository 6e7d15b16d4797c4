#include "recorder.h"

#include <ostrel/ostrel.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace ostrel::replay {
namespace {

constexpr size_t kKeptLogLines = 12;

// The log callback has no context argument: one recorder per process.
std::mutex g_logMutex;
std::deque<std::string> g_recentLog;
bool g_verbose = false;
std::atomic<bool> g_targetClosed{false};

void OnLogLine(const wchar_t* line) {
  std::string text = Narrow(line);
  if (text.rfind("[DIAG-ITEM-CLOSED]", 0) == 0) g_targetClosed = true;
  std::lock_guard lock(g_logMutex);
  if (g_verbose) std::fprintf(stderr, "\r\033[K[ostrel] %s\n", text.c_str());
  g_recentLog.push_back(std::move(text));
  if (g_recentLog.size() > kKeptLogLines) g_recentLog.pop_front();
}

std::vector<AudioDevice>* g_listing = nullptr;

void OnAudioDevice(const wchar_t* id, const wchar_t* name, bool isDefault) {
  g_listing->push_back({Narrow(id), Narrow(name), isDefault});
}

bool Listed(const std::vector<AudioDevice>& devices, const std::string& id) {
  return std::any_of(devices.begin(), devices.end(), [&](const AudioDevice& d) { return d.id == id; });
}

}  // namespace

std::wstring Widen(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const int length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
      out.push_back(L'\uFFFD');
      ++i;
      continue;
    }
    char32_t code = length == 1 ? byte : byte & (0x7F >> length);
    for (int k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(static_cast<wchar_t>(code));
    i += static_cast<size_t>(length);
  }
  return out;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t wide : text) {
    const auto code = static_cast<char32_t>(wide);
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::vector<AudioDevice> ListAudioDevices(bool sources) {
  std::vector<AudioDevice> devices;
  g_listing = &devices;
  Ostrel_EnumerateAudioDevices(sources, &OnAudioDevice);
  g_listing = nullptr;
  return devices;
}

Recorder::Recorder(bool verbose) {
  {
    std::lock_guard lock(g_logMutex);
    g_verbose = verbose;
  }
  Ostrel_SetLogCallback(&OnLogLine);
}

Recorder::~Recorder() {
  Stop();
  Ostrel_SetLogCallback(nullptr);
}

bool Recorder::Start(const Options& options, uint32_t xid, std::string* error) {
  // A device named on the command line must exist: the library would
  // otherwise record the default one without a word.
  if (options.desktopAudio && !options.desktopDevice.empty() &&
      !Listed(ListAudioDevices(false), options.desktopDevice)) {
    *error = "no PulseAudio sink is named " + options.desktopDevice + " (see ostrel-replay list-audio)";
    return false;
  }
  if (options.microphone && !options.microphoneDevice.empty() &&
      !Listed(ListAudioDevices(true), options.microphoneDevice)) {
    *error = "no PulseAudio source is named " + options.microphoneDevice + " (see ostrel-replay list-audio)";
    return false;
  }
  if (Ostrel_GlobalInitialize() != 0) {
    *error = "the library could not start its media platform";
    return false;
  }
  initialised_ = true;
  const std::wstring desktop = Widen(options.desktopDevice), microphone = Widen(options.microphoneDevice);
  Ostrel_SetAudioSettings(1.0f, 1.0f, !options.desktopAudio, !options.microphone, desktop.c_str(),
                          microphone.c_str());
  if (!Ostrel_HasHardwareEncoder() && !options.hardwareOnly) {
    // The library records with libx264 only when the host allows it.
    setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);
  }
  void* target = reinterpret_cast<void*>(static_cast<uintptr_t>(xid));
  const int result = Ostrel_StartCapture(target, options.monitor, options.height, options.fps, options.bitrate,
                                         options.replaySeconds);
  if (result != 0) {
    *error = result == 7   ? "there is no hardware H.264 encoder (drop --hardware-only to record with libx264)"
             : result == 3 ? "no window to record"
                           : "the capture did not start (result " + std::to_string(result) + ")";
    return false;
  }
  started_ = true;
  replaySeconds_ = options.replaySeconds;
  startedAt_ = std::chrono::steady_clock::now();
  return true;
}

void Recorder::Stop() {
  if (started_) Ostrel_StopCapture();
  started_ = false;
  if (initialised_) Ostrel_GlobalShutdown();
  initialised_ = false;
}

SaveResult Recorder::Save(int seconds, const std::string& folder) {
  SaveResult saved;
  wchar_t path[4096] = {};
  const std::wstring wideFolder = Widen(folder);
  const int result = Ostrel_SaveClipSeconds(seconds, wideFolder.c_str(), path, 4096);
  if (result == 0) {
    saved.saved = true;
    saved.path = Narrow(path);
  } else {
    saved.error = result == 2 ? "not capturing" : "the save failed (result " + std::to_string(result) + ")";
  }
  return saved;
}

SaveProgress Recorder::Progress() const {
  SaveProgress progress;
  progress.running = Ostrel_GetSaveProgress(&progress.stage, &progress.done, &progress.total);
  return progress;
}

bool Recorder::Capturing() const { return started_ && Ostrel_IsCapturing(); }

double Recorder::Fps() const { return Ostrel_GetMeasuredSustainableFps(); }

double Recorder::BufferedSeconds() const {
  if (!started_) return 0;
  const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
  return std::min<double>(since, replaySeconds_);
}

bool Recorder::TakeTargetClosed() { return g_targetClosed.exchange(false); }

std::string Recorder::RecentLog() const {
  std::lock_guard lock(g_logMutex);
  std::string text;
  for (const std::string& line : g_recentLog) text += "  " + line + "\n";
  return text;
}

}  // namespace ostrel::replay
