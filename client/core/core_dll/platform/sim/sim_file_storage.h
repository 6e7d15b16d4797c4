// The fake world's spill files: real POSIX files, with a control that makes
// the spill writer block or fail (OstrelSim_SetSpillWriter) and a count of
// the files open.
#pragma once

#include "platform/file_storage.h"

namespace ostrel::sim {

platform::IFileStorage& SimFileStorage();

// Back to writes that succeed (releases a blocked writer); called by
// OstrelSim_Reset.
void ResetSimFileStorage();

}  // namespace ostrel::sim
