// The endpoint list the host shows, and the endpoint-change listener.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/audio_capture.h"
#include "audio/audio_devices.h"
#include "audio_test_util.h"
#include "ostrel/ostrel_sim.h"

namespace ostrel::audiotest {
namespace {

using platform::DataFlow;
using platform::Role;

struct Entry {
  std::wstring id;
  std::wstring name;
  bool isDefault;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> List(bool captureDevices) {
  std::vector<Entry> out;
  EnumerateAudioDevices(captureDevices, [&](const std::wstring& id, const std::wstring& name, bool isDefault) {
    out.push_back({id, name, isDefault});
  });
  return out;
}

using EndpointListTest = AudioWorldTest;

TEST_F(EndpointListTest, DefaultWorldListsOneDefaultEndpointPerFlow) {
  EXPECT_EQ(List(false), (std::vector<Entry>{{sim::kDefaultRenderEndpointId, sim::kDefaultRenderEndpointName, true}}));
  EXPECT_EQ(List(true),
            (std::vector<Entry>{{sim::kDefaultCaptureEndpointId, sim::kDefaultCaptureEndpointName, true}}));
  EnumerateAudioDevices(false, nullptr);  // a null visitor is simply nothing to call
}

TEST_F(EndpointListTest, ListsActiveEndpointsInOrderWithTheDefaultMarked) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, false));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"nameless", nullptr, 44100, 2, 0, false, true));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"usb", L"USB Headset", 48000, 2, 0, false, false));
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(true, L"mic2", L"Array Mic", 16000, 1, 0, false, false));
  OstrelSim_RemoveAudioEndpoint(L"usb");

  EXPECT_EQ(List(false), (std::vector<Entry>{{sim::kDefaultRenderEndpointId, sim::kDefaultRenderEndpointName, false},
                                             {L"hdmi", L"HDMI Output", false},
                                             {L"nameless", L"(unknown device)", true}}));
  EXPECT_EQ(List(true), (std::vector<Entry>{{sim::kDefaultCaptureEndpointId, sim::kDefaultCaptureEndpointName, true},
                                            {L"mic2", L"Array Mic", false}}));
}

TEST_F(EndpointListTest, WithoutDefaultOrEndpointsNothingIsDefault) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, false));
  OstrelSim_SetDefaultAudioEndpoint(false, nullptr);
  std::vector<Entry> render = List(false);
  ASSERT_EQ(render.size(), 2u);
  EXPECT_FALSE(render[0].isDefault);
  EXPECT_FALSE(render[1].isDefault);

  OstrelSim_RemoveAudioEndpoint(sim::kDefaultCaptureEndpointId);
  EXPECT_TRUE(List(true).empty());
}

TEST_F(EndpointListTest, FailingCallsSkipEntriesOrTheWholeList) {
  ASSERT_TRUE(OstrelSim_AddAudioEndpoint(false, L"hdmi", L"HDMI Output", 48000, 2, 1, true, false));

  // An endpoint whose id cannot be read is left out; the rest is listed.
  OstrelSim_FailAudioCall(L"hdmi", "GetId", 0x80004005u, -1);
  EXPECT_EQ(List(false), (std::vector<Entry>{{sim::kDefaultRenderEndpointId, sim::kDefaultRenderEndpointName, true}}));
  OstrelSim_FailAudioCall(L"hdmi", "GetId", 0, 0);

  // Without a readable default, nothing is the default.
  OstrelSim_FailAudioCall(nullptr, "GetDefaultAudioEndpoint", 0x80004005u, 1);
  std::vector<Entry> render = List(false);
  ASSERT_EQ(render.size(), 2u);
  EXPECT_FALSE(render[0].isDefault);

  OstrelSim_FailAudioCall(nullptr, "EnumAudioEndpoints", 0x80004005u, 1);
  EXPECT_TRUE(List(false).empty());
  OstrelSim_FailAudioCall(nullptr, "CreateDeviceEnumerator", 0x80004005u, 1);
  EXPECT_TRUE(List(false).empty());
  EXPECT_EQ(List(false).size(), 2u);  // the injected failures were used up
}

// ---- AudioDeviceNotifier -------------------------------------------------------

AudioDeviceNotifierPtr MakeNotifier(DataFlow flow) { return AudioDeviceNotifierPtr(new AudioDeviceNotifier(flow)); }

TEST(AudioDeviceNotifierTest, ReferenceCountAndInterfaces) {
  AudioDeviceNotifierPtr notifier = MakeNotifier(DataFlow::Render);
  EXPECT_EQ(notifier->AddRef(), 2u);  // created with the creator's reference
  EXPECT_EQ(notifier->Release(), 1u);

  for (platform::InterfaceId iid : {platform::InterfaceId::Unknown, platform::InterfaceId::EndpointNotificationClient}) {
    void* object = nullptr;
    EXPECT_EQ(notifier->QueryInterface(iid, &object), hr::kOk);
    EXPECT_EQ(object, static_cast<platform::IEndpointNotificationClient*>(notifier.get()));
    EXPECT_EQ(notifier->Release(), 1u);  // the query took a reference
  }
  int dummy = 0;
  void* object = &dummy;
  EXPECT_EQ(notifier->QueryInterface(platform::InterfaceId::Other, &object), hr::kNoInterface);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(notifier->AddRef(), 2u);  // a refused query took none
  notifier->Release();
}

TEST(AudioDeviceNotifierTest, DefaultChangesCountOnlyForOwnFlowInConsoleRole) {
  AudioDeviceNotifierPtr notifier = MakeNotifier(DataFlow::Capture);
  EXPECT_EQ(notifier->OnDefaultDeviceChanged(DataFlow::Render, Role::Console, L"x"), hr::kOk);
  EXPECT_EQ(notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Multimedia, L"x"), hr::kOk);
  EXPECT_EQ(notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Communications, L"x"), hr::kOk);
  EXPECT_FALSE(notifier->TakeChanged());

  notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Console, nullptr);  // "no default" counts too
  EXPECT_TRUE(notifier->TakeChanged());
  EXPECT_FALSE(notifier->TakeChanged());  // taking clears it
  notifier->OnDefaultDeviceChanged(DataFlow::Capture, Role::Console, L"y");
  EXPECT_TRUE(notifier->TakeChanged());
}

TEST(AudioDeviceNotifierTest, RemovalAndStateChangesCountOnlyForTheCurrentDevice) {
  AudioDeviceNotifierPtr notifier = MakeNotifier(DataFlow::Render);
  // No current device yet: nothing matches, not even an empty id.
  notifier->OnDeviceRemoved(L"");
  notifier->OnDeviceStateChanged(L"", 4);
  EXPECT_FALSE(notifier->TakeChanged());

  notifier->SetCurrentDeviceId(L"speakers");
  notifier->OnDeviceRemoved(L"headset");
  notifier->OnDeviceStateChanged(L"Speakers", 4);  // ids compare case-sensitively
  notifier->OnDeviceRemoved(L"speakers2");
  notifier->OnDeviceRemoved(nullptr);
  notifier->OnDeviceAdded(L"speakers");
  notifier->OnPropertyValueChanged(L"speakers", 14);
  EXPECT_FALSE(notifier->TakeChanged());

  notifier->OnDeviceStateChanged(L"speakers", platform::kDeviceStateActive);  // even to active
  EXPECT_TRUE(notifier->TakeChanged());
  notifier->OnDeviceRemoved(L"speakers");
  EXPECT_TRUE(notifier->TakeChanged());
}

TEST(AudioDeviceNotifierTest, WaitForChangeEndsOnNotificationAndKeepsTheMark) {
  AudioDeviceNotifierPtr notifier = MakeNotifier(DataFlow::Render);
  const auto t0 = std::chrono::steady_clock::now();
  notifier->WaitForChange(std::chrono::milliseconds(60));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));

  std::thread service([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    notifier->OnDefaultDeviceChanged(DataFlow::Render, Role::Console, L"new");
  });
  const auto t1 = std::chrono::steady_clock::now();
  notifier->WaitForChange(std::chrono::seconds(20));
  service.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(10));
  notifier->WaitForChange(std::chrono::seconds(20));  // the mark is still there: no wait
  EXPECT_TRUE(notifier->TakeChanged());
}

}  // namespace
}  // namespace ostrel::audiotest
