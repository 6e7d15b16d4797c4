// The fake world's window capture: capture items for windows and monitors,
// free-threaded frame pools that render the test scene on their own
// delivery threads, and capture sessions that start them.
#pragma once

#include "platform/window_capture.h"

namespace ostrel::sim {

platform::IWindowCapture& SimWindowCapture();

}  // namespace ostrel::sim
