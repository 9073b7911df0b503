// The front end's end: a non-blocking socket to an engine, verbs queued
// out, messages cut and decoded in, every length checked first.
#include "remote/engine_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "remote/bench_socket.h"
#include "remote/engine_program.h"

extern char** environ;

namespace remote {

namespace {

// The descriptor an own engine finds its front end on.
constexpr int kFrontEndFd = 3;

std::string Errno(int err) { return std::strerror(err); }

}  // namespace

EngineClient::EngineClient(int fd) : fd_(fd) {
  FrontMessage hello;
  hello.type = FrontType::kHello;
  hello.version = kProtocolVersion;
  EncodeFront(out_, hello);
}

EngineClient::~EngineClient() {
  Close();
  WaitForEngine(0);
}

std::unique_ptr<EngineClient> EngineClient::AttachBench(const std::string& ifname,
                                                        std::string* why) {
  std::string path;
  if (!BenchSocketPath(ifname, &path, why)) return nullptr;
  return AttachPath(path, why);
}

std::unique_ptr<EngineClient> EngineClient::AttachPath(const std::string& path,
                                                       std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *why = "the socket's name " + path + " is too long";
    return nullptr;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = "cannot make a socket: " + Errno(errno);
    return nullptr;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    if (err == ENOENT || err == ECONNREFUSED) {
      *why = "no bench server listens on " + path;
    } else if (err == EACCES) {
      *why = "no access to " + path +
             " (it belongs to root and the group 'skav': ask to be added to the group)";
    } else {
      *why = "cannot connect to " + path + ": " + Errno(err);
    }
    return nullptr;
  }
  std::unique_ptr<EngineClient> client(new EngineClient(fd));
  client->Send();
  return client;
}

std::unique_ptr<EngineClient> EngineClient::StartOwn(std::string* why,
                                                     const std::string& program) {
  const std::string engine = program.empty() ? EngineProgram() : program;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *why = "cannot make a socket pair: " + Errno(errno);
    return nullptr;
  }
  // Spawned, not forked by hand: the window has threads of its own.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 onto itself clears close-on-exec too.
  posix_spawn_file_actions_adddup2(&actions, pair[1], kFrontEndFd);
  const std::string fdText = std::to_string(kFrontEndFd);
  char* const argv[] = {const_cast<char*>("skav-engine"), const_cast<char*>("--front-end"),
                        const_cast<char*>(fdText.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, engine.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  if (rc != 0) {
    close(pair[0]);
    *why = "cannot run the engine " + engine + ": " + Errno(rc);
    return nullptr;
  }
  fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
  std::unique_ptr<EngineClient> client(new EngineClient(pair[0]));
  client->child_ = pid;
  client->Send();
  return client;
}

std::unique_ptr<EngineClient> EngineClient::Adopt(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::unique_ptr<EngineClient> client(new EngineClient(fd));
  client->Send();
  return client;
}

void EngineClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int EngineClient::WaitForEngine(int ms) {
  if (child_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(child_, &status, WNOHANG);
    if (r == child_) {
      child_ = 0;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (ms >= 0 && std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

uint32_t EngineClient::Queue(FrontMessage m) {
  m.seq = ++seq_;
  EncodeFront(out_, m);
  Send();
  return m.seq;
}

bool EngineClient::Send() {
  if (fd_ < 0) return false;
  while (head_ < out_.size()) {
    const ssize_t n =
        send(fd_, out_.data() + head_, out_.size() - head_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      head_ += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // The engine gone shows as the end of its stream, read by Receive.
      break;
    }
  }
  if (head_ == out_.size()) {
    out_.clear();
    head_ = 0;
  }
  return true;
}

bool EngineClient::Fail(EngineEvents& events, const std::string& reason) {
  Close();
  events.OnClosed(reason);
  return false;
}

bool EngineClient::Receive(EngineEvents& events) {
  if (fd_ < 0) return false;
  char buf[64 * 1024];
  for (;;) {
    Message m;
    FrameReader::Result r;
    while ((r = in_.Next(&m)) == FrameReader::Result::kMessage) {
      if (!Dispatch(events, m)) return false;
    }
    if (r == FrameReader::Result::kBad)
      return Fail(events, "the engine sent " + in_.error());
    const size_t room = std::min(in_.Room(), sizeof buf);
    if (room == 0) return true;
    const ssize_t n = recv(fd_, buf, room, MSG_DONTWAIT);
    if (n > 0) {
      received_ += static_cast<uint64_t>(n);
      in_.Feed(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return Fail(events, "the engine has gone");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    return Fail(events, "the connection to the engine failed: " + Errno(errno));
  }
}

bool EngineClient::Dispatch(EngineEvents& events, const Message& m) {
  if (!helloSeen_ && m.type == static_cast<uint8_t>(EngineType::kHello)) {
    uint16_t version = 0;
    if (HelloVersion(m.payload, &version) && version != kProtocolVersion) {
      return Fail(events, "the engine speaks version " + std::to_string(version) +
                              " of the front-end protocol and this front end version " +
                              std::to_string(kProtocolVersion) +
                              "; install matching versions of skav-server");
    }
  }
  if (!DecodeEngine(m.type, m.payload, &message_)) {
    return Fail(events, "the engine sent a malformed message of type " + std::to_string(m.type));
  }
  const EngineMessage& e = message_;
  if (!helloSeen_ && e.type != EngineType::kHello && e.type != EngineType::kRefused)
    return Fail(events, "the engine did not say hello first");
  switch (e.type) {
    case EngineType::kHello:
      helloSeen_ = true;
      events.OnHello(e.hello);
      break;
    case EngineType::kRefused:
      return Fail(events, e.text);
    case EngineType::kReply:
      events.OnReply(e.reply);
      break;
    case EngineType::kText:
      for (const TextPiece& piece : e.pieces) events.OnText(piece);
      break;
    case EngineType::kError:
      events.OnError(e.text);
      break;
    case EngineType::kPanel:
      events.OnPanel(e.panel);
      break;
    case EngineType::kProgress:
      events.OnProgress(e.progress);
      break;
    case EngineType::kState:
      events.OnState(e.state);
      break;
    case EngineType::kPortNews:
      events.OnPortNews(e.portNews);
      break;
    case EngineType::kUnwritten:
      events.OnUnwritten(e.text);
      break;
    case EngineType::kImages:
      events.OnImages(e.images);
      break;
    case EngineType::kMissed:
      events.OnMissed(e.missed);
      break;
  }
  return fd_ >= 0;
}

bool EngineClient::Pump(EngineEvents& events, int ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
  const int ready = poll(&p, 1, ms);
  if (ready < 0 && errno != EINTR) return Fail(events, "cannot wait for the engine: " + Errno(errno));
  if (!Send()) return false;
  return Receive(events);
}

uint32_t EngineClient::Want(uint8_t flags) {
  FrontMessage m;
  m.type = FrontType::kWant;
  m.want = flags;
  return Queue(std::move(m));
}

uint32_t EngineClient::Start(const StartOrder& order) {
  FrontMessage m;
  m.type = FrontType::kStart;
  m.start = order;
  return Queue(std::move(m));
}

uint32_t EngineClient::StartStored(const std::string& password) {
  FrontMessage m;
  m.type = FrontType::kStartStored;
  m.password = password;
  return Queue(std::move(m));
}

uint32_t EngineClient::Stop(const std::string& password) {
  FrontMessage m;
  m.type = FrontType::kStop;
  m.password = password;
  return Queue(std::move(m));
}

uint32_t EngineClient::Clear() {
  FrontMessage m;
  m.type = FrontType::kClear;
  return Queue(std::move(m));
}

uint32_t EngineClient::Sort(uint16_t key) {
  FrontMessage m;
  m.type = FrontType::kSort;
  m.sortKey = key;
  return Queue(std::move(m));
}

uint32_t EngineClient::RetryFailed() {
  FrontMessage m;
  m.type = FrontType::kRetryFailed;
  return Queue(std::move(m));
}

uint32_t EngineClient::LogFile(bool enabled, const std::string& path) {
  FrontMessage m;
  m.type = FrontType::kLogFile;
  m.enabled = enabled;
  m.path = path;
  return Queue(std::move(m));
}

uint32_t EngineClient::Banner(uint8_t kind) {
  FrontMessage m;
  m.type = FrontType::kBanner;
  m.banner = kind;
  return Queue(std::move(m));
}

uint32_t EngineClient::LogNote(const std::string& line) {
  FrontMessage m;
  m.type = FrontType::kLogNote;
  // The engine refuses a note of two lines, and its connection with it.
  m.path = line.substr(0, kNoteMax);
  for (char& c : m.path)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return Queue(std::move(m));
}

uint32_t EngineClient::RecordFile(const std::string& path) {
  FrontMessage m;
  m.type = FrontType::kRecordFile;
  m.path = path;
  return Queue(std::move(m));
}

uint32_t EngineClient::Reload(const std::string& password) {
  FrontMessage m;
  m.type = FrontType::kReload;
  m.password = password;
  return Queue(std::move(m));
}

void ApplyPanel(std::string& text, const PanelNews& news) {
  if (news.whole) text.clear();
  for (const PanelEdit& e : news.edits) {
    const size_t pos = std::min(static_cast<size_t>(e.pos), text.size());
    const size_t count = std::min(static_cast<size_t>(e.count), text.size() - pos);
    text.replace(pos, count, e.text);
  }
}

}  // namespace remote
