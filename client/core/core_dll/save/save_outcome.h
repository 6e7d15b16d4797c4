// How a save ended, as the exports tell it apart.
#pragma once

namespace ostrel {

enum class SaveOutcome {
  kSaved,            // the clip's full path is in outPath
  kNothingBuffered,  // no segment is in the ring yet: nothing written, no folder made
  kFailed,           // the reason is logged; nothing of the clip is left behind
  kNothingNew,       // nothing recorded since a clip saved with discard-on-save ended
};

}  // namespace ostrel
