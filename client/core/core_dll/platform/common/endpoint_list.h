// The endpoint collection of a backend that lists its endpoints itself (the
// fake world, PulseAudio): the handles are made when the list is asked for
// and stay as they were, as the system's own collection is a snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/audio.h"

namespace ostrel::platform {

class EndpointList final : public IAudioEndpointCollection {
 public:
  explicit EndpointList(std::vector<std::shared_ptr<IAudioEndpoint>> endpoints) : endpoints_(std::move(endpoints)) {}

  // A list with one handle for each of `items`, made by `makeHandle(item)`.
  template <typename Items, typename MakeHandle>
  static std::shared_ptr<EndpointList> Of(Items&& items, MakeHandle makeHandle) {
    std::vector<std::shared_ptr<IAudioEndpoint>> handles;
    handles.reserve(items.size());
    for (auto& item : items) handles.push_back(makeHandle(item));
    return std::make_shared<EndpointList>(std::move(handles));
  }

  Hresult GetCount(uint32_t* count) override {
    if (count == nullptr) return hr::kInvalidArg;
    *count = static_cast<uint32_t>(endpoints_.size());
    return hr::kOk;
  }

  Hresult Item(uint32_t index, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    if (index >= endpoints_.size()) return hr::kInvalidArg;
    *out = endpoints_[index];
    return hr::kOk;
  }

 private:
  std::vector<std::shared_ptr<IAudioEndpoint>> endpoints_;
};

}  // namespace ostrel::platform
