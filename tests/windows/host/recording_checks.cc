// The recording run: placeholder until the capture fallbacks land.
#include <cstdio>

#include "check.h"
#include "checks.h"

namespace ostrel::winhost {

bool ParseRecordingOption(const std::wstring& key, const std::wstring& value, RecordingOptions* options) {
  if (key == L"--out") options->outputFolder = value;
  else if (key == L"--unwritable") options->unwritableFolder = value;
  else if (key == L"--mic") options->microphone = value;
  else if (key == L"--click-sink") options->clickSink = value;
  else if (key == L"--seconds") options->seconds = _wtoi(value.c_str());
  else return false;
  return true;
}

int RunRecording(const std::wstring&, const RecordingOptions&) { return Finish(); }

}  // namespace ostrel::winhost
