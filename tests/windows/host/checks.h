// The groups of checks the host runs, one file each.
#pragma once

#include <string>
#include <vector>

#include "core_api.h"

namespace ostrel::winhost {

struct AudioExpectation {
  std::vector<std::wstring> render;   // endpoint names
  std::vector<std::wstring> capture;
  std::wstring defaultRender;
  std::wstring defaultCapture;
};

// The recording run (see recording_checks.cc for what it does).
struct RecordingOptions {
  std::wstring outputFolder;   // where the clips go
  std::wstring microphone;     // capture endpoint name to record from
  int seconds = 12;
  int fps = 30;
  int maxHeight = 720;
  std::wstring transformDll;   // the test transform's DLL (record-transform)
};
bool ParseRecordingOption(const std::wstring& key, const std::wstring& value, RecordingOptions* options);
int RunRecording(const std::wstring& dll, const RecordingOptions& options);
// The recording through h264_mf on the asynchronous test transform.
int RunRecordingThroughTransform(const std::wstring& dll, const RecordingOptions& options);
// A window above the encoders' limits recorded, on a screen of its size.
int RunHugeWindowRecording(const std::wstring& dll, const RecordingOptions& options);

// The exit run (exit_checks.cc): returns kExitCode from main while capturing,
// after printing kReturningLine; 1 when the capture did not start.
inline constexpr char kReturningLine[] = "exit-while-capturing: returning from main";
inline constexpr int kExitCode = 37;
int RunExitWhileCapturing(const std::wstring& dll);

void RunExportChecks(const CoreApi& core);
void RunUpdateChecks(const CoreApi& core);
void RunAudioChecks(const CoreApi& core, const AudioExpectation& expected);
// Before the library is initialised: device list and hardware check from a
// thread that never initialised COM.
void RunFreshThreadChecks(const CoreApi& core, const AudioExpectation& expected);
// Initialised: a recording started, saved and stopped from a host thread in
// each kind of apartment selects `encoder` and leaves the thread's apartment
// as it was.
void RunHostApartmentChecks(const CoreApi& core, const std::wstring& folder, const std::wstring& encoder);
// The run with Media Foundation disabled for this process (Windows N): the
// library loads, lists endpoints, verifies an update and records.
int RunWithoutMediaFoundation(const std::wstring& dll, const AudioExpectation& audio,
                              const RecordingOptions& options);

}  // namespace ostrel::winhost
