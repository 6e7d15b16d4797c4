#include "linux/x_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace ostrel::testing {

XServer::XServer(int width, int height) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return;
  if (const char* previous = std::getenv("DISPLAY")) {
    hadPreviousDisplay_ = true;
    previousDisplay_ = previous;
  }
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  const std::string fd = std::to_string(pipeFds[1]);
  pid_ = fork();
  if (pid_ == 0) {
    close(pipeFds[0]);
    // The server goes with the test, even when the test is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Xvfb's chatter stays out of the test output.
    freopen("/dev/null", "w", stderr);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
           "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    return;
  }
  // Xvfb writes its display number once it accepts clients.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd readable{pipeFds[0], POLLIN, 0};
    if (poll(&readable, 1, 200) <= 0) continue;
    char buffer[16];
    ssize_t count = read(pipeFds[0], buffer, sizeof buffer);
    if (count <= 0) break;
    number.append(buffer, static_cast<size_t>(count));
    if (number.find('\n') != std::string::npos) break;
  }
  close(pipeFds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty()) return;
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
}

bool XServer::SwitchOffOutputs() const {
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> connection(xcb_connect(nullptr, nullptr),
                                                                           xcb_disconnect);
  if (xcb_connection_has_error(connection.get()) != 0) return false;
  xcb_connection_t* c = connection.get();
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  std::unique_ptr<xcb_randr_get_screen_resources_current_reply_t, void (*)(void*)> resources(
      xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr),
      std::free);
  if (!resources) return false;
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
  bool ok = true;
  for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(resources.get()); ++i) {
    std::unique_ptr<xcb_randr_set_crtc_config_reply_t, void (*)(void*)> reply(
        xcb_randr_set_crtc_config_reply(c, xcb_randr_set_crtc_config(c, crtcs[i], XCB_CURRENT_TIME,
                                                                     resources->config_timestamp, 0, 0, XCB_NONE,
                                                                     XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
                                        nullptr),
        std::free);
    ok = ok && reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
  }
  return ok;
}

void XServer::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

XServer::~XServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (hadPreviousDisplay_) {
    setenv("DISPLAY", previousDisplay_.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

}  // namespace ostrel::testing
