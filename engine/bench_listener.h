// The listening socket of a bench's engine in the claim folder, named after
// the interface it serves: made when the engine starts, replaced when a
// crashed engine left it behind, removed when the engine ends.
#pragma once

#include <sys/types.h>

#include <string>

class BenchListener {
 public:
  BenchListener() = default;
  /// Removes the socket.
  ~BenchListener() { Close(); }
  BenchListener(const BenchListener&) = delete;
  BenchListener& operator=(const BenchListener&) = delete;

  /// Listens on the bench socket of interface `port` (closing the one it
  /// had). A socket nobody answers on is a dead engine's and is replaced;
  /// one that answers belongs to another engine: false, with the reason.
  bool Open(const std::string& port, std::string* why);
  /// Stops listening and removes the socket, when the file is still ours.
  void Close();

  int fd() const { return fd_; }
  const std::string& port() const { return port_; }
  const std::string& path() const { return path_; }
  /// A waiting connection (non-blocking, close-on-exec), or -1.
  int Accept();

 private:
  int fd_ = -1;
  std::string port_, path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};
