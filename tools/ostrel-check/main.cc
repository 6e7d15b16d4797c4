// ostrel-check: a self-check any Windows user can run next to core.dll. It
// records its own flashing, beeping window through the library, decodes the
// clip, runs the host checks and writes what it found as text and JSON.
// It registers nothing in the system; its clips and reports go into one
// folder.
//
//   ostrel-check [--out FOLDER] [--dll PATH] [--seconds N] [--mic NAME]
//                [--known-failures LIST] [--no-pause]
// --mic picks the microphone by name (default: the system's); LIST names
// checks (2, 7, 8) whose failure is reported without failing the run.
// Started by a double click (its own console), it waits for Enter at the end
// so the report can be read; --no-pause never waits.
// Exit code 0 when everything worked, 1 when something failed, 2 on bad
// arguments.
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "clip_analysis.h"
#include "core_api.h"
#include "flasher.h"
#include "host_checks.h"
#include "process_cpu.h"
#include "report.h"
#include "test_window.h"
#include "text.h"

using namespace ostrel;
using namespace ostrel::check;
using winhost::HostLog;
using winhost::Narrow;

namespace {

struct Options {
  std::wstring out = L"ostrel-check-output";
  std::wstring dll;
  std::wstring mic;
  int seconds = 6;
  std::wstring knownFailures;
  bool pause = true;
};

// A console of its own (a double click) closes with the program.
bool OwnsConsole() {
  DWORD processes[2];
  DWORD mode = 0;
  return GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

// The rest of the first log line starting with `prefix`, or empty.
std::string LoggedAfter(const std::wstring& prefix) {
  for (const std::wstring& line : HostLog::Lines()) {
    if (line.rfind(prefix, 0) == 0) return Narrow(line.substr(prefix.size()));
  }
  return {};
}

bool Logged(const std::wstring& prefix) { return HostLog::Count(prefix) > 0; }

// What the library's log says about one audio thread: its endpoint, or its
// first error.
std::string AudioStatus(const std::wstring& tag) {
  const std::string device = LoggedAfter(L"[" + tag + L"] device: ");
  const std::string unavailable = LoggedAfter(L"[" + tag + L"] audio capture unavailable: ");
  const std::string error = LoggedAfter(L"[" + tag + L"] capture error: ");
  if (!error.empty()) return "failed: " + error + (device.empty() ? "" : " (device: " + device + ")");
  if (!unavailable.empty()) return "unavailable: " + unavailable;
  if (!device.empty()) return "recording " + device;
  return "not started";
}

void ReadPaths(Report& report) {
  const std::string wgc = LoggedAfter(L"[CAPABILITY] Windows.Graphics.Capture unavailable ");
  report.capturePath = wgc.empty() ? "Windows.Graphics.Capture" : "GDI (Windows.Graphics.Capture unavailable " + wgc + ")";
  const std::string processor = LoggedAfter(L"[CAPABILITY] GPU video processor unavailable ");
  if (!processor.empty()) {
    report.conversionPath = "CPU (GPU video processor unavailable " + processor + ")";
  } else if (Logged(L"[CAPABILITY] Zero-copy GPU submission supported")) {
    report.conversionPath = "GPU video processor, frames stay on the GPU";
  } else {
    report.conversionPath = "GPU video processor, frames copied to the CPU for the encoder";
  }
  report.encoder = LoggedAfter(L"[CAPABILITY] FFmpeg encoder selected: ");
  if (report.encoder.empty()) report.encoder = "none";
  // Media Foundation is opened on hardware transforms only.
  const bool hardware = report.encoder == "h264_nvenc" || report.encoder == "h264_qsv" ||
                        report.encoder == "h264_amf" || report.encoder == "h264_mf";
  report.encoderKind = report.encoder == "none" ? "none" : hardware ? "hardware" : "software";
  for (const std::wstring& line : HostLog::Lines()) {
    if (line.rfind(L"[CAPABILITY]", 0) == 0) report.capabilityLines.push_back(Narrow(line));
  }
}

bool KnownFailure(const Options& options, wchar_t check) {
  return options.knownFailures.find(check) != std::wstring::npos;
}

void Judge(const Options& options, const CheckResult& check, wchar_t number, Report& report) {
  if (check.passed) return;
  if (KnownFailure(options, number)) {
    std::printf("check %lc failed; accepted by --known-failures\n", number);
    return;
  }
  report.problems.push_back(std::string("check ") + static_cast<char>(number) + " failed");
}

// Records the flashing window, saves and decodes the clip.
void Record(const winhost::CoreApi& core, const Options& options, const std::wstring& out, winhost::TestWindow& window,
            Report& report) {
  Flasher flasher(window);
  report.beepAudio = flasher.AudioError();
  std::wstring micId;
  if (!options.mic.empty()) {
    micId = winhost::EndpointId(core, true, options.mic);
    if (micId.empty()) report.problems.push_back("no microphone named " + Narrow(options.mic));
  }
  core.SetAudioSettings(1.0f, 1.0f, false, false, nullptr, micId.empty() ? nullptr : micId.c_str());

  const double cpuBefore = winhost::ProcessCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  report.startResult = core.StartCapture(window.handle(), false, 720, 30, 0, options.seconds + 4);
  if (report.startResult != 0) {
    report.problems.push_back("Ostrel_StartCapture returned " + std::to_string(report.startResult));
    return;
  }
  flasher.Start(1000);
  std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
  report.sustainableFps = core.GetMeasuredSustainableFps();
  wchar_t path[MAX_PATH] = L"";
  report.saveResult = core.SaveClipNow(out.c_str(), path, MAX_PATH);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  report.cpuSecondsPerSecond = (winhost::ProcessCpuSeconds() - cpuBefore) / wall;
  flasher.Stop();
  report.flashesShown = flasher.Flashes();
  ReadPaths(report);
  report.desktopAudio = AudioStatus(L"desktop-audio");
  report.microphone = AudioStatus(L"mic-audio");
  core.StopCapture();
  if (report.saveResult != 0) {
    report.problems.push_back("Ostrel_SaveClipNow returned " + std::to_string(report.saveResult));
    return;
  }
  report.clipPath = Narrow(path);
  report.clip = AnalyseClip(report.clipPath, 0.3f);
  report.avOffsets = AvOffsets(report.clip);
  if (!report.clip.opened) report.problems.push_back("the clip could not be decoded: " + report.clip.error);
  else if (report.clip.videoFrames == 0) report.problems.push_back("the clip has no frames");
  else if (report.clip.flashes.empty()) report.problems.push_back("no flash is seen in the clip");
}

bool WriteFile(const std::wstring& path, const std::string& text) {
  std::ofstream file(std::filesystem::path(path), std::ios::binary);
  file << text;
  return static_cast<bool>(file);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 2;
  std::vector<std::wstring> args(argv + 1, argv + argc);
  LocalFree(argv);
  if (args.size() == 3 && args[0] == L"--exit-without-shutdown") return RunExitWithoutShutdownChild(args[1], args[2]);
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& key = args[i];
    if (key == L"--no-pause") {
      options.pause = false;
      continue;
    }
    const std::wstring value = i + 1 < args.size() ? args[++i] : L"";
    if (key == L"--out") options.out = value;
    else if (key == L"--dll") options.dll = value;
    else if (key == L"--mic") options.mic = value;
    else if (key == L"--seconds") options.seconds = std::max(3, _wtoi(value.c_str()));
    else if (key == L"--known-failures") options.knownFailures = value;
    else {
      std::printf("usage: ostrel-check [--out FOLDER] [--dll PATH] [--seconds N] [--mic NAME] [--known-failures LIST]"
                  " [--no-pause]\n");
      return 2;
    }
  }
  if (options.dll.empty()) options.dll = ExeFolder() + L"core.dll";
  options.dll = FullPath(options.dll);
  const std::wstring out = FullPath(options.out);
  CreateDirectoryW(out.c_str(), nullptr);

  Report report;
  report.system = ReadSystemInfo();
  std::printf("Ostrel self-check on %s; the library is %s\n", report.system.os.c_str(), Narrow(options.dll).c_str());
  winhost::CoreApi core;
  if (!winhost::LoadCore(options.dll, &core)) {
    report.problems.push_back("core.dll could not be loaded (" + Narrow(options.dll) + ")");
  } else {
    core.SetLogCallback(&HostLog::Callback);
    report.libraryVersion = core.GetAppVersion();
    // Before anything initialises COM in this process.
    std::printf("check 7: exports from a thread without COM...\n");
    report.freshThread = CheckFreshThreadExports(core);
    Judge(options, report.freshThread, L'7', report);
    if (core.GlobalInitialize() != 0) {
      report.problems.push_back("Ostrel_GlobalInitialize failed");
    } else {
      winhost::TestWindow window(1280, 720, 30);
      std::printf("recording the flashing window for %d s...\n", options.seconds);
      Record(core, options, out, window, report);
      std::printf("check 2: COM apartments of host threads...\n");
      report.apartments = CheckApartments(core, window.handle(), out);
      Judge(options, report.apartments, L'2', report);
    }
    core.GlobalShutdown();
    core.SetLogCallback(nullptr);
    std::printf("check 8: a host that exits without Ostrel_GlobalShutdown...\n");
    report.exitWithoutShutdown = CheckExitWithoutShutdown(options.dll);
    Judge(options, report.exitWithoutShutdown, L'8', report);
  }

  const std::string text = ReportText(report);
  std::printf("\n%s", text.c_str());
  const bool written = WriteFile(out + L"\\ostrel-check-report.txt", text) &&
                       WriteFile(out + L"\\ostrel-check-report.json", ReportJson(report));
  std::printf("%s %s\\ostrel-check-report.txt and .json\n", written ? "written:" : "COULD NOT WRITE",
              Narrow(out).c_str());
  if (options.pause && OwnsConsole()) {
    std::printf("Press Enter to close this window.\n");
    std::getchar();
  }
  return report.problems.empty() && written ? 0 : 1;
}
