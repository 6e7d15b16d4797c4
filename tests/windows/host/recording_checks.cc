// The recording run: a painted Win32 window and the tone the test script
// plays into a null sink go through the real Windows backend (GDI capture,
// conversion on the CPU, OpenH264, WASAPI capture of the sink's monitor)
// into a clip that the Linux side then checks. Before the library is loaded,
// a hardware H.264 transform is registered in the prefix so its hardware
// check passes. Then a monitor's recording, and the failure paths Wine can
// reach: an unwritable folder, a minimised window, a window destroyed while
// recording, a microphone that is gone.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "check.h"
#include "checks.h"
#include "core_api.h"
#include "fake_mft.h"
#include "process_cpu.h"
#include "test_h264_transform.h"
#include "test_window.h"

namespace ostrel::winhost {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `encoder`: the FFmpeg encoder the capture must select; `transform`: the
// Media Foundation transform it must name (none when empty).
void RecordClip(const CoreApi& core, const RecordingOptions& options, const std::wstring& micId,
                const std::wstring& encoder = L"libopenh264", const std::wstring& transform = {}) {
  Group("recording a painted window and a tone into a clip");
  TestWindow window(1280, 720, 60);
  CHECK(window.handle() != nullptr);
  // Wine cannot loop back a render endpoint, so desktop audio is muted; the
  // tone reaches the clip through the sink's monitor as the microphone.
  core.SetAudioSettings(1.0f, 1.0f, true, false, nullptr, micId.c_str());
  HostLog::Clear();

  const double cpuBefore = ProcessCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  if (!CHECK_EQ(core.StartCapture(window.handle(), false, options.maxHeight, options.fps, 6000000, 60), 0)) return;
  CHECK(core.IsCapturing());
  CHECK(HostLog::WaitFor(L"Capture started.", seconds(5)));
  CHECK(HostLog::Count(L"[CAPABILITY] Windows.Graphics.Capture unavailable (0x") == 1);
  CHECK(HostLog::Count(L"[CAPABILITY] GPU video processor unavailable (0x") == 1);
  CHECK_MSG(HostLog::Count(L"[CAPABILITY] FFmpeg encoder selected: " + encoder) == 1, Narrow(encoder));
  if (!transform.empty()) {
    CHECK_MSG(HostLog::Count(L"[CAPABILITY] Media Foundation hardware transform: " + transform) == 1,
              Narrow(transform));
  }
  CHECK(HostLog::WaitFor(L"[mic-audio] device: " + options.microphone, seconds(5)));
  CHECK_EQ(core.StartCapture(window.handle(), false, 0, 0, 0, 0), 1);

  std::this_thread::sleep_for(seconds(options.seconds));
  const double fps = core.GetMeasuredSustainableFps();
  std::printf("measured sustainable fps: %.2f\n", fps);
  // Wine's GDI and the CPU conversion share two cores with everything else
  // here: the figure is reported, the check only catches a stalled pipeline.
  CHECK_MSG(fps >= options.fps * 0.5, "the encoder keeps up");

  wchar_t path[MAX_PATH] = L"";
  CHECK_EQ(core.SaveClipNow(options.outputFolder.c_str(), path, MAX_PATH), 0);
  const std::wstring clip = path;
  CHECK_MSG(clip.rfind(options.outputFolder, 0) == 0 && FileExists(clip), Narrow(clip));
  std::printf("clip: %s\n", Narrow(clip).c_str());
  int stage = 9;
  CHECK(!core.GetSaveProgress(&stage, nullptr, nullptr) && stage == 0);

  Group("a clip with separate audio tracks, a marker and time after the request");
  // Into a folder of its own: the Linux side checks its three tracks (the
  // tone in the mix and the microphone's, silence in the desktop's) and the
  // chapter.
  CHECK_EQ(core.AddMarker(L"wine marker"), 0);
  const OstrelClipRequest request{sizeof(OstrelClipRequest), 4, 1, OSTREL_CLIP_SEPARATE_AUDIO_TRACKS};
  const std::wstring tracksFolder = options.outputFolder + L"\\tracks";
  wchar_t tracksPath[MAX_PATH] = L"";
  CHECK_EQ(core.SaveClip(&request, tracksFolder.c_str(), tracksPath, MAX_PATH), 0);
  CHECK_MSG(FileExists(tracksPath), Narrow(tracksPath));
  CHECK_EQ(core.SaveClip(nullptr, tracksFolder.c_str(), nullptr, 0), 9);

  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  std::printf("process CPU per recorded second (window painting included): %.3f s\n", cpu / wall);

  Group("a folder that cannot be created");
  HostLog::Clear();
  // A file stands where the folder's parent would be.
  CHECK_EQ(core.SaveClipNow(L"C:\\windows\\win.ini\\clips", path, MAX_PATH), 5);
  CHECK(HostLog::Count(L"SaveClipNow() failed: ") == 1);
  CHECK(core.IsCapturing());  // capture goes on

  Group("folders named in other scripts");
  // Accents, Cyrillic, Japanese and an emoji (a surrogate pair), nested.
  for (const wchar_t* name :
       {L"\\Vid\u00e9os", L"\\Vid\u00e9os\\\u30d3\u30c7\u30aa \U0001F3AC \u0412\u0438\u0434\u0435\u043e"}) {
    const std::wstring folder = options.outputFolder + name;
    wchar_t written[MAX_PATH] = L"";
    CHECK_EQ(core.SaveClipNow(folder.c_str(), written, MAX_PATH), 0);
    const std::wstring saved = written;
    CHECK_MSG(saved.rfind(folder + L"\\clip_", 0) == 0 && FileExists(saved), Narrow(saved));
  }

  core.StopCapture();
  CHECK(HostLog::Count(L"Capture stopped.") == 1);
  CHECK(!core.IsCapturing());
  // Every frame reached its segment. Saves in quick succession may cut a
  // segment shorter than a frame, which is skipped as empty: that loses
  // nothing, so it is not counted here.
  CHECK(HostLog::Count(L"Encoder thread error") == 0);
  CHECK(HostLog::Count(L"Finalize thread error") == 0);
}

// The spill files in `folder` by name (they keep one while open).
size_t SpillFileCount(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"\\ostrel-spill-*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  size_t count = 0;
  do {
    ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

// A replay longer than its 1 MB memory limit: the older part goes to
// delete-on-close files in a folder, a save reads across the boundary (the
// clip is checked with the others on the Linux side), and the files are
// gone after the stop. A file an earlier process left is removed at start.
void CheckSpillingReplay(const CoreApi& core, const RecordingOptions& options, const std::wstring& micId) {
  Group("a replay spilled to files past a 1 MB memory limit");
  HostLog::Clear();
  CHECK_EQ(core.SetReplayStorage(L"C:\\windows\\win.ini\\spill", 1), 12);
  CHECK(HostLog::Count(L"SetReplayStorage: cannot use C:\\windows\\win.ini\\spill: cannot create ") == 1);
  const std::wstring folder = options.outputFolder + L"\\spill \u00e9\u30d3";
  if (!CHECK_EQ(core.SetReplayStorage(folder.c_str(), 1), 0)) return;
  {
    HANDLE leftover = CreateFileW((folder + L"\\ostrel-spill-999999-0.tmp").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(leftover != INVALID_HANDLE_VALUE);
    if (leftover != INVALID_HANDLE_VALUE) CloseHandle(leftover);
  }
  TestWindow window(1280, 720, 60);
  core.SetAudioSettings(1.0f, 1.0f, true, false, nullptr, micId.c_str());
  if (!CHECK_EQ(core.StartCapture(window.handle(), false, 720, 30, 6000000, 60), 0)) return;
  CHECK(HostLog::WaitFor(L"Capture started.", seconds(5)));
  CHECK(HostLog::Count(L"[REPLAY-STORAGE] removed 1 spill file(s) an earlier process left in ") == 1);
  CHECK(HostLog::Count(L"[REPLAY-STORAGE] memory limit 1 MB; the older replay goes to ") == 1);
  std::this_thread::sleep_for(seconds(10));
  const size_t open = SpillFileCount(folder);
  std::printf("spill files open after 10 s: %zu\n", open);
  CHECK(open >= 1);
  CHECK(HostLog::Count(L"[REPLAY-STORAGE] spill write failed") == 0);
  CHECK(HostLog::Count(L"[REPLAY-STORAGE] spill writer behind") == 0);
  wchar_t path[MAX_PATH] = L"";
  CHECK_EQ(core.SaveClipNow(options.outputFolder.c_str(), path, MAX_PATH), 0);
  std::printf("spilled clip: %s\n", Narrow(path).c_str());
  // About the 10 s recorded (the first frame comes a moment after the
  // start): most of it from the spilled part, 1 MB being about a second.
  long savedSeconds = -1;
  for (const std::wstring& line : HostLog::Lines()) {
    if (line.rfind(L"Saved clip: ~", 0) == 0) savedSeconds = std::wcstol(line.c_str() + 13, nullptr, 10);
  }
  std::printf("spilled clip length: ~%ld s\n", savedSeconds);
  CHECK(savedSeconds >= 8 && savedSeconds <= 13);
  core.StopCapture();
  CHECK_EQ(SpillFileCount(folder), 0u);
  CHECK_EQ(core.SetReplayStorage(nullptr, 0), 0);
}

// A monitor's area, scaled to 720 lines; the clip is checked for a clean
// decode on the Linux side.
void CheckMonitor(const CoreApi& core, const RecordingOptions& options) {
  Group("a monitor recorded");
  TestWindow window(640, 480, 60);
  core.SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  HostLog::Clear();
  if (!CHECK_EQ(core.StartCapture(window.handle(), true, 720, 30, 0, 0), 0)) return;
  CHECK(HostLog::WaitFor(L"Capture started.", seconds(5)));
  std::this_thread::sleep_for(seconds(4));
  CHECK_EQ(core.SaveClipNow(options.outputFolder.c_str(), nullptr, 0), 0);
  core.StopCapture();
}

// A window above the encoders' limits, as large as the screen: encoded at
// 4096x2304, and scaled by GDI as each frame is copied, so no buffer of the
// capture or the encoder holds it at its full size. The clip, in the
// subfolder "huge", is checked on the Linux side.
void CheckHugeWindow(const CoreApi& core, const RecordingOptions& options) {
  Group("a window above the encoders' limits");
  TestWindow window(4608, 2592, 10, WS_POPUP);
  core.SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  HostLog::Clear();
  if (!CHECK_EQ(core.StartCapture(window.handle(), false, 0, 10, 6000000, 10), 0)) return;
  CHECK(HostLog::WaitFor(L"Capture started.", seconds(10)));
  CHECK(HostLog::Count(L"[CAPABILITY] 4608x2592 target encoded at 4096x2304: H.264 encoders take at most 4096 "
                       L"pixels on the long side and 4096x2304 pixels a frame; scaled down as each frame is read") ==
        1);
  std::this_thread::sleep_for(seconds(6));
  const std::wstring folder = options.outputFolder + L"\\huge";
  CreateDirectoryW(folder.c_str(), nullptr);
  CHECK_EQ(core.SaveClipNow(folder.c_str(), nullptr, 0), 0);
  core.StopCapture();
  CHECK(HostLog::Count(L"Frame copy failed") == 0);
}

void CheckMinimisedWindow(const CoreApi& core) {
  Group("a minimised window");
  TestWindow window(1280, 720, 60);
  ShowWindow(window.handle(), SW_MINIMIZE);
  std::this_thread::sleep_for(milliseconds(300));
  HostLog::Clear();
  CHECK_EQ(core.StartCapture(window.handle(), false, 720, 30, 0, 0), 4);
  CHECK(HostLog::Count(L"Start() failed: zero-size capture item (minimized target?).") == 1);
  CHECK(!core.IsCapturing());
}

void CheckWindowDestroyedWhileRecording(const CoreApi& core) {
  Group("the window destroyed while recording");
  TestWindow window(1280, 720, 60);
  core.SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  HostLog::Clear();
  if (!CHECK_EQ(core.StartCapture(window.handle(), false, 720, 30, 0, 0), 0)) return;
  CHECK(HostLog::WaitFor(L"Capture started.", seconds(5)));
  std::this_thread::sleep_for(seconds(1));
  window.Destroy();
  CHECK(HostLog::WaitFor(L"[DIAG-ITEM-CLOSED] ", seconds(5)));
  core.StopCapture();
  CHECK(!core.IsCapturing());
}

// Wine 8 keeps listing a PulseAudio source that went away and its stream
// just stops delivering, so the endpoint here is one that is gone before
// the start: the id of an endpoint no longer present.
void CheckRemovedMicrophone(const CoreApi& core, const RecordingOptions& options) {
  Group("a microphone endpoint that is no longer there");
  const std::wstring gone = L"{0.0.1.00000000}.{6f1d2c3a-0000-4e2a-9c1d-0a7e5b3c2f10}";
  TestWindow window(1280, 720, 60);
  core.SetAudioSettings(1.0f, 1.0f, true, false, nullptr, gone.c_str());
  HostLog::Clear();
  if (!CHECK_EQ(core.StartCapture(window.handle(), false, 720, 30, 0, 0), 0)) return;
  // Windows answers 0x80070490 for an unknown id, Wine 0x80070057.
  CHECK(HostLog::WaitFor(L"[mic-audio] configured device unavailable (0x", seconds(10)));
  CHECK(HostLog::WaitFor(L"[mic-audio] device: PulseAudio", seconds(10)));
  CHECK(core.IsCapturing());
  std::this_thread::sleep_for(seconds(3));
  CHECK_EQ(core.SaveClipNow(options.outputFolder.c_str(), nullptr, 0), 0);
  core.StopCapture();
}

// Ends a recording run: the library shut down and its log detached; the
// host log is shown when a check failed. The run's result.
int EndRun(CoreApi& core) {
  core.GlobalShutdown();
  core.SetLogCallback(nullptr);
  const int rc = Finish();
  if (rc != 0) HostLog::Dump();
  return rc;
}

}  // namespace

bool ParseRecordingOption(const std::wstring& key, const std::wstring& value, RecordingOptions* options) {
  if (key == L"--out") options->outputFolder = value;
  else if (key == L"--mic") options->microphone = value;
  else if (key == L"--seconds") options->seconds = _wtoi(value.c_str());
  else if (key == L"--transform") options->transformDll = value;
  else return false;
  return true;
}

int RunRecording(const std::wstring& dll, const RecordingOptions& options) {
  Group("a hardware H.264 transform registered before the library loads");
  CHECK(RegisterFakeHardwareEncoder());
  CoreApi core;
  if (!CHECK(LoadCore(dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);
  CHECK(core.HasHardwareEncoder());
  CHECK_EQ(core.GlobalInitialize(), 0);
  const std::wstring micId = EndpointId(core, true, options.microphone);
  if (CHECK_MSG(!micId.empty(), Narrow(options.microphone))) {
    RecordClip(core, options, micId);
    CheckSpillingReplay(core, options, micId);
  }
  CheckMonitor(core, options);
  CheckMinimisedWindow(core);
  CheckWindowDestroyedWhileRecording(core);
  CheckRemovedMicrophone(core, options);
  RunHostApartmentChecks(core, options.outputFolder, L"libopenh264");
  const int rc = EndRun(core);
  UnregisterFakeHardwareEncoder();
  return rc;
}

int RunHugeWindowRecording(const std::wstring& dll, const RecordingOptions& options) {
  // Capture starts only where a hardware encoder is listed, before the
  // library looks.
  CHECK(RegisterFakeHardwareEncoder());
  CoreApi core;
  if (!CHECK(LoadCore(dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);
  CHECK_EQ(core.GlobalInitialize(), 0);
  CheckHugeWindow(core, options);
  const int rc = EndRun(core);
  UnregisterFakeHardwareEncoder();
  return rc;
}

int RunRecordingThroughTransform(const std::wstring& dll, const RecordingOptions& options) {
  Group("the asynchronous test transform registered as the prefix's hardware encoder");
  if (!CHECK(RegisterTestTransform(options.transformDll))) return Finish();
  {
    // The class activates through the registry as Media Foundation's own
    // activation object will do it (from a thread of its own: this one stays
    // out of every apartment).
    HRESULT created = E_FAIL;
    std::thread([&created] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      IUnknown* transform = nullptr;
      created = CoCreateInstance(kTestTransformClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 reinterpret_cast<void**>(&transform));
      if (transform != nullptr) transform->Release();
      CoUninitialize();
    }).join();
    CHECK_MSG(SUCCEEDED(created), "CoCreateInstance: " + std::to_string(static_cast<unsigned long>(created)));
  }
  CoreApi core;
  if (!CHECK(LoadCore(dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);
  CHECK(core.HasHardwareEncoder());
  CHECK_EQ(core.GlobalInitialize(), 0);
  const std::wstring micId = EndpointId(core, true, options.microphone);
  if (CHECK_MSG(!micId.empty(), Narrow(options.microphone))) RecordClip(core, options, micId, L"h264_mf", kTestTransformName);
  // Encoders opened and freed while the host's thread is in each apartment.
  RunHostApartmentChecks(core, options.outputFolder, L"h264_mf");
  const int rc = EndRun(core);
  UnregisterTestTransform();
  return rc;
}

int RunWithoutMediaFoundation(const std::wstring& dll, const AudioExpectation& audio,
                              const RecordingOptions& options) {
  Group("Media Foundation disabled for this process");
  HMODULE mfplat = LoadLibraryW(L"mfplat.dll");
  CHECK_MSG(mfplat == nullptr, "mfplat.dll loads: the override did not hold");
  if (mfplat != nullptr) FreeLibrary(mfplat);
  CoreApi core;
  if (!CHECK(LoadCore(dll, &core))) return Finish();
  core.SetLogCallback(&HostLog::Callback);
  CHECK(!core.HasHardwareEncoder());
  RunAudioChecks(core, audio);
  RunUpdateChecks(core);
  Group("initialised without Media Foundation");
  HostLog::Clear();
  CHECK_EQ(core.GlobalInitialize(), 0);
  CHECK(HostLog::WaitFor(L"[CAPABILITY] Media Foundation is not installed (0x8007007E)", seconds(5)));
  const std::wstring micId = EndpointId(core, true, options.microphone);
  if (CHECK_MSG(!micId.empty(), Narrow(options.microphone))) RecordClip(core, options, micId);
  return EndRun(core);
}

}  // namespace ostrel::winhost
