// Ostrel_EnumerateAudioDevices against the PulseAudio server the test script
// started: every sink is a render endpoint and every source (the sinks'
// monitors included) a capture endpoint, with the descriptions as names and
// the server's defaults flagged.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "checks.h"
#include "core_api.h"

namespace ostrel::winhost {
namespace {

struct Endpoint {
  std::wstring id;
  std::wstring name;
  bool isDefault = false;
};

std::vector<Endpoint>* g_collect = nullptr;
DWORD g_callbackThread = 0;
bool g_otherThread = false;

void Collect(const wchar_t* id, const wchar_t* name, bool isDefault) {
  if (GetCurrentThreadId() != g_callbackThread) g_otherThread = true;
  g_collect->push_back({id ? id : L"<null>", name ? name : L"<null>", isDefault});
}

std::vector<Endpoint> List(const CoreApi& core, bool capture) {
  std::vector<Endpoint> endpoints;
  g_collect = &endpoints;
  g_callbackThread = GetCurrentThreadId();
  core.EnumerateAudioDevices(capture, &Collect);
  g_collect = nullptr;
  return endpoints;
}

void CheckFlow(const char* flow, const std::vector<Endpoint>& listed, const std::vector<std::wstring>& expected,
               const std::wstring& expectedDefault) {
  Group(flow);
  for (const Endpoint& e : listed) {
    std::printf("  %s: \"%s\"%s id=%s\n", flow, Narrow(e.name).c_str(), e.isDefault ? " (default)" : "",
                Narrow(e.id).c_str());
  }
  std::set<std::wstring> ids;
  std::map<std::wstring, int> names;
  int defaults = 0;
  for (const Endpoint& e : listed) {
    ids.insert(e.id);
    ++names[e.name];
    defaults += e.isDefault ? 1 : 0;
    CHECK_MSG(!e.id.empty() && !e.name.empty(), Narrow(e.name));
    if (e.isDefault) CHECK_MSG(e.name == expectedDefault, "default is " + Narrow(e.name));
  }
  CHECK_MSG(ids.size() == listed.size(), "ids are unique");
  CHECK_EQ(defaults, 1);
  for (const std::wstring& name : expected) {
    CHECK_MSG(names[name] == 1, "listed once: " + Narrow(name));
  }
  CHECK_EQ(listed.size(), expected.size());
}

}  // namespace

void RunAudioChecks(const CoreApi& core, const AudioExpectation& expected) {
  // Needs no initialisation; works the same after it.
  const std::vector<Endpoint> render = List(core, false);
  const std::vector<Endpoint> capture = List(core, true);
  CheckFlow("render endpoints", render, expected.render, expected.defaultRender);
  CheckFlow("capture endpoints", capture, expected.capture, expected.defaultCapture);
  CHECK_MSG(!g_otherThread, "callbacks run on the calling thread");

  Group("enumeration while initialised, and a null callback");
  CHECK_EQ(core.GlobalInitialize(), 0);
  CHECK_EQ(List(core, false).size(), render.size());
  CHECK_EQ(List(core, true).size(), capture.size());
  core.EnumerateAudioDevices(true, nullptr);  // nothing to call: returns
  core.GlobalShutdown();
}

}  // namespace ostrel::winhost
