// The host's COM apartment as the library leaves it: exports that need no
// initialisation work from a thread that never initialised COM, and a host
// thread in a single-threaded or in the multithreaded apartment that starts,
// saves and stops a recording is in the same apartment afterwards.
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "check.h"
#include "checks.h"
#include "core_api.h"
#include "fake_mft.h"
#include "test_window.h"

namespace ostrel::winhost {
namespace {

struct Apartment {
  HRESULT result = E_FAIL;
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  bool operator==(const Apartment& other) const {
    return result == other.result && type == other.type && qualifier == other.qualifier;
  }
};

Apartment CurrentApartment() {
  Apartment apartment;
  apartment.result = CoGetApartmentType(&apartment.type, &apartment.qualifier);
  return apartment;
}

std::string Describe(const Apartment& apartment) {
  char text[96];
  std::snprintf(text, sizeof(text), "0x%08lX type %d qualifier %d", static_cast<unsigned long>(apartment.result),
                static_cast<int>(apartment.type), static_cast<int>(apartment.qualifier));
  return text;
}

int g_listed = 0;
void CountDevice(const wchar_t*, const wchar_t*, bool) { ++g_listed; }

int CountDevices(const CoreApi& core, bool capture) {
  g_listed = 0;
  core.EnumerateAudioDevices(capture, &CountDevice);
  return g_listed;
}

// Start, save and stop from a thread joined to `coinit`'s apartment; the
// capture selects `encoder` whatever that apartment.
void RecordFromThreadIn(const CoreApi& core, DWORD coinit, const char* group, const std::wstring& folder,
                        const std::wstring& encoder) {
  Group(group);
  TestWindow window(640, 360, 30);
  core.SetAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  HostLog::Clear();
  struct {
    HRESULT joined = E_FAIL;
    Apartment before, after;
    int started = -1, saved = -1;
    HRESULT joinedAgain = E_FAIL;
  } r;
  std::thread([&] {
    r.joined = CoInitializeEx(nullptr, coinit);
    r.before = CurrentApartment();
    r.started = core.StartCapture(window.handle(), false, 360, 30, 0, 0);
    if (r.started == 0) {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      r.saved = core.SaveClipNow(folder.c_str(), nullptr, 0);
    }
    core.StopCapture();
    r.after = CurrentApartment();
    // Still a member: a join of the same kind only counts (S_FALSE).
    r.joinedAgain = CoInitializeEx(nullptr, coinit);
    if (SUCCEEDED(r.joinedAgain)) CoUninitialize();
    if (SUCCEEDED(r.joined)) CoUninitialize();
  }).join();
  CHECK_MSG(r.joined == S_OK, Describe(r.before));
  CHECK_EQ(r.started, 0);
  CHECK_EQ(r.saved, 0);
  CHECK_MSG(HostLog::Count(L"[CAPABILITY] FFmpeg encoder selected: " + encoder) == 1, Narrow(encoder));
  CHECK_MSG(r.before == r.after, Describe(r.before) + " before, " + Describe(r.after) + " after");
  CHECK_MSG(r.joinedAgain == S_FALSE, "joined again: " + std::to_string(static_cast<unsigned long>(r.joinedAgain)));
}

}  // namespace

void RunFreshThreadChecks(const CoreApi& core, const AudioExpectation& expected) {
  Group("exports that need no initialisation, from a thread that never initialised COM");
  const bool registered = CHECK(RegisterFakeHardwareEncoder());
  struct {
    Apartment before, after;
    int render = 0, capture = 0;
    bool hardware = false;
  } r;
  std::thread([&] {
    r.before = CurrentApartment();
    r.render = CountDevices(core, false);
    r.capture = CountDevices(core, true);
    r.hardware = core.HasHardwareEncoder();
    r.after = CurrentApartment();
  }).join();
  CHECK_EQ(r.render, static_cast<int>(expected.render.size()));
  CHECK_EQ(r.capture, static_cast<int>(expected.capture.size()));
  CHECK(r.hardware == registered);
  CHECK_MSG(r.before.result == CO_E_NOTINITIALIZED, Describe(r.before));
  CHECK_MSG(r.before == r.after, Describe(r.before) + " before, " + Describe(r.after) + " after");
  UnregisterFakeHardwareEncoder();
}

void RunHostApartmentChecks(const CoreApi& core, const std::wstring& folder, const std::wstring& encoder) {
  RecordFromThreadIn(core, COINIT_APARTMENTTHREADED, "a host thread in a single-threaded apartment records", folder,
                     encoder);
  RecordFromThreadIn(core, COINIT_MULTITHREADED, "a host thread in the multithreaded apartment records", folder,
                     encoder);
}

}  // namespace ostrel::winhost
