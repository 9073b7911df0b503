// A front end's bytes in and out, never blocking: the socket is
// non-blocking, and what does not fit in the queue is refused to the
// caller, who counts it.
#include "engine/front_connection.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

FrontConnection::~FrontConnection() {
  if (fd_ >= 0) close(fd_);
}

bool FrontConnection::Queue(std::string_view bytes, bool bulk) {
  const size_t limit = bulk ? kBulkLimit : kQueueLimit;
  if (Queued() + bytes.size() > limit) return false;
  out_.append(bytes);
  return true;
}

void FrontConnection::Compact() {
  if (head_ == out_.size()) {
    out_.clear();
    head_ = 0;
  } else if (head_ > out_.size() / 2) {
    out_.erase(0, head_);
    head_ = 0;
  }
}

bool FrontConnection::Flush() {
  while (head_ < out_.size()) {
    const ssize_t n =
        send(fd_, out_.data() + head_, out_.size() - head_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      head_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return false;
  }
  Compact();
  return true;
}

bool FrontConnection::Read() {
  char buf[16 * 1024];
  for (;;) {
    const size_t room = in_.Room();
    // A whole message waits to be taken: the rest stays in the socket.
    if (room == 0) return true;
    const ssize_t n = recv(fd_, buf, room < sizeof buf ? room : sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      in_.Feed(buf, static_cast<size_t>(n));
      // One read a wake-up: messages are taken before more is read.
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}
