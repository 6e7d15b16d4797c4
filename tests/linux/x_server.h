// An X server of the test's own: Xvfb on a display number it picks itself
// (-displayfd), no TCP, stopped when the object goes. While it runs, DISPLAY
// points this process and the programs it starts at it.
#pragma once

#include <sys/types.h>

#include <string>

namespace ostrel::testing {

class XServer {
 public:
  explicit XServer(int width = 1920, int height = 1080);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool Ready() const { return !display_.empty(); }
  // ":N"
  const std::string& Display() const { return display_; }
  // Switches every RandR output off (a monitor unplugged); whether the
  // server did.
  bool SwitchOffOutputs() const;
  // Ends the server at once, as a crash would (SIGKILL); DISPLAY keeps
  // naming it.
  void Kill();

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string previousDisplay_;
  bool hadPreviousDisplay_ = false;
};

}  // namespace ostrel::testing
