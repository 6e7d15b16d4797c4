// The fake world's media platform: start-up with injectable failure and a
// hardware H.264 encoder list that follows the world.
#pragma once

#include "platform/media.h"

namespace ostrel::sim {

platform::IMediaPlatform& SimMediaPlatform();

// How many apartment joins the calling thread holds (0: it is in none).
int ApartmentDepthOfThisThread();

}  // namespace ostrel::sim
