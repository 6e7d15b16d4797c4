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
};
bool ParseRecordingOption(const std::wstring& key, const std::wstring& value, RecordingOptions* options);
int RunRecording(const std::wstring& dll, const RecordingOptions& options);

// The exit run (exit_checks.cc): returns kExitCode from main while capturing,
// after printing kReturningLine; 1 when the capture did not start.
inline constexpr char kReturningLine[] = "exit-while-capturing: returning from main";
inline constexpr int kExitCode = 37;
int RunExitWhileCapturing(const std::wstring& dll);

void RunExportChecks(const CoreApi& core);
void RunUpdateChecks(const CoreApi& core);
void RunAudioChecks(const CoreApi& core, const AudioExpectation& expected);

}  // namespace ostrel::winhost
