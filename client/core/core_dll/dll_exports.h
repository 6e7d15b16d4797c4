// Internal face of the exports module: the host-callback dispatch that every
// session's sink wraps (also driven directly by the concurrency tests).
#pragma once

#include <string>

namespace ostrel {

// Delivers one line to the registered host callback under callbackLock, so
// calls into the host never overlap.
void DispatchLogLine(const std::wstring& line);

}  // namespace ostrel
