// The workers that move frames into segment encoders and cut the video into
// 2-second segments: encoder, backoff, spare builder and finalize threads.
#pragma once

#include "ostrel_session.h"

namespace ostrel {

void RunEncoderThread(SessionState& state);
void RunBackoffThread(SessionState& state);
void RunSpareBuilderThread(SessionState& state);
void RunFinalizeThread(SessionState& state);

// The segment length: one rotation per interval.
constexpr std::chrono::milliseconds kSegmentInterval{2000};
// How long the backoff thread waits for the encoder thread to take a rotation
// before asking for the next spare anyway.
constexpr std::chrono::milliseconds kRotationPickupWait{500};

}  // namespace ostrel
