#include "platform/linux/x11_connection.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ostrel::linuxp {
namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> Own(T* reply) {
  return Reply<T>(reply, &std::free);
}

std::string DisplayName() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr ? display : "";
}

std::mutex g_currentMutex;
std::shared_ptr<X11Connection> g_current;
std::string g_currentDisplay;

}  // namespace

std::shared_ptr<X11Connection> X11Connection::Current() {
  std::lock_guard lock(g_currentMutex);
  std::string display = DisplayName();
  if (g_current && !g_current->Broken() && g_currentDisplay == display) return g_current;
  g_current.reset();
  int screen = 0;
  xcb_connection_t* connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screen);
  if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
    if (connection != nullptr) xcb_disconnect(connection);
    return nullptr;
  }
  g_current.reset(new X11Connection(connection, screen, display));
  g_currentDisplay = display;
  return g_current;
}

X11Connection::X11Connection(xcb_connection_t* connection, int screen, std::string display)
    : connection_(connection), display_(std::move(display)) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screen && it.rem > 0; ++i) xcb_screen_next(&it);
  root_ = it.data->root;

  // Every extension is used only after its version was agreed.
  auto composite = Own(xcb_composite_query_version_reply(
      connection_, xcb_composite_query_version(connection_, 0, 4), nullptr));
  composite_ = composite && (composite->major_version > 0 || composite->minor_version >= 2);
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(connection_, &xcb_damage_id);
  if (damage != nullptr && damage->present) {
    damageEventBase_ = damage->first_event;
    Own(xcb_damage_query_version_reply(connection_, xcb_damage_query_version(connection_, 1, 1), nullptr));
  }
  // Damage 1.1 needs XFixes regions to be known to the server's client.
  Own(xcb_xfixes_query_version_reply(connection_, xcb_xfixes_query_version(connection_, 5, 0), nullptr));
  auto shm = Own(xcb_shm_query_version_reply(connection_, xcb_shm_query_version(connection_), nullptr));
  shm_ = static_cast<bool>(shm);
  // RENDER 0.6 sets picture transforms and filters (the scaled reads).
  auto render =
      Own(xcb_render_query_version_reply(connection_, xcb_render_query_version(connection_, 0, 11), nullptr));
  if (render && (render->major_version > 0 || render->minor_version >= 6)) {
    auto formats =
        Own(xcb_render_query_pict_formats_reply(connection_, xcb_render_query_pict_formats(connection_), nullptr));
    for (auto entry = formats ? xcb_render_query_pict_formats_formats_iterator(formats.get())
                              : xcb_render_pictforminfo_iterator_t{};
         entry.rem > 0; xcb_render_pictforminfo_next(&entry)) {
      const xcb_render_pictforminfo_t& format = *entry.data;
      const xcb_render_directformat_t& direct = format.direct;
      const bool rgb = format.type == XCB_RENDER_PICT_TYPE_DIRECT && direct.red_shift == 16 &&
                       direct.red_mask == 0xFF && direct.green_shift == 8 && direct.green_mask == 0xFF &&
                       direct.blue_shift == 0 && direct.blue_mask == 0xFF;
      if (rgb && format.depth == 24 && direct.alpha_mask == 0) format24_ = format.id;
      if (rgb && format.depth == 32 && direct.alpha_shift == 24 && direct.alpha_mask == 0xFF) format32_ = format.id;
    }
  }
  auto randr = Own(xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 3), nullptr));
  randr_ = randr && (randr->major_version > 1 || randr->minor_version >= 3);
  if (randr_) {
    // An output switched off or unplugged ends its monitor's items.
    randrEventBase_ = xcb_get_extension_data(connection_, &xcb_randr_id)->first_event;
    xcb_randr_select_input(connection_, root_, XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }

  wakeWindow_ = xcb_generate_id(connection_);
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, wakeWindow_, root_, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_flush(connection_);
  eventThread_ = std::thread([this] { EventLoop(); });
}

X11Connection::~X11Connection() {
  // A client message to our own window ends the loop; a broken connection
  // has ended it already.
  xcb_client_message_event_t wake{};
  wake.response_type = XCB_CLIENT_MESSAGE;
  wake.format = 32;
  wake.window = wakeWindow_;
  wake.type = XCB_ATOM_NONE;
  xcb_send_event(connection_, 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&wake));
  xcb_flush(connection_);
  if (eventThread_.joinable()) eventThread_.join();
  xcb_disconnect(connection_);
}

bool X11Connection::Broken() const { return xcb_connection_has_error(connection_) != 0; }

template <typename Call>
void X11Connection::Dispatch(const Call& call) {
  std::vector<X11EventListener*> targets;
  {
    std::lock_guard lock(listenersMutex_);
    targets = listeners_;
    dispatching_ = true;
  }
  for (X11EventListener* listener : targets) call(*listener);
  {
    std::lock_guard lock(listenersMutex_);
    dispatching_ = false;
  }
  dispatchDone_.notify_all();
}

std::wstring X11Connection::LossCause() const {
  const int error = xcb_connection_has_error(connection_);
  const char* what = "unknown error";
  switch (error) {
    case XCB_CONN_ERROR: what = "the server closed the connection or the socket failed"; break;
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: what = "an extension the connection needs is not supported"; break;
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: what = "out of memory"; break;
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: what = "a request longer than the server accepts"; break;
    case XCB_CONN_CLOSED_PARSE_ERR: what = "the display name could not be parsed"; break;
    case XCB_CONN_CLOSED_INVALID_SCREEN: what = "the display has no such screen"; break;
    default: break;
  }
  const std::string text = "X display \"" + display_ + "\" lost (xcb error " + std::to_string(error) + ": " +
                           what + ")";
  std::wstring wide;
  for (const char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

void X11Connection::EventLoop() {
  for (;;) {
    xcb_generic_event_t* raw = xcb_wait_for_event(connection_);
    if (raw == nullptr) {
      // The connection broke: every item on this display is gone.
      const std::wstring cause = LossCause();
      Dispatch([&cause](X11EventListener& listener) { listener.OnX11ConnectionLost(cause); });
      return;
    }
    auto event = Own(raw);
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_CLIENT_MESSAGE &&
        reinterpret_cast<const xcb_client_message_event_t*>(event.get())->window == wakeWindow_) {
      return;
    }
    Dispatch([&event](X11EventListener& listener) { listener.OnX11Event(*event); });
  }
}

void X11Connection::AddListener(X11EventListener* listener) {
  std::lock_guard lock(listenersMutex_);
  listeners_.push_back(listener);
}

void X11Connection::RemoveListener(const X11EventListener* listener) {
  std::unique_lock lock(listenersMutex_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
  if (std::this_thread::get_id() != eventThread_.get_id()) {
    dispatchDone_.wait(lock, [this] { return !dispatching_; });
  }
}

bool X11Connection::QueryWindow(xcb_window_t window, X11Geometry* geometry) {
  if (window == 0 || window == root_) return false;
  auto attributes = Own(xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window),
                                                        nullptr));
  auto shape = Own(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
  if (!attributes || !shape) return false;
  auto position = Own(xcb_translate_coordinates_reply(
      connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr));
  if (geometry != nullptr) {
    geometry->width = shape->width;
    geometry->height = shape->height;
    geometry->border = shape->border_width;
    geometry->viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    geometry->x = position ? position->dst_x : shape->x;
    geometry->y = position ? position->dst_y : shape->y;
  }
  return true;
}

std::vector<X11Monitor> X11Connection::Monitors() {
  std::vector<X11Monitor> monitors;
  if (randr_) {
    auto resources = Own(xcb_randr_get_screen_resources_current_reply(
        connection_, xcb_randr_get_screen_resources_current(connection_, root_), nullptr));
    if (resources) {
      const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
      const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
      for (int i = 0; i < count; ++i) {
        auto output = Own(xcb_randr_get_output_info_reply(
            connection_, xcb_randr_get_output_info(connection_, outputs[i], resources->config_timestamp), nullptr));
        if (!output || output->crtc == XCB_NONE) continue;
        auto crtc = Own(xcb_randr_get_crtc_info_reply(
            connection_, xcb_randr_get_crtc_info(connection_, output->crtc, resources->config_timestamp), nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
        monitors.push_back({outputs[i], crtc->x, crtc->y, crtc->width, crtc->height});
      }
    }
  }
  if (monitors.empty()) {
    auto shape = Own(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), nullptr));
    if (shape) monitors.push_back({root_, 0, 0, shape->width, shape->height});
  }
  return monitors;
}

}  // namespace ostrel::linuxp
