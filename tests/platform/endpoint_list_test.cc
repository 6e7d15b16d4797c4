#include "platform/common/endpoint_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::platform {
namespace {

class NamedEndpoint final : public IAudioEndpoint {
 public:
  explicit NamedEndpoint(std::wstring id) : id_(std::move(id)) {}
  Hresult GetId(std::wstring* id) override {
    *id = id_;
    return hr::kOk;
  }
  Hresult GetFriendlyName(std::wstring* name) override {
    *name = id_;
    return hr::kOk;
  }
  Hresult Activate(std::shared_ptr<IAudioClient>*) override { return hr::kFail; }

 private:
  std::wstring id_;
};

std::wstring IdAt(IAudioEndpointCollection& list, uint32_t index) {
  std::shared_ptr<IAudioEndpoint> endpoint;
  EXPECT_EQ(list.Item(index, &endpoint), hr::kOk);
  if (!endpoint) return L"";
  std::wstring id;
  endpoint->GetId(&id);
  return id;
}

TEST(EndpointListTest, HoldsOneHandlePerItemInOrderAndRefusesWhatIsOutside) {
  std::vector<std::wstring> names{L"speakers", L"headset", L"hdmi"};
  std::vector<std::wstring> made;
  std::shared_ptr<EndpointList> list = EndpointList::Of(names, [&](std::wstring& name) {
    made.push_back(name);
    return std::make_shared<NamedEndpoint>(name);
  });
  EXPECT_EQ(made, names);  // made once each, when the list is made

  uint32_t count = 0;
  ASSERT_EQ(list->GetCount(&count), hr::kOk);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(IdAt(*list, 0), L"speakers");
  EXPECT_EQ(IdAt(*list, 2), L"hdmi");
  EXPECT_EQ(made.size(), 3u);  // asking for items makes nothing new

  // Out of range: an error, and whatever the caller held is dropped.
  std::shared_ptr<IAudioEndpoint> endpoint = std::make_shared<NamedEndpoint>(L"stale");
  EXPECT_EQ(list->Item(3, &endpoint), hr::kInvalidArg);
  EXPECT_EQ(endpoint, nullptr);
  EXPECT_EQ(list->Item(0, nullptr), hr::kInvalidArg);
  EXPECT_EQ(list->GetCount(nullptr), hr::kInvalidArg);

  // A snapshot: later changes to the source leave the list as it was.
  names.clear();
  ASSERT_EQ(list->GetCount(&count), hr::kOk);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(IdAt(*list, 1), L"headset");
}

TEST(EndpointListTest, AnEmptyListHasNoItems) {
  const std::vector<int> none;
  std::shared_ptr<EndpointList> list =
      EndpointList::Of(none, [](const int&) -> std::shared_ptr<IAudioEndpoint> { return nullptr; });
  uint32_t count = 7;
  ASSERT_EQ(list->GetCount(&count), hr::kOk);
  EXPECT_EQ(count, 0u);
  std::shared_ptr<IAudioEndpoint> endpoint;
  EXPECT_EQ(list->Item(0, &endpoint), hr::kInvalidArg);
}

}  // namespace
}  // namespace ostrel::platform
