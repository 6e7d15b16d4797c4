// Volumes, mutes and endpoint ids of the two audio sources, as the host sets
// them. Read at capture start (which workers, which endpoints) and by each
// save (gains).
#pragma once

#include <string>

namespace ostrel {

struct AudioSettings {
  float desktopVolume = 0.6f;
  float micVolume = 0.6f;
  bool desktopMuted = false;
  bool micMuted = false;
  std::wstring desktopDeviceId;  // empty: system default render endpoint
  std::wstring micDeviceId;      // empty: system default capture endpoint
};

}  // namespace ostrel
