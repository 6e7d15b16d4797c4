#include "platform/linux/pulse_connection.h"

#include "platform/linux/pulse_watcher.h"
#include "platform/posix/posix_system.h"

namespace ostrel::linuxp {

std::shared_ptr<PulseConnection> PulseConnection::Open(Hresult* result) {
  *result = kAudioServiceNotRunning;
  std::shared_ptr<PulseConnection> connection(new PulseConnection());
  connection->loop_ = pa_threaded_mainloop_new();
  if (connection->loop_ == nullptr) return nullptr;
  connection->watcher_ = std::make_unique<PulseWatcher>(*connection);
  pa_threaded_mainloop_set_name(connection->loop_, "ostrel-pulse");
  connection->context_ = pa_context_new(pa_threaded_mainloop_get_api(connection->loop_), "Ostrel");
  if (connection->context_ == nullptr) return nullptr;
  pa_context_set_state_callback(connection->context_, &PulseConnection::OnContextState, connection.get());
  if (pa_threaded_mainloop_start(connection->loop_) < 0) return nullptr;

  PulseLock lock(*connection);
  // Never spawn a server of our own: a desktop without one has no sound.
  if (pa_context_connect(connection->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return nullptr;
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(connection->context_);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return nullptr;
    pa_threaded_mainloop_wait(connection->loop_);
  }
  *result = hr::kOk;
  return connection;
}

PulseConnection::~PulseConnection() {
  if (context_ != nullptr) {
    if (loop_ != nullptr) pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    if (loop_ != nullptr) pa_threaded_mainloop_unlock(loop_);
  }
  if (loop_ != nullptr) {
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
}

bool PulseConnection::Alive() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

bool PulseConnection::Wait(pa_operation* operation) {
  if (operation == nullptr) return false;
  bool done = true;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    if (!Alive()) {
      pa_operation_cancel(operation);
      done = false;
      break;
    }
    pa_threaded_mainloop_wait(loop_);
  }
  if (pa_operation_get_state(operation) == PA_OPERATION_CANCELLED) done = false;
  pa_operation_unref(operation);
  return done;
}

void PulseConnection::OnContextState(pa_context*, void* self) {
  static_cast<PulseConnection*>(self)->Signal();
}

std::wstring PulseWide(const char* text) {
  return text != nullptr ? platform::posix::Utf8ToWide(text) : std::wstring();
}

std::string PulseUtf8(const std::wstring& text) { return platform::posix::WideToUtf8(text); }

}  // namespace ostrel::linuxp
