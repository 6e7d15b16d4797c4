// Internal face of the exports module: the host-callback dispatch that every
// session's sink wraps (also driven directly by the concurrency tests).
#pragma once

#include <string>

namespace ostrel {

// Hands one line to the host log queue: its delivery thread calls the
// registered host callback under callbackLock, one line at a time and in
// order, so calls into the host never overlap and no capture or encoder
// thread ever waits for the host.
void DispatchLogLine(const std::wstring& line);

// Waits until every line dispatched before the call reached the callback.
// Exports that act for the host call it before returning, so a host sees the
// lines of its own call (a failure's reason) when the call returns.
void FlushLogLines();

// Called when the process ends with the library still loaded (Windows:
// DLL_PROCESS_DETACH at process exit). The other threads are gone, possibly
// in the middle of holding a lock, and the loader lock is held: the session
// and the log queue are left to the operating system instead of being
// stopped, joined and released by the static destructors that run next.
void AbandonGlobalsAtProcessExit();

}  // namespace ostrel
