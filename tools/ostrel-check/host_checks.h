// The checks of how the library treats its host: COM apartments of the
// host's threads (2), exports from a thread that never initialised COM (7),
// a host that returns from main while capturing (8).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core_api.h"

namespace ostrel::check {

struct CheckResult {
  bool ran = false;
  bool passed = false;
  std::vector<std::string> details;  // one line each
};

// Start/Save/Stop from a thread in a single-threaded and one in a
// multithreaded apartment; CoGetApartmentType on each is the same after.
CheckResult CheckApartments(const winhost::CoreApi& core, HWND window, const std::wstring& outputFolder);

// Ostrel_EnumerateAudioDevices and Ostrel_HasHardwareEncoder from a fresh
// thread without COM give what they give on a thread in the MTA.
CheckResult CheckFreshThreadExports(const winhost::CoreApi& core);

// Runs this program as a child that starts capture and returns 42 from
// main without Ostrel_GlobalShutdown; it must end within 5 s with 42.
CheckResult CheckExitWithoutShutdown(const std::wstring& dll);
// The child's side (command line: --exit-without-shutdown EVENT DLL).
int RunExitWithoutShutdownChild(const std::wstring& eventHandle, const std::wstring& dll);

}  // namespace ostrel::check
