// What ostrel-replay records, found on the X display: a window by XID, by
// title or the active one; the library takes its XID (for a monitor, the
// monitor holding that window).
#pragma once

#include <cstdint>
#include <string>

#include "options.h"

namespace ostrel::replay {

struct Target {
  uint32_t xid = 0;
  std::string description;  // e.g. window 0x00400001 "Title"
  std::string error;        // why nothing was found, when xid is 0
};

Target FindTarget(const Options& options);

// A Wayland session (its X display is XWayland): only X11 windows can be
// recorded there.
bool IsWaylandSession();

}  // namespace ostrel::replay
