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

// How long before its rotation the next segment's encoder is built. An
// encoder built at the start of the interval would sit idle beside the
// running one for most of it, holding a second encoder's memory; one built
// at the last moment would leave the rotation to build its own while frames
// wait. So the lead is twice the slowest build seen in this capture (a
// hardware session can take a few hundred milliseconds to open), and at
// least kSpareLeadFloor.
constexpr std::chrono::milliseconds kSpareLeadFloor{400};
SteadyClock::duration SpareLead(std::chrono::microseconds slowestBuild);

}  // namespace ostrel
