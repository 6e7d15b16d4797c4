#include "x11_target.h"

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrel::replay {
namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

class Display {
 public:
  Display() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~Display() { xcb_disconnect(connection_); }
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  bool Ok() const { return xcb_connection_has_error(connection_) == 0; }
  xcb_connection_t* Raw() const { return connection_; }
  xcb_window_t Root() const { return xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root; }

  xcb_atom_t Atom(const char* name) const {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection_,
                              xcb_intern_atom(connection_, 1, static_cast<uint16_t>(std::strlen(name)), name),
                              nullptr),
        &std::free);
    return reply ? reply->atom : XCB_NONE;
  }

  // The window's title: _NET_WM_NAME (UTF-8), else WM_NAME.
  std::string Title(xcb_window_t window) const {
    const xcb_atom_t netWmName = Atom("_NET_WM_NAME"), utf8 = Atom("UTF8_STRING");
    const std::pair<xcb_atom_t, xcb_atom_t> properties[] = {{netWmName, utf8}, {XCB_ATOM_WM_NAME, XCB_ATOM_STRING}};
    for (auto [property, type] : properties) {
      if (property == XCB_NONE) continue;
      Reply<xcb_get_property_reply_t> reply(
          xcb_get_property_reply(connection_, xcb_get_property(connection_, 0, window, property, type, 0, 1024),
                                 nullptr),
          &std::free);
      if (!reply) continue;
      std::string title(static_cast<const char*>(xcb_get_property_value(reply.get())),
                        static_cast<size_t>(xcb_get_property_value_length(reply.get())));
      if (!title.empty()) return title;
    }
    return {};
  }

  bool Viewable(xcb_window_t window) const {
    Reply<xcb_get_window_attributes_reply_t> reply(
        xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window), nullptr),
        &std::free);
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  bool Exists(xcb_window_t window) const {
    Reply<xcb_get_geometry_reply_t> reply(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr), &std::free);
    return reply != nullptr;
  }

  // _NET_ACTIVE_WINDOW of the root, 0 when the window manager sets none.
  xcb_window_t ActiveWindow() const {
    const xcb_atom_t active = Atom("_NET_ACTIVE_WINDOW");
    if (active == XCB_NONE) return 0;
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection_, xcb_get_property(connection_, 0, Root(), active, XCB_ATOM_WINDOW, 0, 1),
                               nullptr),
        &std::free);
    if (!reply || xcb_get_property_value_length(reply.get()) < 4) return 0;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  }

  // Every viewable window under the root with a title, depth first.
  std::vector<std::pair<xcb_window_t, std::string>> TitledWindows() const {
    std::vector<std::pair<xcb_window_t, std::string>> found;
    std::vector<xcb_window_t> pending{Root()};
    while (!pending.empty()) {
      const xcb_window_t window = pending.back();
      pending.pop_back();
      if (std::string title = Title(window); !title.empty() && Viewable(window)) found.emplace_back(window, title);
      Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr),
                                         &std::free);
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) pending.push_back(children[i]);
    }
    return found;
  }

 private:
  xcb_connection_t* connection_;
};

std::string Describe(const Display& display, xcb_window_t window) {
  char text[32];
  std::snprintf(text, sizeof text, "window 0x%08x", window);
  const std::string title = display.Title(window);
  return title.empty() ? text : std::string(text) + " \"" + title + "\"";
}

// The window titled `name`; else the only one whose title contains it.
Target FindByName(const Display& display, const std::string& name) {
  Target target;
  std::vector<std::pair<xcb_window_t, std::string>> containing;
  for (auto& [window, title] : display.TitledWindows()) {
    if (title == name) {
      target.xid = window;
      return target;
    }
    if (title.find(name) != std::string::npos) containing.emplace_back(window, title);
  }
  if (containing.size() == 1) {
    target.xid = containing.front().first;
  } else if (containing.empty()) {
    target.error = "no viewable window is titled \"" + name + "\"";
  } else {
    target.error = "several windows have \"" + name + "\" in their titles:";
    for (auto& [window, title] : containing) target.error += "\n  " + Describe(display, window);
    target.error += "\nname one of them by its title or --window XID";
  }
  return target;
}

// An unmapped input-only window of a connection of its own, 1x1 at the
// pointer: the monitor holding it is the one the pointer is on.
Target MonitorUnderPointer() {
  Target target;
  auto display = std::make_shared<Display>();
  if (!display->Ok()) {
    target.error = "cannot open the X display";
    return target;
  }
  xcb_connection_t* c = display->Raw();
  Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(c, xcb_query_pointer(c, display->Root()), nullptr),
                                           &std::free);
  const int16_t x = pointer ? pointer->root_x : 0, y = pointer ? pointer->root_y : 0;
  const xcb_window_t marker = xcb_generate_id(c);
  const uint32_t overrideRedirect = 1;
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_create_window_checked(c, 0, marker, display->Root(), x, y, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                                   XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect));
  if (error != nullptr) {
    std::free(error);
    target.error = "cannot create a window to find the monitor under the pointer";
    return target;
  }
  target.xid = marker;
  target.description = "the monitor under the pointer";
  target.marker = std::move(display);
  return target;
}

}  // namespace

bool IsWaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  return (wayland != nullptr && *wayland != '\0') || (session != nullptr && std::strcmp(session, "wayland") == 0);
}

Target FindTarget(const Options& options) {
  Target target;
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    target.error = "no X display: DISPLAY is not set";
    return target;
  }
  Display display;
  if (!display.Ok()) {
    target.error = std::string("cannot open the X display ") + name;
    return target;
  }
  if (options.window != 0) {
    if (!display.Exists(options.window)) {
      char text[64];
      std::snprintf(text, sizeof text, "there is no window 0x%08x on this display", options.window);
      target.error = text;
      return target;
    }
    target.xid = options.window;
  } else if (!options.windowName.empty()) {
    target = FindByName(display, options.windowName);
  } else if (options.monitor) {
    return MonitorUnderPointer();
  } else {
    target.xid = display.ActiveWindow();
    if (target.xid == 0) {
      target.error = "no active window (the window manager publishes none); name one with --window or --window-name";
    }
  }
  if (target.xid == 0) return target;
  if (options.monitor) {
    target.description = "the monitor of " + Describe(display, target.xid);
  } else {
    target.description = Describe(display, target.xid);
  }
  return target;
}

}  // namespace ostrel::replay
