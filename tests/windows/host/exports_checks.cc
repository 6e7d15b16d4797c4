// The export contract in every state, as the Linux export tests check it on
// the fake world, here through the real Windows backend under Wine. (That
// the DLL exports exactly what ostrel.h declares is check-dll-tables.sh's.)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "check.h"
#include "checks.h"
#include "core_api.h"
#include "fake_mft.h"
#include "test_window.h"

namespace ostrel::winhost {
namespace {

std::wstring TempFolder(const wchar_t* name) {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring folder = std::wstring(base) + name;
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void CheckBeforeInitialisation(const CoreApi& core, HWND window) {
  Group("before initialisation");
  CHECK_EQ(core.StartCapture(window, false, 0, 0, 0, 0), 6);
  CHECK_EQ(core.StartCapture(nullptr, false, 0, 0, 0, 0), 6);
  CHECK_EQ(core.SaveClipNow(L"C:\\", nullptr, 0), 6);
  CHECK_EQ(core.SaveClipNow(nullptr, nullptr, 0), 6);
  CHECK(!core.IsCapturing());
  CHECK(core.GetMeasuredSustainableFps() == 0.0);
  int stage = 7, done = 7, total = 7;
  CHECK(!core.GetSaveProgress(&stage, &done, &total));
  CHECK(stage == 0 && done == 0 && total == 0);
  CHECK(!core.GetSaveProgress(nullptr, nullptr, nullptr));
  core.SetAudioSettings(2.0f, 2.0f, true, true, nullptr, nullptr);  // ignored: no session
  core.SetCaptureBorderEnabled(false);
  core.StopCapture();
  core.GlobalShutdown();  // shutting down what never started is harmless
  CHECK(std::strcmp(core.GetAppVersion(), "0.1.1") == 0);
  CHECK(core.GetAppVersion() == core.GetAppVersion());  // one static text
  CHECK_MSG(HostLog::Lines().empty(), "nothing logs before initialisation");
}

void CheckInitialisedWithoutHardwareEncoder(const CoreApi& core, HWND window) {
  Group("initialised, no hardware encoder listed");
  CHECK_EQ(core.GlobalInitialize(), 0);
  CHECK_EQ(core.GlobalInitialize(), 0);  // already initialised
  // Wine lists no H.264 encoder transform of its own.
  CHECK(!core.HasHardwareEncoder());
  CHECK_EQ(core.StartCapture(nullptr, false, 0, 0, 0, 0), 3);  // the null target is answered first
  CHECK_EQ(core.StartCapture(window, false, 0, 0, 0, 0), 7);
  CHECK_EQ(core.StartCapture(window, true, 720, 30, 0, 0), 7);
  CHECK(!core.IsCapturing());
  CHECK_EQ(core.SaveClipNow(nullptr, nullptr, 0), 6);
  const std::wstring folder = TempFolder(L"ostrel-not-capturing");
  wchar_t path[8] = L"unset";
  CHECK_EQ(core.SaveClipNow(folder.c_str(), path, 8), 2);
  CHECK(std::wstring(path) == L"unset");
  CHECK(core.GetMeasuredSustainableFps() == 0.0);
  core.StopCapture();
  CHECK(HostLog::Count(L"Capture stopped.") == 0);
}

void CheckWithHardwareEncoderListed(const CoreApi& core) {
  Group("hardware encoder listed through the registry");
  if (!CHECK(RegisterFakeHardwareEncoder())) return;
  CHECK(core.HasHardwareEncoder());  // enumerates anew on every call

  HostLog::Clear();
  HWND gone = nullptr;
  {
    TestWindow window(320, 240, 0);
    gone = window.handle();
  }
  CHECK(gone != nullptr && !IsWindow(gone));
  CHECK_EQ(core.StartCapture(gone, false, 0, 0, 0, 0), 4);
  CHECK_EQ(HostLog::Count(L"Start() failed: invalid target window."), size_t{1});  // the reason, once
  CHECK(!core.IsCapturing());

  // A null callback drops lines; the export still answers.
  core.SetLogCallback(nullptr);
  HostLog::Clear();
  CHECK_EQ(core.StartCapture(gone, false, 0, 0, 0, 0), 4);
  CHECK(HostLog::Lines().empty());
  core.SetLogCallback(&HostLog::Callback);
  CHECK_EQ(core.StartCapture(gone, false, 0, 0, 0, 0), 4);
  CHECK_EQ(HostLog::Count(L"Start() failed: invalid target window."), size_t{1});

  UnregisterFakeHardwareEncoder();
  CHECK(!core.HasHardwareEncoder());
}

void CheckShutdownAndRestart(const CoreApi& core, HWND window) {
  Group("shutdown and initialise again");
  core.GlobalShutdown();
  core.GlobalShutdown();
  CHECK_EQ(core.StartCapture(window, false, 0, 0, 0, 0), 6);
  CHECK_EQ(core.SaveClipNow(L"C:\\", nullptr, 0), 6);
  CHECK(!core.IsCapturing());
  CHECK_EQ(core.GlobalInitialize(), 0);
  CHECK_EQ(core.StartCapture(nullptr, false, 0, 0, 0, 0), 3);
  core.GlobalShutdown();
}

}  // namespace

void RunExportChecks(const CoreApi& core) {
  TestWindow window(640, 480, 0);  // still: painted only when Windows asks
  CHECK(window.handle() != nullptr);
  CheckBeforeInitialisation(core, window.handle());
  CheckInitialisedWithoutHardwareEncoder(core, window.handle());
  CheckWithHardwareEncoderListed(core);
  CheckShutdownAndRestart(core, window.handle());
}

}  // namespace ostrel::winhost
