#include "audio/silence_sharer.h"

#include <algorithm>
#include <memory>

namespace ostrel {

SharedBytes SilenceSharer::Take(const uint8_t* data, size_t* bytes, bool exact) {
  const uint8_t* end = data + *bytes;
  if (std::any_of(data, end, [](uint8_t b) { return b != 0; })) {
    return std::make_shared<const std::vector<uint8_t>>(data, end);
  }
  if (zeros_ && zeros_->size() <= *bytes && *bytes - zeros_->size() <= (exact ? 0 : slackBytes_)) {
    *bytes = zeros_->size();
    return zeros_;
  }
  auto zeros = std::make_shared<const std::vector<uint8_t>>(*bytes, uint8_t{0});
  if (!exact) zeros_ = zeros;
  return zeros;
}

}  // namespace ostrel
