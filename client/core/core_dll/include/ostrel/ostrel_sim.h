/*
 * Control API of the fake world ("sim" backend): a scriptable, deterministic
 * world of windows, monitors, adapters, a GPU device, hardware-encoder
 * presence and audio endpoints. Plain C, usable from ctypes or P/Invoke.
 *
 * The world is one per process and is what the library's platform layer
 * sees when built with the sim backend. Every function may be called from
 * any thread at any time, also while capture runs; changes take effect at
 * once (a window resize is seen by the next captured frame, an endpoint
 * removal by the next audio call, ...).
 *
 * Windows show an animated test scene: moving colour bars, a frame counter
 * and the capture time in large digits. With sync marks on (period P), every
 * window shows full white for 50 ms and every render endpoint adds a 10 ms
 * full-scale click, both starting together every P milliseconds of the
 * library's tick clock, so a saved clip's audio-video offset can be measured.
 *
 * Status codes are 32-bit HRESULT values with the Windows numbers.
 */
#ifndef OSTREL_OSTREL_SIM_H
#define OSTREL_OSTREL_SIM_H

#include <stdbool.h>
#include <stdint.h>
#include <wchar.h>

#include "ostrel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- world ---------------------------------------------------------------- */

/* Default world: one 1920x1080 monitor on one hardware adapter, one default
 * render and one default capture endpoint (48 kHz stereo float, sine tones),
 * no sync marks, no windows, no injected failures, hardware encoder present
 * and D3D11-aware, device healthy, GPU priority honoured, no staging delay.
 *
 * Meant for moments when nothing captures, but safe at any time. What still
 * exists is not freed: every window is destroyed (its capture items fire
 * their closed event, its frame pools deliver nothing more), monitors other
 * than monitor 0 are removed likewise, monitor 0 keeps its handle and its
 * capture items, devices stay usable and follow the reset switches. The
 * closed events are delivered before the call returns (except when it is
 * called from such an event handler). Counters (delivered frames, last
 * device adapter, border setting) start again. */
OSTREL_API void OstrelSim_Reset(void);

/* ---- adapters and monitors ------------------------------------------------ */

/* Adds an adapter; returns its index (0-based, enumeration order). */
OSTREL_API int OstrelSim_AddAdapter(const wchar_t* description, bool software);
/* Changes an existing adapter's description (NULL keeps it) and software
 * flag, e.g. to make a machine whose only adapter is a software one. */
OSTREL_API void OstrelSim_SetAdapter(int adapter, const wchar_t* description, bool software);
/* Adds a monitor driven by `adapter` (-1: by no adapter, as a remote or
 * indirect display); returns its index. Monitor 0 is the primary. */
OSTREL_API int OstrelSim_AddMonitor(int width, int height, int adapter);
/* The monitor handle (HMONITOR stand-in) of monitor `monitor`; NULL when
 * there is no such monitor. Handles are stable across OstrelSim_Reset. */
OSTREL_API void* OstrelSim_GetMonitorHandle(int monitor);

/* ---- sleep ----------------------------------------------------------------- */

/* A system sleep of `seconds` (0..86400), as the process sees it on waking:
 * the performance counter jumps forward at once, with no frames and no audio
 * for the time slept. loseDevice: the GPU device is lost at the resume (as
 * OstrelSim_LoseDevice with DXGI_ERROR_DEVICE_REMOVED, until cleared);
 * invalidateEndpoints: the next two packet-size calls of the audio streams
 * (desktop and microphone) fail with AUDCLNT_E_DEVICE_INVALIDATED, as the
 * streams of a resumed system do. The clock never goes back, also not after
 * a reset. */
OSTREL_API void OstrelSim_Sleep(double seconds, bool loseDevice, bool invalidateEndpoints);

/* ---- windows -------------------------------------------------------------- */

/* Animated window at 60 Hz on the primary monitor. Returns its handle
 * (never reused, also not after a reset), or NULL when a size is outside
 * 1..16384. Functions given an unknown or destroyed handle do nothing. */
OSTREL_API void* OstrelSim_CreateWindow(int width, int height);
/* Destroys the window; a capture item for it fires its closed event. */
OSTREL_API void OstrelSim_DestroyWindow(void* window);
/* A minimised window gives a zero-size capture item. */
OSTREL_API void OstrelSim_SetWindowMinimized(void* window, bool minimized);
/* New content size; frames are delivered at the new size from now on. */
OSTREL_API void OstrelSim_ResizeWindow(void* window, int width, int height);
/* Moves the window onto another monitor. */
OSTREL_API void OstrelSim_SetWindowMonitor(void* window, int monitor);
/* Content change rate in Hz; 0 makes the window still (one frame at the
 * start, then nothing until the rate changes or what it shows changes: a
 * resize, a restore from minimised, a sync flash). Animated frames come at
 * tick-clock multiples of 1/hz, so they line up with sync marks. */
OSTREL_API void OstrelSim_SetWindowContentRate(void* window, double hz);
/* Each animated frame of every window arrives up to `milliseconds` after
 * its content time (a fixed pseudo-random spread per frame; 0, the default,
 * delivers on time). Values are clamped to 0..1000. */
OSTREL_API void OstrelSim_SetFrameDeliveryJitterMs(double milliseconds);
/* false: no capture pool receives any frame (a target that never
 * delivers); true (default) resumes delivery. */
OSTREL_API void OstrelSim_SetFrameDeliveryEnabled(bool enabled);
/* Closing a started capture session stops its delivery and then reports
 * `status` (0 clears). */
OSTREL_API void OstrelSim_SetCaptureSessionCloseFailure(uint32_t status);
/* Setting a capture session's border reports `status` (0 clears). */
OSTREL_API void OstrelSim_SetBorderFailure(uint32_t status);
/* The next `count` reads of a delivered frame's surface fail with `status`
 * (0 or a negative count clears). */
OSTREL_API void OstrelSim_FailFrameSurfaceAccess(int count, uint32_t status);
/* Frames delivered to all capture pools so far (for tests). */
OSTREL_API uint64_t OstrelSim_GetDeliveredFrameCount(void);
/* false: the window-capture service cannot be activated (its item creation
 * answers REGDB_E_CLASSNOTREG 0x80040154, as on Windows before 10 1903 and
 * under Wine), so capture falls back to the polling source; true (default)
 * makes it available again. Pools already running are not affected. */
OSTREL_API void OstrelSim_SetWindowCaptureAvailable(bool available);
/* Makes one step of the window-capture service (never of the fallback)
 * answer `status` until cleared with 0, as a system where the service is
 * there but incomplete: "CreateItemForWindow" and "CreateItemForMonitor"
 * (E_NOINTERFACE 0x80004002: no item interop, before Windows 10 1903; or an
 * item the service cannot make for this window), "CreateFramePool"
 * (E_NOINTERFACE: no free-threaded frame pool, before 1809) and
 * "CreateCaptureSession". Unknown names do nothing. */
OSTREL_API void OstrelSim_FailWindowCaptureCall(const char* call, uint32_t status);
/* Frames delivered by the fallback (polling) capture source so far; they
 * are also counted by OstrelSim_GetDeliveredFrameCount. The fallback copies
 * the target once per capture frame period while it is visible, whatever its
 * content rate, and has no border setting. */
OSTREL_API uint64_t OstrelSim_GetFallbackFrameCount(void);
/* Frame pools created and not yet closed (for tests: a stopped capture
 * leaves none behind). */
OSTREL_API int OstrelSim_GetOpenFramePoolCount(void);
/* The border setting the last capture session received: -1 none since the
 * last reset, 0 no border, 1 border required. */
OSTREL_API int OstrelSim_GetBorderRequired(void);
/* The cursor setting the last capture session received: -1 none since the
 * last reset, 0 off, 1 on. */
OSTREL_API int OstrelSim_GetCursorCaptureEnabled(void);
/* Frame pool recreations since the last reset (a capture recreates its pool
 * when the content size changes, e.g. on a window resize). */
OSTREL_API int OstrelSim_GetFramePoolRecreateCount(void);

/* ---- GPU device ----------------------------------------------------------- */

/* Every device created so far (and every later one until the next call with
 * 0) reports `reason` from GetDeviceRemovedReason; 0 heals. */
OSTREL_API void OstrelSim_LoseDevice(uint32_t reason);
/* Whether SetGPUThreadPriority is honoured (default) or refused. */
OSTREL_API void OstrelSim_SetGpuPriorityHonoured(bool honoured);
/* Staging copies become mappable `milliseconds` after their copy was
 * issued (0: at once). A large value makes every map report "still
 * drawing", which drives the encoder's stall path. */
OSTREL_API void OstrelSim_SetStagingDelayMs(int milliseconds);
/* Makes the next `count` texture creations fail with `status` (0 or
 * negative count clears). Encoders create five textures each. */
OSTREL_API void OstrelSim_FailTextureCreation(int count, uint32_t status);
/* Every texture creation takes `milliseconds` longer (0: none), so building
 * an encoder becomes slow. */
OSTREL_API void OstrelSim_SetTextureCreationDelayMs(int milliseconds);
/* Whether the video processor can output NV12 (default true). */
OSTREL_API void OstrelSim_SetVideoProcessorNv12(bool supported);
/* Whether the device has a video processor at all (default true); without
 * one, asking for it answers E_NOINTERFACE, as under Wine. */
OSTREL_API void OstrelSim_SetVideoProcessorPresent(bool present);
/* Makes device creation fail with `status` (0 clears). */
OSTREL_API void OstrelSim_SetDeviceCreationFailure(uint32_t status);
/* Index of the adapter the most recent device was created on (-1: none
 * since the last reset). A device created without an adapter goes to the
 * first hardware adapter, or to the first adapter when all are software. */
OSTREL_API int OstrelSim_GetLastDeviceAdapter(void);
/* Devices that exist right now (for tests: nothing leaks a device). */
OSTREL_API int OstrelSim_GetLiveDeviceCount(void);

/* ---- media platform and hardware encoders --------------------------------- */

OSTREL_API void OstrelSim_SetHardwareEncoderPresent(bool present);
/* The MF_SA_D3D11_AWARE attribute the hardware encoder reports. */
OSTREL_API void OstrelSim_SetHardwareEncoderD3D11Aware(bool aware);
/* Puts h264_vaapi, an encoder that takes only hardware frames, at the head of
 * the encoder chain. The fake world has no hardware device to give it. */
OSTREL_API void OstrelSim_SetHardwareFramesEncoderFirst(bool first);
/* How many times the media platform was asked for an encoder's hardware
 * device since the last reset (it never has one). */
OSTREL_API int OstrelSim_GetHardwareDeviceRequestCount(void);
/* Makes media-platform start-up fail with `status` (0 clears). */
OSTREL_API void OstrelSim_SetMediaStartupFailure(uint32_t status);
/* How many apartment joins the calling thread holds (0: it is in none). */
OSTREL_API int OstrelSim_GetApartmentDepthOfThisThread(void);
/* Since the last reset: apartment joins of every thread, leaves of a thread
 * that held no join, and the holds of the apartment not yet released. */
OSTREL_API void OstrelSim_GetApartmentCounts(uint64_t* joins, uint64_t* unmatchedLeaves, int* holds);

/* ---- audio endpoints ------------------------------------------------------ */

/* sampleFormat: 0 int16, 1 float32, 2 int24 (packed 3 bytes), 3 int32.
 * friendlyName NULL: the name cannot be read. Returns false when the id
 * exists already or an argument is invalid. */
OSTREL_API bool OstrelSim_AddAudioEndpoint(bool capture, const wchar_t* id,
                                           const wchar_t* friendlyName /* NULL: unreadable */,
                                           int sampleRate, int channels, int sampleFormat,
                                           bool extensible, bool makeDefault);
/* Removes the endpoint (a capture from it sees its packet calls fail). */
OSTREL_API void OstrelSim_RemoveAudioEndpoint(const wchar_t* id);
/* kind 0 silence, 1 sine of frequencyHz at amplitude (full scale 1.0). */
OSTREL_API void OstrelSim_SetAudioSignal(const wchar_t* id, int kind, double frequencyHz,
                                         double amplitude);
/* Makes a named call fail with `status` for the endpoint `id` (NULL: every
 * endpoint), `count` times (-1: until cleared with status 0). Names:
 * "GetDevice", "GetDefaultAudioEndpoint", "GetId", "Activate",
 * "GetMixFormat", "Initialize", "GetService", "Start", "GetNextPacketSize",
 * "GetBuffer", "ReleaseBuffer", "GetRenderService", "CreateDeviceEnumerator",
 * "RegisterEndpointNotificationCallback", "EnumAudioEndpoints". */
OSTREL_API void OstrelSim_FailAudioCall(const wchar_t* id, const char* call, uint32_t status, int count);
/* Shifts the device position of the next packet of endpoint `id` forward by
 * `frames` (a discontinuity), or marks its next `packets` packets silent. */
OSTREL_API void OstrelSim_InjectAudioGap(const wchar_t* id, int frames);
OSTREL_API void OstrelSim_InjectSilentPackets(const wchar_t* id, int packets);
/* The endpoint's sample clock runs `ppm` parts per million fast (negative:
 * slow) against the tick clock: it delivers rate x (1 + ppm / 10^6) frames
 * per second and stamps packets with their true capture time. Applies from
 * the next stream start; |ppm| < 100000. */
OSTREL_API void OstrelSim_SetAudioClockPpm(const wchar_t* id, double ppm);
/* How the loopback of render endpoint `id` behaves while it plays nothing
 * (its signal is silence, no sync click, no render stream running on it):
 * mode 0 delivers silent packets as usual; 1 delivers no packets and its
 * device position stands still; 2 delivers no packets and its position runs
 * on (the first packet after the silence jumps). A running render stream,
 * silent or not, keeps the loopback delivering. */
OSTREL_API void OstrelSim_SetLoopbackIdle(const wchar_t* id, int mode);
/* Render streams running on endpoint `id` now (what a loopback capture opens
 * to keep the endpoint going); -1 for an unknown id. */
OSTREL_API int OstrelSim_RunningRenderStreams(const wchar_t* id);

/* ---- allocation failures -------------------------------------------------- */

/* On the calling thread only: after `skip` more allocations through C++
 * operator new, the next `count` fail (std::bad_alloc; the nothrow forms
 * answer NULL). count 0 clears. Reaches every allocation made on that
 * thread: the library's log path, string conversions and containers, and in
 * a program that links the library statically also those inside the C++
 * runtime. Other threads are never affected. */
OSTREL_API void OstrelSim_FailAllocations(int skip, int count);
/* Failures still armed on the calling thread (0 once all have happened). */
OSTREL_API int OstrelSim_GetPendingAllocationFailures(void);

/* ---- spill files ---------------------------------------------------------- */

/* How the spill writer's writes behave (Ostrel_SetReplayStorage): they
 * succeed; they block until the mode changes (a stalled disk; a stop waits
 * for the write in progress, so release it first); or they fail with
 * `status` (0: 0x80070070, the disk is full). */
#define OSTREL_SIM_SPILL_WRITES_SUCCEED 0
#define OSTREL_SIM_SPILL_WRITES_BLOCK 1
#define OSTREL_SIM_SPILL_WRITES_FAIL 2
OSTREL_API void OstrelSim_SetSpillWriter(int mode, uint32_t status);
/* Spill files open now (each is gone from the disk once closed). */
OSTREL_API int OstrelSim_GetOpenSpillFileCount(void);
/* Spill writes that succeeded since the process began. */
OSTREL_API uint64_t OstrelSim_GetSpillWriteCount(void);
/* Writers waiting in a blocked write now. */
OSTREL_API int OstrelSim_GetBlockedSpillWriterCount(void);

/* ---- sync marks ----------------------------------------------------------- */

/* periodMs 0: off. */
OSTREL_API void OstrelSim_SetSyncMarks(int periodMs);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_OSTREL_SIM_H */
