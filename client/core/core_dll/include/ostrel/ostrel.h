/*
 * Ostrel core: the flat interface of the instant-replay recorder library.
 *
 * All strings are NUL-terminated wide strings (wchar_t) except the version
 * text and the update digest text, which are narrow. bool is one byte.
 * Integer results are 32-bit signed; 0 means success.
 *
 * Result codes (one numbering for every export that returns an int):
 *   0  success
 *   1  Ostrel_StartCapture: already capturing, nothing changed
 *   2  Ostrel_SaveClipNow / Ostrel_SaveClipSeconds: not capturing, nothing done
 *   3  Ostrel_StartCapture: target is null
 *   4  Ostrel_StartCapture: the session failed to start (the reason is logged)
 *   5  Ostrel_SaveClipNow / Ostrel_SaveClipSeconds: the save failed (the reason is logged)
 *   6  not initialised; the save exports also for a null or empty folder;
 *      Ostrel_GlobalInitialize: the media platform could not start
 *   7  Ostrel_StartCapture: no hardware H.264 encoder is present (on Linux,
 *      unless OSTREL_ALLOW_SOFTWARE_ENCODER is set, see below)
 *   8  Ostrel_SaveClipNow / Ostrel_SaveClipSeconds / Ostrel_SaveClip: nothing
 *      buffered yet (the capture started moments ago); nothing written, no
 *      folder created
 *   9  Ostrel_SaveClip: invalid request (null, `size` below the first
 *      version's, unknown flag bits, secondsAfter outside 0..60);
 *      Ostrel_AddMarker: label longer than 255 characters. Nothing done.
 *  10  Ostrel_SaveClip: nothing new since the last clip saved with
 *      OSTREL_CLIP_DISCARD_SAVED; nothing written, no folder created
 *  11  Ostrel_AddMarker: the replay already holds OSTREL_MAX_MARKERS
 *      markers (or memory ran out); this one is not recorded
 *  12  Ostrel_SetReplayStorage: the folder cannot be created or written (the
 *      path and the reason are logged); nothing changed
 * Ostrel_VerifyUpdateArtifact has its own meanings for 0..4 (see there).
 * The save exports and Ostrel_AddMarker return 2 when not capturing and 6
 * when not initialised, as above.
 *
 * Threads: every export may be called from any host thread, concurrently,
 * except Ostrel_GlobalInitialize and Ostrel_GlobalShutdown, which the host
 * calls from one thread and never concurrently with each other. The log
 * callback may run on any library thread and must not call back into the
 * library.
 *
 * Failures: no export lets a C++ exception out. When memory runs out (or
 * anything else throws) inside one, it returns its failure result: 6 from
 * Ostrel_GlobalInitialize, 4 from Ostrel_StartCapture, 5 from the save
 * exports, 11 from Ostrel_AddMarker, 1 from Ostrel_VerifyUpdateArtifact,
 * false or 0.0 from the queries; the others return having done nothing
 * more. A line
 * "<Export>() failed: out of memory" is logged when memory allows. A stop
 * (Ostrel_StopCapture, Ostrel_GlobalShutdown) completes all the same.
 *
 * Linux (libostrel_core.so): the OstrelWindow argument carries an X11 window
 * id (XID) of the display named by DISPLAY; "minimised" means not viewable
 * (unmapped). Audio endpoints are PulseAudio sinks and sources, their ids the
 * device names. The environment variable OSTREL_ALLOW_SOFTWARE_ENCODER set
 * to exactly "1" lets Ostrel_StartCapture record with the software encoder
 * (libx264) on a machine without an NVIDIA or VA-API H.264 encoder, where it
 * would otherwise return 7; Ostrel_HasHardwareEncoder still answers false
 * there.
 *
 * Paths: wide paths are UTF-16 on Windows; on Linux they are code points
 * handed to the file system as UTF-8 whatever the process locale.
 */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include <stdbool.h>
#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#include <windows.h>
typedef HWND OstrelWindow;
#define OSTREL_API __declspec(dllexport)
#else
typedef void* OstrelWindow; /* opaque window handle of the platform backend */
#define OSTREL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One log line, without terminator; valid only during the call. */
typedef void (*OstrelLogCallback)(const wchar_t* line);

/* One audio endpoint; both strings valid only during the call. */
typedef void (*OstrelAudioDeviceCallback)(const wchar_t* id, const wchar_t* name, bool isDefault);

/* Joins the media platform and creates the one session. Returns 0 (also when
 * already initialised) or 6 when the platform could not start; a later call
 * retries. Blocks only on the platform start-up. */
OSTREL_API int Ostrel_GlobalInitialize(void);

/* Stops capture (waiting for a running save), destroys the session and shuts
 * the media platform down. The log callback stays registered. */
OSTREL_API void Ostrel_GlobalShutdown(void);

/* Registers the host's log callback (null switches logging off). Works in
 * every state; lines are never delivered to two threads at once. */
OSTREL_API void Ostrel_SetLogCallback(OstrelLogCallback callback);

/* Static version text "0.1.1"; the host must not free it. */
OSTREL_API const char* Ostrel_GetAppVersion(void);

/* Whether the system lists a hardware H.264 encoder. Enumerates anew on every
 * call; needs no initialisation and takes no lock. */
OSTREL_API bool Ostrel_HasHardwareEncoder(void);

/* Starts recording `target` (or, with captureMonitor, the monitor nearest to
 * it). Values of 0 or below select the defaults: maxHeight no downscaling,
 * fps 30, bitrate 6000000 bits/s, replaySeconds 60; an fps above 240 is
 * recorded at 240, with a log line. A target larger than H.264 encoders
 * take (over 4096 pixels on a side, or over 4096x2304 pixels in all) is
 * recorded scaled down to fit, aspect ratio kept, with one "[CAPABILITY]"
 * line naming both sizes. Returns 0, 1, 3, 4, 6 or 7. Blocks for
 * the whole start (device, encoder probing, threads). When the target (or
 * on Linux the X display) goes away while recording, the loss is logged,
 * capture goes on holding the last picture until the host stops it, and a
 * later start fails with 4 and a line saying why. */
OSTREL_API int Ostrel_StartCapture(OstrelWindow target, bool captureMonitor, int maxHeight, int fps,
                                   int bitrate, int replaySeconds);

/* Stops recording and discards the replay buffer. Waits for a running save
 * first; does nothing when not capturing. */
OSTREL_API void Ostrel_StopCapture(void);

/* True while a capture runs. Never waits for a save. */
OSTREL_API bool Ostrel_IsCapturing(void);

/* The frame rate the encoder keeps up with; 0.0 before 30 frames were handed
 * over, without a session, or when not capturing. */
OSTREL_API double Ostrel_GetMeasuredSustainableFps(void);

/* Writes the last replaySeconds as an MP4 clip into outputDir (created if its
 * parent exists) while capture continues. The clip ends at the moment of the
 * call and starts replaySeconds earlier (or with the oldest frame held, when
 * less is buffered). On success the clip's full path is
 * copied into outPath, cut to outPathCapacity - 1 characters plus NUL; a null
 * outPath or a capacity below 1 is allowed. Returns 0, 2, 5, 6 or 8. Blocks
 * for the whole save; saves never overlap.
 * Audio: when desktop or microphone audio was unmuted at the capture's
 * start, every clip has one AAC track covering the whole clip, silent where
 * nothing was recorded (no device, the sound service down; a log line says
 * so when a source recorded nothing in the clip's span). Only when both
 * were muted at the start has the clip no audio track. */
OSTREL_API int Ostrel_SaveClipNow(const wchar_t* outputDir, wchar_t* outPath, int outPathCapacity);

/* Ostrel_SaveClipNow for the last `seconds` only: 1 <= seconds <= the
 * replay length; any other value saves the whole replay length. Same
 * results (2 means not capturing), locks, progress and log lines. Both are
 * Ostrel_SaveClip with no flags and secondsAfter 0. */
OSTREL_API int Ostrel_SaveClipSeconds(int seconds, const wchar_t* outputDir, wchar_t* outPath,
                                      int outPathCapacity);

/* One clip request. Zero-initialise it and set `size`; a later version of
 * the library may add fields at the end, and it reads only the first `size`
 * bytes. */
typedef struct OstrelClipRequest {
  uint32_t size;     /* sizeof(OstrelClipRequest); lets the struct grow */
  int seconds;       /* the last N seconds; 0 or out of range: the replay length */
  int secondsAfter;  /* also record this long after the call before writing, 0..60 */
  uint32_t flags;    /* OSTREL_CLIP_* */
} OstrelClipRequest;

/* Audio track 1 is the mix (the default track, the one a plain player
 * plays), track 2 the desktop audio alone ("Desktop audio"), track 3 the
 * microphone alone ("Microphone"); each as long as the video and in sync
 * with it. The source tracks are unscaled: the host's volumes apply to the
 * mix only. A source muted at the save (or not recorded: muted at the
 * capture's start) is silent in its own track, as in the mix. Without an
 * audio track at all (both sources muted at the start) the flag adds none. */
#define OSTREL_CLIP_SEPARATE_AUDIO_TRACKS 0x1u
/* After this clip, no later clip reaches before its end (the moment of the
 * call plus secondsAfter); a save with nothing new since returns 10. */
#define OSTREL_CLIP_DISCARD_SAVED 0x2u

/* Markers the replay holds at most (Ostrel_AddMarker returns 11 beyond). */
#define OSTREL_MAX_MARKERS 1024

/* The one save export the others are made of: the last `seconds` before the
 * call, plus `secondsAfter` after it, as one MP4 clip in outputDir (see
 * Ostrel_SaveClipNow for the folder, the path buffer and the audio).
 * With secondsAfter > 0 the call returns once the clip, which then ends
 * exactly secondsAfter after the call, is written; meanwhile the progress
 * is stage 5 (waiting, done of total milliseconds). Ostrel_StopCapture,
 * Ostrel_GlobalShutdown or a device loss during that wait ends it at once:
 * the clip then ends where the recording did and the call returns 0 with
 * it (a line "SaveClip: the wait after the request ended early ..." says
 * so), or 8 when nothing was recorded.
 * Clips carry a chapter for every marker (Ostrel_AddMarker) in their span.
 * Returns 0, 2, 5, 6, 8, 9 or 10; checks the request (9) before the folder
 * (6). Blocks for the whole save; saves never overlap. */
OSTREL_API int Ostrel_SaveClip(const OstrelClipRequest* request, const wchar_t* outputDir, wchar_t* outPath,
                               int outPathCapacity);

/* Marks this moment of the recording with `label` (null or empty allowed;
 * up to 255 characters, else 9). Every clip that spans the moment carries
 * an MP4 chapter starting there, titled with the label, running to the
 * next marker or the clip's end. Markers leave the replay with the video
 * they belong to (and go at a stop). Returns 0, 2, 6, 9 or 11; never waits
 * for a save. */
OSTREL_API int Ostrel_AddMarker(const wchar_t* label);

/* Progress of a running save: stage 1 preparing, 2 audio, 3 writing video
 * (done of total segments), 4 finishing, 5 waiting for the time after the
 * request (Ostrel_SaveClip's secondsAfter: done of total milliseconds); 0
 * when idle. Null pointers are skipped. Returns whether a save is running.
 * Never waits for the save. */
OSTREL_API bool Ostrel_GetSaveProgress(int* stage, int* done, int* total);

/* Bounds the memory the replay takes, from the next start. memoryLimitMB <= 0
 * means no limit (the whole replay in memory). With a limit and no folder
 * (null or empty), the replay is the newest part that fits and a log line
 * says how many seconds it holds. With a limit and a folder (created if
 * missing), what does not fit moves to files in that folder, up to the
 * replay length; saves read both parts alike. Those files can be opened by
 * the current user only, hold no name on Linux (their space comes back when
 * they close, also when the process is killed) and are deleted on close on
 * Windows; they go as their part of the replay ages out, at stop and at
 * shutdown, and a start removes any an earlier process left. A disk that is
 * slow, stalls or fills never costs a frame: memory grows to the limit plus
 * a quarter of it (8 MB at least), then the oldest part not yet written is
 * given up with a log line. With a limit, a start on glibc also fixes the C
 * heap's mmap threshold at 1 MB for the rest of the process (blocks that
 * large go back to the system when freed, as Windows's heap does), so that
 * freed encoder and replay buffers do not stay resident beside the limit.
 * Returns 0, 6 or 12 (the folder is checked now; a refused folder keeps the
 * previous settings). */
OSTREL_API int Ostrel_SetReplayStorage(const wchar_t* folder, int memoryLimitMB);

/* Whether the capture border is drawn; applies from the next start. */
OSTREL_API void Ostrel_SetCaptureBorderEnabled(bool enabled);

/* Audio volumes, mutes and endpoint ids (null or empty: system default).
 * Endpoints and mutes apply from the next start; volumes and mutes are read
 * by each save. Ignored before initialisation. */
OSTREL_API void Ostrel_SetAudioSettings(float desktopVolume, float micVolume, bool desktopMuted,
                                        bool micMuted, const wchar_t* desktopDeviceId,
                                        const wchar_t* micDeviceId);

/* Lists the active render (captureDevices false) or capture endpoints on the
 * calling thread, one callback per endpoint. Needs no initialisation. */
OSTREL_API void Ostrel_EnumerateAudioDevices(bool captureDevices, OstrelAudioDeviceCallback callback);

/* Verifies an update file: SHA-256 of the whole file, Ed25519 signature (64
 * bytes) over the 32 digest bytes with the built-in key.
 *   0 valid, 1 file could not be read or hashed, or the file at the path
 *   when the check ended is not the file hashed as it was opened (replaced,
 *   or written to, during the check), 3 null path / null signature / length
 *   other than 64, 4 signature does not verify.
 * A result is about the file at the path during the call only: whoever can
 * write there may change it right after. A host therefore copies the update
 * into a folder only it can write, verifies that private copy, and installs
 * from that same copy.
 * When hashHexOutCapacity >= 65 and the file was hashed, the 64 lowercase
 * hex digits and a NUL are written to hashHexOut (also for results 3 and 4).
 * Stateless; any thread, any state. */
OSTREL_API int Ostrel_VerifyUpdateArtifact(const wchar_t* path, const uint8_t* signature,
                                           int signatureLength, char* hashHexOut,
                                           int hashHexOutCapacity);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_OSTREL_H */
