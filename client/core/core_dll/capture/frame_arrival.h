// Window capture: the capture item, frame pool and capture session; the
// frame-arrived and item-closed handlers; the pacer that repeats the last
// frame of a still window.
#pragma once

#include "capture/capture_state.h"

namespace ostrel {

// The border setting, cursor capture off and the frame interval on the
// session OpenCaptureSource made. Throws HresultError.
void ConfigureCaptureSession(CaptureState& state);
// Applies borderEnabled when the platform has the property; a failure only
// warns.
void ConfigureBorder(CaptureState& state);

// Subscribes the handlers; frames are accepted from here on.
void SubscribeItemClosed(CaptureState& state);
void SubscribeFrameArrived(CaptureState& state);
// Ends the frame subscription and waits until no frame handler runs any more,
// so that what the handler uses can be released.
void UnsubscribeFrameArrivedAndWait(CaptureState& state);
// Ends the closed subscription (session teardown or replacement) and waits
// for a running closed handler.
void UnsubscribeItemClosedAndWait(CaptureState& state);

void OnFrameArrived(CaptureState& state);
void OnItemClosed(CaptureState& state);

// Pacer worker body.
void RunPacer(CaptureState& state);

}  // namespace ostrel
