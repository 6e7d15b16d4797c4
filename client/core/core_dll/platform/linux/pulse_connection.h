// One connection to the PulseAudio server (PipeWire's pulse server works the
// same): a threaded main loop with its own event thread and a context on it.
//
// Every call into libpulse on a context or a stream of this connection is
// made with the loop locked (PulseLock); the loop's thread runs the
// callbacks with the lock held. Synchronous queries issue an operation and
// wait for it with Wait, which gives up when the server goes away.
#pragma once

#include <pulse/pulseaudio.h>

#include <mutex>
#include <memory>
#include <string>

#include "platform/hresult.h"

namespace ostrel::linuxp {

class PulseWatcher;

// AUDCLNT_E_SERVICE_NOT_RUNNING: no sound server to talk to.
constexpr Hresult kAudioServiceNotRunning = static_cast<Hresult>(0x88890010);
// AUDCLNT_E_WRONG_ENDPOINT_TYPE: loopback of a capture endpoint or the reverse.
constexpr Hresult kAudioWrongEndpointType = static_cast<Hresult>(0x88890003);
// AUDCLNT_E_ALREADY_INITIALIZED, AUDCLNT_E_OUT_OF_ORDER, AUDCLNT_E_INVALID_SIZE.
constexpr Hresult kAudioAlreadyInitialized = static_cast<Hresult>(0x88890002);
constexpr Hresult kAudioOutOfOrder = static_cast<Hresult>(0x88890007);
constexpr Hresult kAudioInvalidSize = static_cast<Hresult>(0x88890011);

class PulseConnection {
 public:
  // Connects and waits until the context is ready; null when the server
  // cannot be reached (the reason in *result).
  static std::shared_ptr<PulseConnection> Open(Hresult* result);

  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* Loop() const { return loop_; }
  pa_context* Context() const { return context_; }
  // Whether the context is still connected (loop locked).
  bool Alive() const;
  // Waits for an operation started with the loop locked and unrefs it;
  // false when the context died before it completed.
  bool Wait(pa_operation* operation);
  // Wakes every Wait; callbacks of this connection's operations call it.
  void Signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // The endpoint-change listener of this connection (loop locked).
  PulseWatcher& Watcher() { return *watcher_; }

 private:
  PulseConnection() = default;
  static void OnContextState(pa_context* context, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  // Destroyed after the loop has stopped, so no callback outlives it.
  std::unique_ptr<PulseWatcher> watcher_;
};

// Holds the connection's loop lock for a scope. Never taken on the loop's
// own thread (callbacks already hold it).
class PulseLock {
 public:
  explicit PulseLock(const PulseConnection& connection) : loop_(connection.Loop()) {
    pa_threaded_mainloop_lock(loop_);
  }
  ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

std::wstring PulseWide(const char* text);
std::string PulseUtf8(const std::wstring& text);

}  // namespace ostrel::linuxp
