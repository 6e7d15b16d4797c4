// The control socket of a running recorder: a local stream socket in the
// user's runtime folder, reachable by its owner only. A client sends one
// line ("save", "save SECONDS", "status") and reads the answer until the
// recorder closes the connection.
#pragma once

#include <string>

namespace ostrel::replay {

// $XDG_RUNTIME_DIR/ostrel-replay.sock; without a runtime folder, a folder of
// the user's own in /tmp. Empty (with `error` set) when neither is usable.
std::string DefaultSocketPath(std::string* error);

class ControlServer {
 public:
  ControlServer() = default;
  ~ControlServer() { Close(); }
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on `path`. Refused while another recorder answers there; a
  // socket file nobody listens on any more is replaced.
  bool Listen(const std::string& path, std::string* error);
  int Fd() const { return fd_; }
  // A connected client (-1 when none waits).
  int Accept();
  // Stops listening and removes the socket.
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
};

// One request line from a client connection, read within `timeoutMs`.
bool ReadRequest(int client, int timeoutMs, std::string* line);
// Writes all of `text`; false when the client went away.
bool WriteAll(int fd, const std::string& text);

// Sends `request` to the recorder at `path` and copies its answer to stdout
// as it arrives. 0 when answered with no error line, 1 otherwise (the reason
// on stderr).
int RunClient(const std::string& path, const std::string& request);

}  // namespace ostrel::replay
