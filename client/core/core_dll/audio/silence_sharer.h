// The bytes of a capture thread's chunks. Silent chunks share one zero
// buffer: a silent source (a desktop with nothing playing) would otherwise
// hold its whole replay length in zeros.
#pragma once

#include <cstddef>
#include <cstdint>

#include "replay/records.h"

namespace ostrel {

class SilenceSharer {
 public:
  // Cuts land a packet or a poll apart, so a silent chunk up to
  // `slackBytes` longer than the shared buffer still takes it.
  explicit SilenceSharer(size_t slackBytes) : slackBytes_(slackBytes) {}

  // The bytes of a chunk of the first `*bytes` of `data`: a copy, or for
  // all zeros the shared buffer, with `*bytes` lowered to its size when the
  // chunk was longer (the caller keeps the rest for the next chunk). An
  // `exact` chunk (a save's cut) keeps its length and, being short, does
  // not become the shared buffer.
  SharedBytes Take(const uint8_t* data, size_t* bytes, bool exact);

 private:
  const size_t slackBytes_;
  SharedBytes zeros_;
};

}  // namespace ostrel
