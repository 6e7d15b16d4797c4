// The backend's own X11 connection (xcb) with its event thread.
//
// One connection per display: Current() opens one for $DISPLAY and opens a
// new one when DISPLAY changed or the server went away; whoever uses a
// connection keeps it alive through its shared pointer. The event thread
// hands every event to the registered listeners. Unregistering waits for an
// event being handed out, so a listener's owner unregisters it before it
// goes, and nothing is ever destroyed on the event thread.
#pragma once

#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::linuxp {

class X11EventListener {
 public:
  virtual ~X11EventListener() = default;
  // On the event thread; must be short and must not unregister or destroy
  // listeners.
  virtual void OnX11Event(const xcb_generic_event_t& event) = 0;
  // Once, on the event thread, when the connection broke (the server went
  // away); `cause` says how, for the log. Same rules as OnX11Event.
  virtual void OnX11ConnectionLost(const std::wstring& /*cause*/) {}
};

// A monitor: a RandR output with a CRTC (the whole screen when RandR knows
// none). `id` is the output's id (or the root window's).
struct X11Monitor {
  uint32_t id = 0;
  int32_t x = 0, y = 0;
  uint32_t width = 0, height = 0;
};

struct X11Geometry {
  int32_t x = 0, y = 0;  // top-left of the contents, root coordinates
  uint32_t width = 0, height = 0;
  uint16_t border = 0;
  bool viewable = false;
};

class X11Connection {
 public:
  // The connection to $DISPLAY; null when no server answers.
  static std::shared_ptr<X11Connection> Current();

  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* Raw() const { return connection_; }
  xcb_window_t Root() const { return root_; }
  bool Broken() const;
  bool HasComposite() const { return composite_; }
  bool HasShm() const { return shm_; }
  // RENDER's picture format for pixels of `depth` (24: x8r8g8b8, 32:
  // a8r8g8b8), 0 without RENDER or without such a format.
  xcb_render_pictformat_t PictFormat(uint8_t depth) const {
    return depth == 24 ? format24_ : depth == 32 ? format32_ : 0;
  }
  uint8_t DamageEventBase() const { return damageEventBase_; }
  // The response type of RandR's notify events (output changes), or -1
  // without RandR.
  int RandrNotifyEvent() const { return randr_ ? randrEventBase_ + XCB_RANDR_NOTIFY : -1; }

  // The window's existence, viewability and geometry; false when it does
  // not exist.
  bool QueryWindow(xcb_window_t window, X11Geometry* geometry);
  std::vector<X11Monitor> Monitors();

  void AddListener(X11EventListener* listener);
  // Once it returns, the listener is not called any more.
  void RemoveListener(const X11EventListener* listener);

 private:
  X11Connection(xcb_connection_t* connection, int screen, std::string display);
  void EventLoop();
  // Hands `call` to every listener, with the dispatch bookkeeping that
  // RemoveListener waits on.
  template <typename Call>
  void Dispatch(const Call& call);
  std::wstring LossCause() const;

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  xcb_window_t wakeWindow_ = 0;  // receives the event that ends the loop
  std::string display_;
  bool composite_ = false;
  bool shm_ = false;
  bool randr_ = false;
  xcb_render_pictformat_t format24_ = 0;
  xcb_render_pictformat_t format32_ = 0;
  uint8_t damageEventBase_ = 0;
  uint8_t randrEventBase_ = 0;
  std::mutex listenersMutex_;
  std::condition_variable dispatchDone_;
  std::vector<X11EventListener*> listeners_;
  bool dispatching_ = false;
  std::thread eventThread_;
};

}  // namespace ostrel::linuxp
