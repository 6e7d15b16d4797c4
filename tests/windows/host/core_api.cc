#include "core_api.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "check.h"

namespace ostrel::winhost {
namespace {

std::mutex g_logMutex;
std::vector<std::wstring> g_lines;

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* out) {
  FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) {
    std::printf("core.dll does not export %s\n", name);
    return false;
  }
  *out = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
  return true;
}

}  // namespace

bool LoadCore(const std::wstring& path, CoreApi* api) {
  api->module = LoadLibraryW(path.c_str());
  if (api->module == nullptr) {
    std::printf("LoadLibraryW(%s) failed: error %lu\n", Narrow(path).c_str(), GetLastError());
    return false;
  }
  HMODULE m = api->module;
  return Resolve(m, "Ostrel_GlobalInitialize", &api->GlobalInitialize) &&
         Resolve(m, "Ostrel_GlobalShutdown", &api->GlobalShutdown) &&
         Resolve(m, "Ostrel_SetLogCallback", &api->SetLogCallback) &&
         Resolve(m, "Ostrel_GetAppVersion", &api->GetAppVersion) &&
         Resolve(m, "Ostrel_HasHardwareEncoder", &api->HasHardwareEncoder) &&
         Resolve(m, "Ostrel_StartCapture", &api->StartCapture) &&
         Resolve(m, "Ostrel_StopCapture", &api->StopCapture) &&
         Resolve(m, "Ostrel_IsCapturing", &api->IsCapturing) &&
         Resolve(m, "Ostrel_GetMeasuredSustainableFps", &api->GetMeasuredSustainableFps) &&
         Resolve(m, "Ostrel_SaveClipNow", &api->SaveClipNow) &&
         Resolve(m, "Ostrel_GetSaveProgress", &api->GetSaveProgress) &&
         Resolve(m, "Ostrel_SetCaptureBorderEnabled", &api->SetCaptureBorderEnabled) &&
         Resolve(m, "Ostrel_SetAudioSettings", &api->SetAudioSettings) &&
         Resolve(m, "Ostrel_EnumerateAudioDevices", &api->EnumerateAudioDevices) &&
         Resolve(m, "Ostrel_VerifyUpdateArtifact", &api->VerifyUpdateArtifact);
}

std::vector<std::string> ExportedNames(HMODULE module) {
  std::vector<std::string> names;
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (entry.VirtualAddress == 0) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
  }
  // Exports by ordinal only would have no name: count them as unnamed.
  for (DWORD i = exports->NumberOfNames; i < exports->NumberOfFunctions; ++i) names.emplace_back("<ordinal>");
  return names;
}

void HostLog::Callback(const wchar_t* line) {
  // OSTREL_HOST_ECHO_LOG=1 prints every line as it arrives, for debugging.
  static const bool echo = GetEnvironmentVariableW(L"OSTREL_HOST_ECHO_LOG", nullptr, 0) > 0;
  std::lock_guard lock(g_logMutex);
  g_lines.emplace_back(line);
  if (echo) std::printf("  log[%lu]: %s\n", GetCurrentThreadId(), Narrow(line).c_str());
}

void HostLog::Clear() {
  std::lock_guard lock(g_logMutex);
  g_lines.clear();
}

std::vector<std::wstring> HostLog::Lines() {
  std::lock_guard lock(g_logMutex);
  return g_lines;
}

size_t HostLog::Count(const std::wstring& prefix) {
  std::lock_guard lock(g_logMutex);
  size_t count = 0;
  for (const std::wstring& line : g_lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

bool HostLog::WaitFor(const std::wstring& prefix, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Count(prefix) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void HostLog::Dump() {
  for (const std::wstring& line : Lines()) std::printf("  log: %s\n", Narrow(line).c_str());
  std::fflush(stdout);
}

}  // namespace ostrel::winhost
