// core.dll as a host loads it: LoadLibraryW and one GetProcAddress per
// export, typed from ostrel.h. Also the host's log callback and its lines.
#pragma once

#include <ostrel/ostrel.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostrel::winhost {

// Every export of ostrel.h, by its name without the prefix.
#define OSTREL_HOST_EXPORTS(X)                                                                                  \
  X(GlobalInitialize) X(GlobalShutdown) X(SetLogCallback) X(GetAppVersion) X(HasHardwareEncoder)               \
  X(StartCapture) X(StopCapture) X(IsCapturing) X(GetMeasuredSustainableFps) X(SaveClipNow) X(GetSaveProgress) \
  X(SetCaptureBorderEnabled) X(SetAudioSettings) X(EnumerateAudioDevices) X(VerifyUpdateArtifact)               \
  X(SaveClipSeconds) X(SaveClip) X(AddMarker) X(SetReplayStorage)

struct CoreApi {
  HMODULE module = nullptr;
#define OSTREL_HOST_MEMBER(name) decltype(&Ostrel_##name) name = nullptr;
  OSTREL_HOST_EXPORTS(OSTREL_HOST_MEMBER)
#undef OSTREL_HOST_MEMBER
};

// Loads the DLL and resolves every export; false (with a message) when the
// DLL or any export is missing.
bool LoadCore(const std::wstring& path, CoreApi* api);

// The id of the endpoint named `name` (capture or render), empty if none.
std::wstring EndpointId(const CoreApi& core, bool capture, const std::wstring& name);

// The host's log: every line the callback received, in order.
class HostLog {
 public:
  static void Callback(const wchar_t* line);
  static void Clear();
  static std::vector<std::wstring> Lines();
  // Lines starting with `prefix`.
  static size_t Count(const std::wstring& prefix);
  static bool WaitFor(const std::wstring& prefix, std::chrono::milliseconds timeout);
  // Prints every line (UTF-8) after a failure, for the reader of the test log.
  static void Dump();
};

}  // namespace ostrel::winhost
