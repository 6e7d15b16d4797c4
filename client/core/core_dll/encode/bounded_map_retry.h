// Waiting for a GPU copy with a bound: polls a non-blocking map until it
// succeeds or the time limit passes.
#pragma once

#include <chrono>
#include <functional>

#include "platform/hresult.h"

namespace ostrel {

constexpr int kBoundedMapMapped = 0;
constexpr int kBoundedMapGaveUp = 2;

// Calls `tryMap` (a non-blocking map) until it succeeds -> kBoundedMapMapped,
// or until `limit` has passed since the call began -> kBoundedMapGaveUp,
// sleeping `interval` between attempts. The first attempt is always made, also
// with a zero limit. Any failure other than "still drawing" is thrown as
// HresultError. Nothing is held while sleeping: `tryMap` takes whatever lock
// its map needs for the attempt alone.
int bounded_map_retry(const std::function<Hresult()>& tryMap, std::chrono::milliseconds limit,
                      std::chrono::milliseconds interval);

}  // namespace ostrel
