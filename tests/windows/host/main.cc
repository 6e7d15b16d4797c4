// The Windows test host: loads core.dll with LoadLibraryW and checks it
// under Wine. Usage:
//   ostrel_wine_host exports --dll PATH
//       [--render NAME]... [--capture NAME]... --default-render NAME --default-capture NAME
//   ostrel_wine_host record --dll PATH --out FOLDER --mic NAME ...   (see recording_checks.cc)
//   ostrel_wine_host record-transform --dll PATH --transform DLL --out FOLDER --mic NAME
//   ostrel_wine_host no-media-foundation --dll PATH (the options of both)  (Media Foundation disabled)
//   ostrel_wine_host register-hardware-encoder
//       lists the test's hardware H.264 transform in the prefix and leaves
//       it there (for a program that must not register anything itself)
//   ostrel_wine_host exit-while-capturing --dll PATH                 (see exit_checks.cc)
// Prints one line per failed check and ends with "N passed, N failed".
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "check.h"
#include "checks.h"
#include "core_api.h"
#include "fake_mft.h"

using namespace ostrel::winhost;

namespace {

struct Arguments {
  std::wstring mode;
  std::wstring dll;
  AudioExpectation audio;
  RecordingOptions recording;
};

bool Parse(int argc, wchar_t** argv, Arguments* args) {
  if (argc < 2) return false;
  args->mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::wstring key = argv[i];
    const std::wstring value = argv[i + 1];
    if (key == L"--dll") args->dll = value;
    else if (key == L"--render") args->audio.render.push_back(value);
    else if (key == L"--capture") args->audio.capture.push_back(value);
    else if (key == L"--default-render") args->audio.defaultRender = value;
    else if (key == L"--default-capture") args->audio.defaultCapture = value;
    else if (!ParseRecordingOption(key, value, &args->recording)) {
      std::printf("unknown option %s\n", Narrow(key).c_str());
      return false;
    }
  }
  return !args->dll.empty();
}

}  // namespace

int main() {
  // Lines reach the test log as they happen, even if the process dies.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc == 2 && std::wstring(argv[1]) == L"register-hardware-encoder") {
    LocalFree(argv);
    return RegisterFakeHardwareEncoder() ? 0 : 1;
  }
  Arguments args;
  if (argv == nullptr || !Parse(argc, argv, &args)) {
    std::printf("usage: ostrel_wine_host exports|record --dll PATH [options]\n");
    return 2;
  }
  LocalFree(argv);

  if (args.mode == L"record") {
    // The hardware transform must be listed before the library looks.
    return RunRecording(args.dll, args.recording);
  }
  if (args.mode == L"record-transform") return RunRecordingThroughTransform(args.dll, args.recording);
  if (args.mode == L"record-huge") return RunHugeWindowRecording(args.dll, args.recording);
  if (args.mode == L"no-media-foundation") return RunWithoutMediaFoundation(args.dll, args.audio, args.recording);
  if (args.mode == L"exit-while-capturing") return RunExitWhileCapturing(args.dll);

  CoreApi core;
  if (!CHECK(LoadCore(args.dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);
  if (args.mode == L"exports") {
    RunFreshThreadChecks(core, args.audio);
    RunExportChecks(core);
    RunUpdateChecks(core);
    RunAudioChecks(core, args.audio);
  } else {
    std::printf("unknown mode %s\n", Narrow(args.mode).c_str());
    return 2;
  }
  core.GlobalShutdown();
  core.SetLogCallback(nullptr);
  const int rc = Finish();
  if (rc != 0) HostLog::Dump();
  return rc;
}
