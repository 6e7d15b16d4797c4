// Window capture: the capture item, frame pool and capture session; the
// frame-arrived and item-closed handlers; the pacer that repeats the last
// frame of a still window.
#pragma once

#include "ostrel_session.h"

namespace ostrel {

// Item for the window, or for its monitor, into captureItem. Where the
// window-capture service cannot be activated and the platform has a fallback
// source, the item comes from the fallback, with one [CAPABILITY] line.
// Records the source in captureService. Throws HresultError.
void CreateCaptureItem(SessionState& state, platform::WindowHandle target, platform::MonitorHandle monitor,
                       bool captureMonitor);
// Free-threaded pool of 4 buffers at capture size (2 above kMaxEncodedSide) and the capture session of
// the item's source, with the border setting and the frame interval applied.
// Throws HresultError.
void CreateFramePoolAndSession(SessionState& state);
// Applies borderEnabled when the platform has the property; a failure only
// warns.
void ConfigureBorder(SessionState& state);

// Subscribes the handlers; frames are accepted from here on.
void SubscribeItemClosed(SessionState& state);
void SubscribeFrameArrived(SessionState& state);
// Ends the frame subscription and waits until no frame handler runs any more,
// so that what the handler uses can be released.
void UnsubscribeFrameArrivedAndWait(SessionState& state);
// Ends the closed subscription (session teardown or replacement) and waits
// for a running closed handler.
void UnsubscribeItemClosedAndWait(SessionState& state);

void OnFrameArrived(SessionState& state);
void OnItemClosed(SessionState& state);

// Pacer worker body.
void RunPacer(SessionState& state);

}  // namespace ostrel
