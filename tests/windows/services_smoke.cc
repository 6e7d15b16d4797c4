// The Windows backend's system, media and audio services on the real APIs,
// without a session: run under Wine (with a PulseAudio server) or Windows.
// Prints one line per check and exits with the number of failed checks.
//
//   services_smoke.exe            every check
//   services_smoke.exe --no-audio leaves out the audio endpoint checks
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/hresult.h"
#include "platform/win/win_audio.h"
#include "platform/win/win_backend.h"

namespace {

using namespace ostrel;

int failures = 0;

void Report(bool ok, const char* what, const std::string& detail = {}) {
  std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string Hex(Hresult code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  return buffer;
}

std::string DigestHex(const std::array<uint8_t, 32>& digest) {
  std::string out;
  char pair[3];
  for (uint8_t byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    out += pair;
  }
  return out;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::wstring ScratchFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"ostrel_services_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(GetTickCount64());
}

void CheckClockAndTime(platform::ISystemServices& system) {
  const int64_t frequency = system.PerformanceFrequency();
  const int64_t first = system.PerformanceCounter();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const int64_t second = system.PerformanceCounter();
  const double elapsed = frequency > 0 ? static_cast<double>(second - first) / static_cast<double>(frequency) : 0;
  Report(frequency > 0 && elapsed >= 0.045 && elapsed < 1.0, "performance counter runs at its frequency",
         "frequency " + std::to_string(frequency) + ", 50 ms sleep measured " + std::to_string(elapsed) + " s");

  const platform::LocalTime now = system.GetLocalTime();
  SYSTEMTIME reference{};
  GetLocalTime(&reference);
  Report(now.year == reference.wYear && now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31 &&
             now.hour < 24 && now.minute < 60 && now.second < 61 && now.milliseconds < 1000,
         "local time", std::to_string(now.year) + "-" + std::to_string(now.month) + "-" + std::to_string(now.day));
}

void CheckFolders(platform::ISystemServices& system, const std::wstring& scratch) {
  const std::wstring nested = scratch + L"\\missing\\child";
  Report(!system.CreateDirectory(nested), "a folder whose parent is missing is not created");
  Report(system.CreateDirectory(scratch), "a new folder is created");
  Report(!system.CreateDirectory(scratch), "an existing folder answers false");
}

void CheckEnvironment(platform::ISystemServices& system) {
  const wchar_t* name = L"OSTREL_SERVICES_SMOKE";
  size_t length = 99;
  SetEnvironmentVariableW(name, nullptr);
  auto value = system.GetEnvironmentVariable(name, 8, &length);
  Report(!value && length == 0, "an unset variable is absent");

  SetEnvironmentVariableW(name, L"1");
  value = system.GetEnvironmentVariable(name, 8, &length);
  Report(value && *value == L"1" && length == 1, "a short value is read with its length");

  SetEnvironmentVariableW(name, L"1234567890");
  value = system.GetEnvironmentVariable(name, 8, &length);
  Report(value && value->empty() && length == 11, "a value that does not fit reports the size it needs",
         "length " + std::to_string(length));

  SetEnvironmentVariableW(name, L"1234567");
  value = system.GetEnvironmentVariable(name, 8, &length);
  Report(value && *value == L"1234567" && length == 7, "a value that just fits is read whole");
  SetEnvironmentVariableW(name, nullptr);
}

void CheckMemory(platform::ISystemServices& system) {
  platform::ProcessMemory memory{};
  const bool ok = system.GetProcessMemory(&memory);
  // Wine reports no private usage; Windows does.
  Report(ok && memory.workingSetBytes > 1024 * 1024, "process memory",
         "private " + std::to_string(memory.privateBytes) + " B, working set " +
             std::to_string(memory.workingSetBytes) + " B");
}

void CheckHashing(platform::ISystemServices& system, const std::wstring& scratch) {
  // Known SHA-256 values (FIPS 180-2 examples); a million bytes spans many
  // 64 KiB reads and ends in a partial one.
  struct Case {
    const char* name;
    std::string content;
    const char* digest;
  };
  const Case cases[] = {
      {"empty file", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"\"abc\"", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"a million 'a'", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  const std::wstring path = scratch + L"\\hashed.bin";
  for (const Case& test : cases) {
    std::array<uint8_t, 32> digest{};
    const bool written = WriteWholeFile(path, test.content);
    const bool hashed = written && system.HashFileSha256(path, &digest);
    Report(hashed && DigestHex(digest) == test.digest, (std::string("SHA-256 of ") + test.name).c_str(),
           hashed ? DigestHex(digest) : "not hashed");
  }

  std::array<uint8_t, 32> digest{};
  Report(!system.HashFileSha256(scratch + L"\\absent.bin", &digest), "a missing file is not hashed");
  Report(!system.HashFileSha256(scratch, &digest), "a folder is not hashed");

  // A writer that shares nothing keeps others from reading.
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Report(writer != INVALID_HANDLE_VALUE && !system.HashFileSha256(path, &digest),
         "a file held open by an exclusive writer is not hashed");
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  // Another reader does not.
  HANDLE reader =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Report(reader != INVALID_HANDLE_VALUE && system.HashFileSha256(path, &digest),
         "a file another reader holds is hashed");
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  DeleteFileW(path.c_str());
}

void CheckUtf8(platform::ISystemServices& system) {
  // e-acute (2 bytes), euro sign (3), U+1F600 as a surrogate pair (4), and a
  // lone high surrogate that becomes U+FFFD.
  const std::wstring path = L"C:\\clips\\\x00E9\x20AC\xD83D\xDE00";
  const std::string expected = "C:\\clips\\\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  Report(system.PathToUtf8(path) == expected, "a wide path becomes UTF-8");
  Report(system.PathToUtf8(L"a\xD800"
                           L"b") ==
             "a\xEF\xBF\xBD"
             "b",
         "an unpaired surrogate becomes U+FFFD");
  Report(system.PathToUtf8(L"").empty(), "an empty path stays empty");
}

void CheckMessages() {
  const std::wstring denied = HresultMessage(static_cast<Hresult>(0x80070005));
  const bool trimmed = !denied.empty() && denied.back() != L'\n' && denied.back() != L'\r' && denied.back() != L' ';
  Report(trimmed && denied.find(L"denied") != std::wstring::npos, "system message of 0x80070005", Narrow(denied));
  const std::wstring unknown = HresultMessage(static_cast<Hresult>(0xA0DEF00D));
  Report(unknown == L"Unknown error 0xA0DEF00D", "a code without a message", Narrow(unknown));
}

void CheckMedia() {
  platform::IMediaPlatform& media = win::MediaPlatform();
  Hresult joined = hr::kFail;
  std::thread([&] {
    const Hresult first = media.JoinMultithreadedApartment();
    const Hresult second = media.JoinMultithreadedApartment();
    joined = first == hr::kOk && second == hr::kFalse ? hr::kOk : hr::kFail;
    CoUninitialize();
    CoUninitialize();
  }).join();
  Report(joined == hr::kOk, "a thread joins the multithreaded apartment once (S_OK, then S_FALSE)");

  const Hresult started = media.Startup();
  Report(Succeeded(started), "Media Foundation starts", Hex(started));
  std::vector<platform::HardwareEncoderInfo> encoders(3);
  const Hresult listed = media.EnumHardwareH264Encoders(&encoders);
  std::string detail = Hex(listed) + ", " + std::to_string(encoders.size()) + " encoder(s)";
  for (const auto& encoder : encoders) {
    detail +=
        "; D3D11-aware read " + Hex(encoder.d3d11AwareReadResult) + " value " + std::to_string(encoder.d3d11Aware);
  }
  // Wine has no hardware encoder transform: an empty list.
  Report(Succeeded(listed), "hardware H.264 encoder enumeration", detail);
  Report(media.EnumHardwareH264Encoders(nullptr) == hr::kInvalidArg, "enumeration into nothing is refused");
  if (Succeeded(started)) media.Shutdown();

  const std::vector<std::string> chain = media.H264EncoderChain();
  Report(!chain.empty() && chain.back() == "libopenh264", "the encoder chain ends in software");
}

// Counts references and notifications like the core's listener would.
class CountingListener final : public platform::IEndpointNotificationClient {
 public:
  Hresult QueryInterface(platform::InterfaceId iid, void** object) override {
    *object = nullptr;
    if (iid == platform::InterfaceId::Other) return hr::kNoInterface;
    *object = this;
    AddRef();
    return hr::kOk;
  }
  uint32_t AddRef() override { return ++references; }
  uint32_t Release() override { return --references; }
  Hresult OnDeviceStateChanged(const wchar_t*, uint32_t) override { return ++notifications, hr::kOk; }
  Hresult OnDeviceAdded(const wchar_t*) override { return ++notifications, hr::kOk; }
  Hresult OnDeviceRemoved(const wchar_t*) override { return ++notifications, hr::kOk; }
  Hresult OnDefaultDeviceChanged(platform::DataFlow, platform::Role, const wchar_t*) override {
    return ++notifications, hr::kOk;
  }
  Hresult OnPropertyValueChanged(const wchar_t*, uint32_t) override { return ++notifications, hr::kOk; }

  std::atomic<uint32_t> references{1};
  std::atomic<uint32_t> notifications{0};
};

void CheckForwarder() {
  CountingListener listener;
  {
    win::ComPtr<IMMNotificationClient> forwarder = win::MakeNotificationForwarder(&listener);
    Report(forwarder && listener.references == 2, "the COM forwarder holds a reference to the listener");
    win::ComPtr<IUnknown> unknown;
    win::ComPtr<IAudioClient> wrong;
    const HRESULT asUnknown = forwarder.As(&unknown);
    const HRESULT asWrong = forwarder.As(&wrong);
    Report(SUCCEEDED(asUnknown) && unknown && asWrong == E_NOINTERFACE && !wrong && listener.references == 2,
           "QueryInterface follows the listener and hands out the COM object");
    forwarder->OnDefaultDeviceChanged(eCapture, eConsole, L"id");
    forwarder->OnDeviceRemoved(L"id");
    Report(listener.notifications == 2, "notifications reach the listener");
  }
  Report(listener.references == 1, "the listener's reference goes with the forwarder");
}

void CheckAudioEndpoints(platform::IAudioSystem& audio) {
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  const Hresult created = audio.CreateDeviceEnumerator(&enumerator);
  Report(Succeeded(created) && enumerator, "device enumerator", Hex(created));
  if (!enumerator) return;

  for (platform::DataFlow flow : {platform::DataFlow::Render, platform::DataFlow::Capture}) {
    const char* flowName = flow == platform::DataFlow::Render ? "render" : "capture";
    std::wstring defaultId;
    std::shared_ptr<platform::IAudioEndpoint> defaultEndpoint;
    const Hresult found = enumerator->GetDefaultAudioEndpoint(flow, platform::Role::Console, &defaultEndpoint);
    if (Succeeded(found) && defaultEndpoint) defaultEndpoint->GetId(&defaultId);
    std::shared_ptr<platform::IAudioEndpointCollection> collection;
    const Hresult listed = enumerator->EnumAudioEndpoints(flow, platform::kDeviceStateActive, &collection);
    uint32_t count = 0;
    if (collection) collection->GetCount(&count);
    Report(Succeeded(listed) && collection, (std::string("active ") + flowName + " endpoints").c_str(),
           std::to_string(count) + " listed, default lookup " + Hex(found));
    bool defaultListed = defaultId.empty();
    for (uint32_t index = 0; index < count; ++index) {
      std::shared_ptr<platform::IAudioEndpoint> endpoint;
      std::wstring id, name;
      if (Failed(collection->Item(index, &endpoint)) || !endpoint || Failed(endpoint->GetId(&id))) {
        Report(false, "endpoint of the collection");
        continue;
      }
      const Hresult named = endpoint->GetFriendlyName(&name);
      std::printf("     %s %s \"%s\"%s\n", flowName, Narrow(id).c_str(), Narrow(name).c_str(),
                  id == defaultId ? " (default)" : "");
      Report(Succeeded(named) && !name.empty(), "endpoint has a friendly name", Hex(named));
      std::shared_ptr<platform::IAudioEndpoint> again;
      std::wstring againId;
      Report(
          Succeeded(enumerator->GetDevice(id, &again)) && again && Succeeded(again->GetId(&againId)) && againId == id,
          "an endpoint is found again by its id");
      if (id == defaultId) defaultListed = true;
    }
    Report(defaultListed, (std::string("the default ") + flowName + " endpoint is among the listed").c_str());
  }
  std::shared_ptr<platform::IAudioEndpoint> missing;
  const Hresult absent = enumerator->GetDevice(L"{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}", &missing);
  Report(Failed(absent) && !missing, "an unknown id is not found", Hex(absent));

  CountingListener listener;
  const Hresult registered = enumerator->RegisterEndpointNotificationCallback(&listener);
  Report(Succeeded(registered) && listener.references == 2, "a registered listener is held", Hex(registered));
  Report(enumerator->RegisterEndpointNotificationCallback(&listener) == hr::kInvalidArg,
         "registering the same listener twice is refused");
  const Hresult unregistered = enumerator->UnregisterEndpointNotificationCallback(&listener);
  Report(Succeeded(unregistered) && listener.references == 1, "unregistering lets it go", Hex(unregistered));
  Report(enumerator->UnregisterEndpointNotificationCallback(&listener) == hr::kNotFound,
         "unregistering twice answers not found");
  enumerator->RegisterEndpointNotificationCallback(&listener);
  enumerator.reset();
  Report(listener.references == 1, "an enumerator that goes lets its listeners go");
}

// Opens the default endpoint of a flow and reads a little of its stream.
void CheckStream(platform::IAudioSystem& audio, platform::DataFlow flow) {
  const bool loopback = flow == platform::DataFlow::Render;
  const char* what = loopback ? "loopback stream" : "capture stream";
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  std::shared_ptr<platform::IAudioEndpoint> endpoint;
  if (Failed(audio.CreateDeviceEnumerator(&enumerator)) ||
      Failed(enumerator->GetDefaultAudioEndpoint(flow, platform::Role::Console, &endpoint))) {
    std::printf("SKIP %s: no default endpoint\n", what);
    return;
  }
  std::shared_ptr<platform::IAudioClient> client;
  std::vector<uint8_t> format;
  Hresult result = endpoint->Activate(&client);
  if (Succeeded(result)) result = client->GetMixFormat(&format);
  uint16_t cbSize = 0, blockAlign = 0;
  if (format.size() >= 18) {
    std::memcpy(&cbSize, format.data() + 16, 2);
    std::memcpy(&blockAlign, format.data() + 12, 2);
  }
  Report(Succeeded(result) && format.size() == 18u + cbSize && blockAlign > 0,
         (std::string(what) + ": mix format").c_str(),
         Hex(result) + ", " + std::to_string(format.size()) + " bytes, block " + std::to_string(blockAlign));
  if (Failed(result)) return;
  Report(client->Initialize(0, 10000000, std::vector<uint8_t>(format.begin(), format.begin() + 10)) == hr::kInvalidArg,
         (std::string(what) + ": a truncated format is refused").c_str());

  result = client->Initialize(loopback ? platform::kStreamFlagsLoopback : 0, 10000000, format);
  std::shared_ptr<platform::IAudioCaptureClient> capture;
  if (Succeeded(result)) result = client->GetCaptureClient(&capture);
  if (loopback && Failed(result)) {
    // Wine cannot loop back a render endpoint (0x88890003 at GetService).
    std::printf("INFO %s not available here: %s\n", what, Hex(result).c_str());
    return;
  }
  if (Succeeded(result)) result = client->Start();
  Report(Succeeded(result) && capture, (std::string(what) + ": started").c_str(), Hex(result));
  if (Failed(result) || !capture) return;

  // Wine's first packets come most of a second after Start; read until a
  // tenth of a second of audio arrived, for at most three seconds.
  uint32_t rate = 0;
  std::memcpy(&rate, format.data() + 4, 4);
  uint64_t frames = 0, packets = 0, lastEnd = 0, backwards = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  Hresult failure = hr::kOk;
  while (std::chrono::steady_clock::now() < until && frames < rate / 10) {
    uint32_t next = 0;
    failure = capture->GetNextPacketSize(&next);
    if (Failed(failure)) break;
    if (next == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const uint8_t* data = nullptr;
    uint32_t packetFrames = 0, flags = 0;
    uint64_t position = 0, qpc = 0;
    failure = capture->GetBuffer(&data, &packetFrames, &flags, &position, &qpc);
    if (Failed(failure)) break;
    if (packets > 0 && position < lastEnd) ++backwards;
    lastEnd = position + packetFrames;
    frames += packetFrames;
    ++packets;
    failure = capture->ReleaseBuffer(packetFrames);
    if (Failed(failure)) break;
  }
  client->Stop();
  Report(Succeeded(failure) && frames >= rate / 10 && backwards == 0,
         (std::string(what) + ": packets arrive in order").c_str(),
         std::to_string(packets) + " packets, " + std::to_string(frames) + " frames, last " + Hex(failure));
}

void CheckScheduler(platform::IAudioSystem& audio) {
  void* handle = audio.EnterProAudioScheduling();
  const bool critical = handle != nullptr && audio.SetCriticalPriority(handle);
  audio.LeaveProAudioScheduling(handle);
  // Registration may be refused (no scheduler service); capture goes on.
  std::printf("INFO Pro Audio registration %s, critical priority %s\n", handle ? "granted" : "refused",
              critical ? "set" : "not set");
  Report(!audio.SetCriticalPriority(nullptr), "no priority without a registration");
}

}  // namespace

int main(int argc, char** argv) {
  const bool withAudio = !(argc > 1 && std::strcmp(argv[1], "--no-audio") == 0);
  platform::ISystemServices& system = win::SystemServices();
  const std::wstring scratch = ScratchFolder();
  CheckClockAndTime(system);
  CheckFolders(system, scratch);
  CheckEnvironment(system);
  CheckMemory(system);
  CheckHashing(system, scratch);
  CheckUtf8(system);
  RemoveDirectoryW(scratch.c_str());
  CheckMessages();
  CheckMedia();
  CheckForwarder();
  if (withAudio) {
    // The library's threads rely on the process's multithreaded apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    platform::IAudioSystem& audio = win::AudioSystem();
    CheckAudioEndpoints(audio);
    CheckStream(audio, platform::DataFlow::Capture);
    CheckStream(audio, platform::DataFlow::Render);
    CheckScheduler(audio);
    CoUninitialize();
  }
  std::printf("%d check(s) failed\n", failures);
  return failures;
}
