// The self-check's findings, printed as text and written as JSON.
#pragma once

#include <string>
#include <vector>

#include "clip_analysis.h"
#include "host_checks.h"
#include "system_info.h"

namespace ostrel::check {

struct Report {
  std::string libraryVersion;
  SystemInfo system;
  std::string capturePath;     // from the library's log
  std::string conversionPath;
  std::string encoder;
  std::string encoderKind;     // "hardware", "software"
  std::string desktopAudio;    // the endpoint, or why not
  std::string microphone;
  std::string beepAudio;       // empty when the beep plays
  int startResult = -1, saveResult = -1;
  std::string clipPath;
  double sustainableFps = 0;
  double cpuSecondsPerSecond = 0;
  int flashesShown = 0;
  ClipAnalysis clip;
  std::vector<double> avOffsets;  // seconds, video minus audio
  CheckResult apartments, freshThread, exitWithoutShutdown;
  std::vector<std::string> capabilityLines;  // every [CAPABILITY] line as logged
  std::vector<std::string> problems;         // what made the run fail
};

std::string ReportText(const Report& report);
std::string ReportJson(const Report& report);

}  // namespace ostrel::check
