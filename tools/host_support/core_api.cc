#include "core_api.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "text.h"

namespace ostrel::winhost {
namespace {

std::mutex g_logMutex;
std::vector<std::wstring> g_lines;

// The enumeration's callback has no context: the name looked for and the id
// found live here, for one lookup at a time.
std::wstring g_wantedName;
std::wstring g_foundId;
void FindByName(const wchar_t* id, const wchar_t* name, bool) {
  if (g_wantedName == name) g_foundId = id;
}

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
  bool resolved = true;
#define OSTREL_HOST_RESOLVE(name) resolved = Resolve(api->module, "Ostrel_" #name, &api->name) && resolved;
  OSTREL_HOST_EXPORTS(OSTREL_HOST_RESOLVE)
#undef OSTREL_HOST_RESOLVE
  return resolved;
}

std::wstring EndpointId(const CoreApi& core, bool capture, const std::wstring& name) {
  g_foundId.clear();
  g_wantedName = name;
  core.EnumerateAudioDevices(capture, &FindByName);
  return g_foundId;
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
