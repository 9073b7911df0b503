// The bench socket: bound under the claim folder's guard, so that two
// engines never both take one name, and a dead engine's socket is told
// from a live one's by whether anybody answers on it.
#include "engine/bench_listener.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "link/if_claim.h"
#include "remote/bench_socket.h"

namespace {

// Members of the group may connect; the folder keeps everybody else out.
constexpr mode_t kSocketMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
constexpr int kBacklog = 16;

bool Address(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether an engine answers on the socket at `addr`: a dead engine's
// socket refuses the connection.
bool Answers(const sockaddr_un& addr) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  close(fd);
  // A full backlog (EAGAIN) is a live engine too busy to take us now.
  return rc == 0 || (err != ECONNREFUSED && err != ENOENT);
}

}  // namespace

bool BenchListener::Open(const std::string& port, std::string* why) {
  Close();
  std::string path;
  if (!remote::BenchSocketPath(port, &path, why)) return false;
  sockaddr_un addr;
  if (!Address(path, &addr)) {
    *why = "the socket's name " + path + " is too long";
    return false;
  }
  L2_ClaimGuard guard;
  if (!guard.ok()) {
    *why = guard.why();
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("cannot make a socket: ") + std::strerror(errno);
    return false;
  }
  const auto bound = [&] {
    return bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  };
  bool ok = bound();
  if (!ok && errno == EADDRINUSE) {
    struct stat st;
    if (Answers(addr)) {
      *why = "another engine answers on " + path;
    } else if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
      *why = path + " is no socket";
    } else {
      // Left by an engine that crashed: nobody answers on it.
      unlink(path.c_str());
      ok = bound();
      if (!ok) *why = "cannot listen on " + path + ": " + std::strerror(errno);
    }
  } else if (!ok) {
    *why = "cannot listen on " + path + ": " + std::strerror(errno);
  }
  struct stat st;
  if (ok && (chmod(path.c_str(), kSocketMode) != 0 || listen(fd, kBacklog) != 0 ||
             stat(path.c_str(), &st) != 0)) {
    *why = "cannot listen on " + path + ": " + std::strerror(errno);
    unlink(path.c_str());
    ok = false;
  }
  if (!ok) {
    close(fd);
    return false;
  }
  fd_ = fd;
  port_ = port;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

void BenchListener::Close() {
  if (fd_ < 0) return;
  {
    // Under the guard: a new engine of this interface may have replaced
    // the file meanwhile, and its socket stays.
    L2_ClaimGuard guard(L2_ClaimGuard::kWait);
    struct stat st;
    if (guard.ok() && lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ &&
        st.st_ino == ino_) {
      unlink(path_.c_str());
    }
  }
  close(fd_);
  fd_ = -1;
  port_.clear();
  path_.clear();
}

int BenchListener::Accept() {
  if (fd_ < 0) return -1;
  for (;;) {
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}
