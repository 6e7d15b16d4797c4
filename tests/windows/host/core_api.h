// core.dll as a host loads it: LoadLibraryW and one GetProcAddress per
// export, typed from ostrel.h. Also the host's log callback and its lines.
#pragma once

#include <ostrel/ostrel.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostrel::winhost {

struct CoreApi {
  HMODULE module = nullptr;
  decltype(&Ostrel_GlobalInitialize) GlobalInitialize = nullptr;
  decltype(&Ostrel_GlobalShutdown) GlobalShutdown = nullptr;
  decltype(&Ostrel_SetLogCallback) SetLogCallback = nullptr;
  decltype(&Ostrel_GetAppVersion) GetAppVersion = nullptr;
  decltype(&Ostrel_HasHardwareEncoder) HasHardwareEncoder = nullptr;
  decltype(&Ostrel_StartCapture) StartCapture = nullptr;
  decltype(&Ostrel_StopCapture) StopCapture = nullptr;
  decltype(&Ostrel_IsCapturing) IsCapturing = nullptr;
  decltype(&Ostrel_GetMeasuredSustainableFps) GetMeasuredSustainableFps = nullptr;
  decltype(&Ostrel_SaveClipNow) SaveClipNow = nullptr;
  decltype(&Ostrel_GetSaveProgress) GetSaveProgress = nullptr;
  decltype(&Ostrel_SetCaptureBorderEnabled) SetCaptureBorderEnabled = nullptr;
  decltype(&Ostrel_SetAudioSettings) SetAudioSettings = nullptr;
  decltype(&Ostrel_EnumerateAudioDevices) EnumerateAudioDevices = nullptr;
  decltype(&Ostrel_VerifyUpdateArtifact) VerifyUpdateArtifact = nullptr;
};

// Loads the DLL and resolves every export; false (with a message) when the
// DLL or any export is missing.
bool LoadCore(const std::wstring& path, CoreApi* api);

// The names of everything the loaded module exports, from its export
// directory.
std::vector<std::string> ExportedNames(HMODULE module);

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
