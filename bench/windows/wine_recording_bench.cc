// core.dll recording on its real Windows backend under Wine: a painted
// 1920x1080 window captured at 720p60 (GDI capture, conversion on the CPU,
// OpenH264 linked into the DLL, WASAPI), 6 Mbit/s, 30 s replay, the
// microphone (Wine cannot loop back a render endpoint, so there is no
// desktop audio), a save every 5 s. Every 10 s, with no save in progress:
// the sustainable frame rate, process CPU per second (Wine's GDI and X11
// work and the window's painting included) and resident memory. The process
// is read before core.dll is loaded and once it is initialized; at the end,
// what recording added beyond the rings' bytes is split into mapped files
// (Wine's software GPU apart: Mesa's llvmpipe and LLVM run inside the
// process, where on Windows the GPU and its driver would be) and anonymous
// memory (heaps, stacks, and llvmpipe's textures among them). Under Wine
// the process is one Linux process, read through Z:\proc.
//
// usage: wine_recording_bench --dll PATH --out FOLDER --mic NAME [--seconds 40]
//        [--width 1920] [--height 1080]
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "core_api.h"
#include "fake_mft.h"
#include "process_cpu.h"
#include "session_log.h"
#include "test_window.h"

namespace {

using namespace ostrel::winhost;

bench::SessionLog g_log;

void OnLogLine(const wchar_t* line) {
  g_log.Read(line);
  HostLog::Callback(line);  // kept for a failure's report
}

// A file of the Linux side, read whole through Wine's Z: drive.
std::string ReadLinuxFile(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// Files are opened by wineserver, so Z:\proc\self would be the server: the
// bench finds its own Linux process by the command line, which names this
// program and the run's own clip folder.
std::wstring FindOwnProcFolder(const std::wstring& outFolder) {
  const std::string wanted = Narrow(outFolder);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::wstring found;
  do {
    const std::wstring name = entry.cFileName;
    if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    const std::wstring folder = L"Z:\\proc\\" + name + L"\\";
    std::string commandLine = ReadLinuxFile((folder + L"cmdline").c_str());
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    if (commandLine.find("wine_recording_bench.exe") != std::string::npos &&
        commandLine.find(wanted) != std::string::npos) {
      found = folder;
      break;
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return found;
}

std::wstring g_procFolder;  // this process under Z:\proc, with a closing backslash

struct MemoryReading {
  double resident = 0;   // MB, the whole process
  double anonymous = 0;  // heaps, stacks, images Wine copied in
  double files = 0;      // mapped files: Wine's modules and system libraries
  std::map<std::string, double> byFile;  // resident MB per mapped file name
};

MemoryReading ReadMemory() {
  MemoryReading reading;
  std::istringstream status(ReadLinuxFile((g_procFolder + L"status").c_str()));
  std::string line;
  while (std::getline(status, line)) {
    const double mb = std::atof(line.c_str() + line.find(':') + 1) / 1024.0;
    if (line.rfind("VmRSS:", 0) == 0) reading.resident = mb;
    if (line.rfind("RssAnon:", 0) == 0) reading.anonymous = mb;
    if (line.rfind("RssFile:", 0) == 0) reading.files += mb;
    if (line.rfind("RssShmem:", 0) == 0) reading.files += mb;
  }
  std::istringstream smaps(ReadLinuxFile((g_procFolder + L"smaps").c_str()));
  std::string file;
  while (std::getline(smaps, line)) {
    const size_t dash = line.find('-');
    if (dash != std::string::npos && dash < 17 && std::isxdigit(static_cast<unsigned char>(line[0]))) {
      const size_t slash = line.find('/');
      file = slash == std::string::npos ? std::string() : line.substr(line.rfind('/') + 1);
    } else if (!file.empty() && line.rfind("Rss:", 0) == 0) {
      reading.byFile[file] += std::atof(line.c_str() + 4) / 1024.0;
    }
  }
  return reading;
}

// Wine's Direct3D over Mesa's software OpenGL: on Windows, the GPU driver's.
bool SoftwareGpuFile(const std::string& name) {
  for (const char* part : {"LLVM", "dri", "wined3d", "opengl", "libGL", "gallium", "libz3", "libdrm", "glapi",
                           "libvulkan", "d3d11", "dxgi"}) {
    if (name.find(part) != std::string::npos) return true;
  }
  return false;
}

double Rings() { return static_cast<double>(g_log.RingVideoMb() + g_log.RingAudioMb()); }

struct Options {
  std::wstring dll, out, mic;
  int seconds = 40;
  int width = 1920;
  int height = 1080;
};

bool Parse(Options* options) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return false;
  bool ok = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring key = argv[i], value = argv[i + 1];
    if (key == L"--dll") options->dll = value;
    else if (key == L"--out") options->out = value;
    else if (key == L"--mic") options->mic = value;
    else if (key == L"--seconds") options->seconds = _wtoi(value.c_str());
    else if (key == L"--width") options->width = _wtoi(value.c_str());
    else if (key == L"--height") options->height = _wtoi(value.c_str());
    else ok = false;
  }
  LocalFree(argv);
  return ok && !options->dll.empty() && !options->out.empty() && !options->mic.empty() && options->seconds > 0;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!Parse(&options)) {
    std::printf("usage: wine_recording_bench --dll PATH --out FOLDER --mic NAME [--seconds 40] [--width W --height H]\n");
    return 2;
  }
  g_procFolder = FindOwnProcFolder(options.out);
  if (g_procFolder.empty()) {
    std::printf("this process was not found under Z:\\proc\n");
    return 1;
  }
  // The library checks for a hardware encoder before it records.
  if (!RegisterFakeHardwareEncoder()) return 1;
  TestWindow window(options.width, options.height, 60);
  if (window.handle() == nullptr) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const MemoryReading host = ReadMemory();

  CoreApi core;
  if (!LoadCore(options.dll, &core)) return 1;
  core.SetLogCallback(&OnLogLine);
  if (core.GlobalInitialize() != 0) return 1;
  const std::wstring micId = EndpointId(core, true, options.mic);
  if (micId.empty()) {
    std::printf("no capture endpoint named %s\n", Narrow(options.mic).c_str());
    core.GlobalShutdown();
    return 1;
  }
  core.SetAudioSettings(0.6f, 0.6f, true, false, nullptr, micId.c_str());
  const MemoryReading loaded = ReadMemory();

  if (const int result = core.StartCapture(window.handle(), false, 720, 60, 6000000, 30); result != 0) {
    std::printf("capture did not start: %d\n", result);
    HostLog::Dump();
    core.GlobalShutdown();
    return 1;
  }
  std::printf("recording a %dx%d window -> 720p60, 6 Mbit/s, 30 s replay, microphone only, a save every 5 s, %d s\n",
              options.width, options.height, options.seconds);
  std::printf("%6s %7s %7s %10s %10s %10s %12s\n", "t (s)", "fps", "CPU/s", "resident", "rings", "added",
              "added-rings");
  const auto start = std::chrono::steady_clock::now();
  double cpuAtReading = ProcessCpuSeconds();
  auto timeAtReading = start;
  int saves = 0, failed = 0;
  double worstAdded = 0;
  MemoryReading last = loaded;
  for (int tick = 1; tick * 5 <= options.seconds; ++tick) {
    std::this_thread::sleep_until(start + std::chrono::seconds(5 * tick));
    wchar_t path[MAX_PATH] = L"";
    if (core.SaveClipNow(options.out.c_str(), path, MAX_PATH) == 0) {
      ++saves;
      DeleteFileW(path);
    } else {
      ++failed;
    }
    if (tick % 2 != 0) continue;
    // Past the save and the heap release merged behind it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    last = ReadMemory();
    const double added = last.resident - host.resident;
    const double beyond = added - Rings();
    if (tick * 5 >= 30) worstAdded = std::max(worstAdded, beyond);
    const double cpu = ProcessCpuSeconds();
    const auto now = std::chrono::steady_clock::now();
    const double cpuPerSecond = (cpu - cpuAtReading) / std::chrono::duration<double>(now - timeAtReading).count();
    cpuAtReading = cpu;
    timeAtReading = now;
    std::printf("%6d %7.2f %7.2f %7.1f MB %7.1f MB %7.1f MB %9.1f MB\n", tick * 5, core.GetMeasuredSustainableFps(),
                cpuPerSecond, last.resident, Rings(), added, beyond);
  }
  core.StopCapture();
  core.GlobalShutdown();
  core.SetLogCallback(nullptr);
  UnregisterFakeHardwareEncoder();

  std::printf("saves: %d done, %d failed\n", saves, failed);
  std::printf("resident memory of the process (MB):   %8s %8s %8s\n", "all", "anon", "files");
  auto row = [](const char* what, const MemoryReading& reading) {
    std::printf("  %-36s %8.1f %8.1f %8.1f\n", what, reading.resident, reading.anonymous, reading.files);
  };
  row("host before core.dll was loaded", host);
  row("core.dll loaded and initialized", loaded);
  row("recording (last reading)", last);
  std::printf("  %-36s %8.1f\n", "rings (video + audio)", Rings());
  double gpuFiles = 0, otherFiles = 0;
  std::vector<std::pair<double, std::string>> grown;
  for (const auto& [file, mb] : last.byFile) {
    const auto before = host.byFile.find(file);
    const double growth = mb - (before == host.byFile.end() ? 0.0 : before->second);
    (SoftwareGpuFile(file) ? gpuFiles : otherFiles) += growth;
    if (growth >= 0.1) grown.emplace_back(growth, file);
  }
  std::printf("  %-36s %8.1f\n", "added beyond the rings", last.resident - host.resident - Rings());
  std::printf("    %-34s %8.1f\n", "Wine's software GPU: mapped files", gpuFiles);
  std::printf("    %-34s %8.1f\n", "other mapped files", otherFiles);
  std::printf("    %-34s %8.1f     (llvmpipe's textures and contexts among it)\n", "anonymous beyond the rings",
              last.anonymous - host.anonymous - Rings());
  std::printf("  %-36s %8.1f     (readings from 30 s on)\n", "highest added beyond the rings", worstAdded);
  std::sort(grown.rbegin(), grown.rend());
  std::printf("mapped files that grew most since before the load (MB):\n");
  for (size_t i = 0; i < grown.size() && i < 12; ++i) {
    std::printf("  %6.1f  %s\n", grown[i].first, grown[i].second.c_str());
  }
  return failed == 0 ? 0 : 1;
}
