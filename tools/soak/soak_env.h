// What the soak and the stop-under-load check need around the server:
// simulator processes in their network namespaces, scratch files, and
// readings of the process's own threads, sockets and memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "netns/netns_pair.h"

namespace soak {

using Clock = std::chrono::steady_clock;

/// Milliseconds from `from` to now, as a fraction.
double MsSince(Clock::time_point from);

/// Ctrl-C and SIGTERM only raise a flag; the runs look at it and unwind,
/// so namespaces and children are removed on the way out.
void InstallStopHandlers();
bool StopRequested();

/// Namespace names of the soak and the stop-under-load check start with it.
inline constexpr const char* kNetnsPrefix = "skavsoak";

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
