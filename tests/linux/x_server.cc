#include "linux/x_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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
