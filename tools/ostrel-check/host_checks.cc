#include "host_checks.h"

#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "test_window.h"
#include "text.h"

namespace ostrel::check {
namespace {

using winhost::Narrow;

constexpr int kChildExitCode = 42;
constexpr DWORD kExitWaitMs = 5000;

std::string Apartment() {
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  const HRESULT result = CoGetApartmentType(&type, &qualifier);
  if (FAILED(result)) {
    char text[48];
    std::snprintf(text, sizeof text, "none (0x%08lX)", static_cast<unsigned long>(result));
    return text;
  }
  const char* name = type == APTTYPE_STA       ? "STA"
                     : type == APTTYPE_MTA     ? "MTA"
                     : type == APTTYPE_NA      ? "NA"
                     : type == APTTYPE_MAINSTA ? "main STA"
                                               : "other";
  return std::string(name) + (qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? " (implicit)" : "");
}

// The enumeration's callback has no context: one listing at a time.
std::mutex g_listMutex;
std::vector<std::wstring>* g_list = nullptr;
void Collect(const wchar_t* id, const wchar_t* name, bool isDefault) {
  g_list->push_back(std::wstring(isDefault ? L"* " : L"  ") + name + L" " + id);
}

struct ExportAnswers {
  std::vector<std::wstring> render, capture;
  bool hardwareEncoder = false;
};

ExportAnswers AskExports(const winhost::CoreApi& core) {
  ExportAnswers answers;
  std::lock_guard lock(g_listMutex);
  g_list = &answers.render;
  core.EnumerateAudioDevices(false, &Collect);
  g_list = &answers.capture;
  core.EnumerateAudioDevices(true, &Collect);
  g_list = nullptr;
  answers.hardwareEncoder = core.HasHardwareEncoder();
  return answers;
}

}  // namespace

CheckResult CheckApartments(const winhost::CoreApi& core, HWND window, const std::wstring& outputFolder) {
  CheckResult result{true, true, {}};
  for (const DWORD model : {static_cast<DWORD>(COINIT_APARTMENTTHREADED), static_cast<DWORD>(COINIT_MULTITHREADED)}) {
    std::thread([&] {
      const HRESULT init = CoInitializeEx(nullptr, model);
      const std::string before = Apartment();
      const int started = core.StartCapture(window, false, 480, 30, 0, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      const int saved = started == 0 ? core.SaveClipNow(outputFolder.c_str(), nullptr, 0) : -1;
      core.StopCapture();
      const std::string after = Apartment();
      if (SUCCEEDED(init)) CoUninitialize();
      const bool ok = SUCCEEDED(init) && started == 0 && saved == 0 && before == after;
      result.passed = result.passed && ok;
      char line[200];
      std::snprintf(line, sizeof line, "%s thread: start %d, save %d, apartment before \"%s\", after \"%s\": %s",
                    model == COINIT_APARTMENTTHREADED ? "STA" : "MTA", started, saved, before.c_str(),
                    after.c_str(), ok ? "pass" : "FAIL");
      result.details.push_back(line);
    }).join();
  }
  return result;
}

CheckResult CheckFreshThreadExports(const winhost::CoreApi& core) {
  CheckResult result{true, false, {}};
  ExportAnswers fresh, reference;
  std::string freshApartment;
  std::thread([&] {
    fresh = AskExports(core);
    freshApartment = Apartment();
  }).join();
  std::thread([&] {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    reference = AskExports(core);
    if (SUCCEEDED(init)) CoUninitialize();
  }).join();
  result.passed = !fresh.render.empty() && !fresh.capture.empty() && fresh.render == reference.render &&
                  fresh.capture == reference.capture && fresh.hardwareEncoder == reference.hardwareEncoder;
  result.details.push_back("fresh thread: " + std::to_string(fresh.render.size()) + " render and " +
                           std::to_string(fresh.capture.size()) + " capture endpoints, hardware encoder " +
                           (fresh.hardwareEncoder ? "yes" : "no") + "; apartment after: " + freshApartment);
  result.details.push_back("MTA thread: " + std::to_string(reference.render.size()) + " render and " +
                           std::to_string(reference.capture.size()) + " capture endpoints, hardware encoder " +
                           (reference.hardwareEncoder ? "yes" : "no"));
  for (const std::wstring& name : reference.render) result.details.push_back("render  " + Narrow(name));
  for (const std::wstring& name : reference.capture) result.details.push_back("capture " + Narrow(name));
  return result;
}

CheckResult CheckExitWithoutShutdown(const std::wstring& dll) {
  CheckResult result{true, false, {}};
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE returning = CreateEventW(&inherit, TRUE, FALSE, nullptr);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --exit-without-shutdown " +
                         std::to_wstring(reinterpret_cast<uintptr_t>(returning)) + L" \"" + dll + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (returning == nullptr ||
      !CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    result.details.push_back("the child could not be started: error " + std::to_string(GetLastError()));
    if (returning != nullptr) CloseHandle(returning);
    return result;
  }
  // The child signals just before it returns from main; starting up may take
  // a while, the exit may not.
  HANDLE both[] = {returning, process.hProcess};
  const DWORD first = WaitForMultipleObjects(2, both, FALSE, 60000);
  if (first != WAIT_OBJECT_0) {
    result.details.push_back(first == WAIT_OBJECT_0 + 1 ? "the child ended before it started capturing"
                                                        : "the child did not start capturing within 60 s");
  } else {
    const auto from = std::chrono::steady_clock::now();
    const DWORD exited = WaitForSingleObject(process.hProcess, kExitWaitMs);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    char line[160];
    if (exited == WAIT_OBJECT_0) {
      result.passed = code == kChildExitCode;
      std::snprintf(line, sizeof line, "the child returned from main and exited after %.2f s with code %lu (%d expected)",
                    seconds, static_cast<unsigned long>(code), kChildExitCode);
    } else {
      std::snprintf(line, sizeof line, "the child was still running %.1f s after returning from main", seconds);
    }
    result.details.push_back(line);
  }
  if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    result.details.push_back("the child was ended by the check");
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(returning);
  return result;
}

int RunExitWithoutShutdownChild(const std::wstring& eventHandle, const std::wstring& dll) {
  HANDLE returning = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wtoi64(eventHandle.c_str())));
  winhost::CoreApi core;
  if (!winhost::LoadCore(dll, &core) || core.GlobalInitialize() != 0) return 3;
  // Left open on purpose: capture runs until the process ends.
  auto* window = new winhost::TestWindow(640, 360, 30);
  if (core.StartCapture(window->handle(), false, 360, 30, 0, 10) != 0) return 4;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  SetEvent(returning);
  return kChildExitCode;
}

}  // namespace ostrel::check
