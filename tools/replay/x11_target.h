// What ostrel-replay records, found on the X display: a window by XID, by
// title or the active one; the library takes its XID (for a monitor, the
// monitor holding that window).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"

namespace ostrel::replay {

struct Target {
  uint32_t xid = 0;
  std::string description;  // e.g. window 0x00400001 "Title"
  std::string error;        // why nothing was found, when xid is 0
  // For a monitor named by no window: the connection holding the unmapped
  // 1x1 window under the pointer that stands for it (the library takes a
  // window and records the monitor holding it). Keep while recording.
  std::shared_ptr<void> marker;
};

Target FindTarget(const Options& options);

// A Wayland session (its X display is XWayland): only X11 windows can be
// recorded there.
bool IsWaylandSession();

}  // namespace ostrel::replay
