// What the soak and the stop-under-load check need around the server:
// network namespaces of their own, simulator processes, scratch files, and
// readings of the process's own threads, sockets and memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

using Clock = std::chrono::steady_clock;

/// Milliseconds from `from` to now, as a fraction.
double MsSince(Clock::time_point from);

/// Ctrl-C and SIGTERM only raise a flag; the runs look at it and unwind,
/// so namespaces and children are removed on the way out.
void InstallStopHandlers();
bool StopRequested();

/// Runs `command` with /bin/sh: its exit status, -1 when it did not run.
int Shell(const std::string& command);
/// Same, returning what it wrote to standard output.
std::string ShellOutput(const std::string& command);

/// A server namespace and a device namespace joined by a veth pair, both
/// ends up, IPv6 off (no stray neighbour traffic). Names carry the
/// creator's pid; those of a creator that is gone are removed first.
class Netns {
 public:
  /// Empty when namespaces can be made here; otherwise why not.
  static std::string Unavailable();

  Netns();
  ~Netns();
  Netns(const Netns&) = delete;
  Netns& operator=(const Netns&) = delete;

  bool ok() const { return ok_; }
  const std::string& serverNs() const { return serverNs_; }
  const std::string& deviceNs() const { return deviceNs_; }
  const std::string& serverIf() const { return serverIf_; }
  const std::string& deviceIf() const { return deviceIf_; }

 private:
  bool ok_ = false;
  std::string serverNs_, deviceNs_, serverIf_, deviceIf_;
};

/// Moves the calling thread into namespace `ns` for its lifetime; threads
/// it starts meanwhile are born there. Restores the old one afterwards.
class InNetns {
 public:
  explicit InNetns(const std::string& ns);
  ~InNetns();
  InNetns(const InNetns&) = delete;
  InNetns& operator=(const InNetns&) = delete;
  bool ok() const { return ok_; }

 private:
  int oldFd_ = -1;
  bool ok_ = false;
};

/// A program run as `ip netns exec NS PROGRAM ARGS...`, its standard output
/// and error going to `outputPath`. It gets SIGTERM should this process
/// die first; otherwise it is ended by its pid.
class Child {
 public:
  Child(const std::string& ns, const std::vector<std::string>& argv,
        const std::string& outputPath);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  /// True once the child has ended (never blocks).
  bool Poll();
  /// Exit status; -1 while it runs, -2 when a signal ended it.
  int status() const { return status_; }
  bool killedBySignal() const { return signal_ != 0; }
  int signal() const { return signal_; }
  /// SIGTERM, then SIGKILL after `graceMs`; waits for the end.
  void Terminate(int graceMs = 3000);
  /// Waits at most `ms` for the end; true when it has ended.
  bool Wait(int ms);
  /// What it wrote so far.
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int signal_ = 0;
  std::string outputPath_;
};

/// A scratch directory, removed with its contents unless kept.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  /// Writes `bytes` to `name` in the directory; its path.
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

/// Bytes that differ from block to block, so that a block sent twice or
/// out of place shows in the receiver's comparison.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

/// Readings of this process.
struct ProcStats {
  int threads = 0;    ///< entries of /proc/self/task
  int sockets = 0;    ///< descriptors that are sockets
  long rssKiB = 0;    ///< VmRSS
  long hwmKiB = 0;    ///< VmHWM
};
ProcStats ReadProcStats();
int ThreadCount();

/// The IPv4 address entries of `ifName` in `ns`, as "ADDR/PREFIX".
std::vector<std::string> AddressEntries(const std::string& ns,
                                        const std::string& ifName);
/// UDP sockets open in `ns` (any process).
int UdpSocketsIn(const std::string& ns);

}  // namespace soak
