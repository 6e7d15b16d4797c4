#include "control_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel::replay {
namespace {

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

// A connected socket to `path`, or -1 with errno set.
int Connect(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string DefaultSocketPath(std::string* error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/ostrel-replay.sock";
  // No runtime folder: one of our own in /tmp, owned by us and closed to
  // everyone else.
  const std::string folder = "/tmp/ostrel-replay-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Errno("cannot create " + folder);
    return {};
  }
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 077) != 0) {
    *error = folder + " is not a folder of this user's alone; set XDG_RUNTIME_DIR or use --socket";
    return {};
  }
  return folder + "/ostrel-replay.sock";
}

void ControlServer::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  unlink(path_.c_str());
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    *error = "the control socket path is too long: " + path;
    return false;
  }
  if (const int other = Connect(path); other >= 0) {
    close(other);
    *error = "another ostrel-replay is already recording (control socket " + path + ")";
    return false;
  }
  // Nobody answers: a socket left by a recorder that was killed goes.
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = Errno("socket");
    return false;
  }
  // Owner-only from the moment it exists.
  const mode_t previous = umask(0177);
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  umask(previous);
  if (bound != 0 || listen(fd, 8) != 0) {
    *error = Errno("cannot listen on " + path);
    close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  return true;
}

int ControlServer::Accept() {
  if (fd_ < 0) return -1;
  const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return -1;
  // Only this user's processes may command the recorder.
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) {
    close(client);
    return -1;
  }
  return client;
}

bool ReadRequest(int client, int timeoutMs, std::string* line) {
  line->clear();
  char byte = 0;
  while (line->size() < 256) {
    pollfd waiting{client, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) <= 0) return false;
    const ssize_t got = read(client, &byte, 1);
    if (got <= 0) return !line->empty();
    if (byte == '\n') return true;
    line->push_back(byte);
  }
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

int RunClient(const std::string& path, const std::string& request) {
  const int fd = Connect(path);
  if (fd < 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) {
      std::fprintf(stderr, "ostrel-replay: no recorder is running (nothing answers on %s)\n", path.c_str());
    } else {
      std::fprintf(stderr, "ostrel-replay: cannot reach the recorder on %s: %s\n", path.c_str(), std::strerror(errno));
    }
    return 1;
  }
  int status = 1;
  if (WriteAll(fd, request + "\n")) {
    std::string pending;
    bool answered = false, failed = false;
    char buffer[512];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string line = pending.substr(0, end);
        answered = true;
        if (line.rfind("error: ", 0) == 0) {
          failed = true;
          std::fprintf(stderr, "ostrel-replay: %s\n", line.c_str() + 7);
        } else {
          std::printf("%s\n", line.c_str());
          std::fflush(stdout);
        }
      }
    }
    if (!answered) std::fprintf(stderr, "ostrel-replay: the recorder closed the connection without answering\n");
    status = answered && !failed ? 0 : 1;
  }
  close(fd);
  return status;
}

}  // namespace ostrel::replay
