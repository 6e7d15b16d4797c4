// A host that ends while capturing, without Ostrel_GlobalShutdown: it starts
// a recording of a live window, waits until frames are being captured,
// prints kReturningLine and returns kExitCode from main with the window, its
// thread and every library thread still running. run-wine-tests.sh checks
// that the process then ends within 5 s with that code; a library that
// stopped its session at process detach would wait there for threads the
// system has already ended.
#include <windows.h>

#include <cstdio>
#include <thread>

#include "check.h"
#include "checks.h"
#include "fake_mft.h"
#include "test_window.h"

namespace ostrel::winhost {

int RunExitWhileCapturing(const std::wstring& dll) {
  // The hardware check must pass before the library looks; the prefix is
  // thrown away afterwards, so the registration is never undone.
  if (!CHECK(RegisterFakeHardwareEncoder())) return Finish();
  CoreApi core;
  if (!CHECK(LoadCore(dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);  // the log thread is running too
  if (!CHECK_EQ(core.GlobalInitialize(), 0)) return Finish();
  // No audio streams: Wine's PulseAudio driver was seen to fail an
  // assertion of libpulse when a process ends with a stream open (its own
  // Unix-side teardown, whatever the program); the capture, encoder,
  // watchdog and log threads are what this is about.
  core.SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  // Never destroyed: its window and message thread live until the process ends.
  auto* window = new TestWindow(640, 360, 60);
  if (!CHECK_EQ(core.StartCapture(window->handle(), false, 360, 30, 2000000, 30), 0)) {
    HostLog::Dump();
    return Finish();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  CHECK(core.IsCapturing());
  CHECK(HostLog::Count(L"Capture started.") == 1);
  if (Finish() != 0) {
    HostLog::Dump();
    return 1;
  }
  std::printf("%s\n", kReturningLine);
  std::fflush(stdout);
  return kExitCode;
}

}  // namespace ostrel::winhost
