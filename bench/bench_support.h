// What every benchmark needs around the server: the namespaces of a run
// with one device or many, programs started inside them,
// scratch files, an orderly stop on Ctrl-C, and figures.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "netns/netns_pair.h"

namespace bench {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

/// Milliseconds between two clock readings, as a fraction.
inline double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

/// A number option, "NAME N" with N from `lo` to `hi`, stored in `*out`.
struct NumberOption {
  const char* name;
  int lo, hi;
  int* out;
};
/// Reads the command line: the number options given, and "-v" or
/// "--verbose" into `*verbose`. False on anything else or a number out of
/// its range.
bool ParseOptions(int argc, char** argv, std::initializer_list<NumberOption> numbers,
                  bool* verbose);

/// The device simulator's path, nullptr when it was not built.
const char* DevsimPath();

/// Ctrl-C, SIGTERM and SIGHUP only raise a flag: every wait of the bench
/// looks at it and unwinds, so the namespaces and children are removed by
/// their destructors.
void InstallStopHandlers();
bool StopRequested();

/// Namespaces made for one benchmark run. With one device: a veth pair
/// between a server and a device namespace. With more: a switch namespace
/// holding a bridge, one port to the server namespace and one to each
/// device namespace, so that every device has an interface (and a MAC) of
/// its own. IPv6 is off everywhere, so no stray neighbour traffic.
/// Names carry the creator's pid; those of a creator that is gone (a bench
/// killed with SIGKILL) are removed at the next start.
class Topology {
 public:
  explicit Topology(int devices);
  ~Topology();
  Topology(const Topology&) = delete;
  Topology& operator=(const Topology&) = delete;

  bool ok() const { return ok_; }
  int devices() const { return static_cast<int>(deviceNs_.size()); }
  const std::string& serverNs() const { return serverNs_; }
  const std::string& serverIf() const { return serverIf_; }
  const std::string& deviceNs(int i) const { return deviceNs_[i]; }
  const std::string& deviceIf(int i) const { return deviceIf_[i]; }

 private:
  bool ok_ = false;
  std::string serverNs_, serverIf_, switchNs_;
  std::vector<std::string> deviceNs_, deviceIf_;
};

/// A program run as `ip netns exec NS PROGRAM ARGS...` (which replaces
/// itself with the program, so the pid is the program's), its standard
/// output and error collected. Ended by its pid when still running at
/// destruction.
class Child {
 public:
  Child(const std::string& ns, const std::vector<std::string>& argv,
        bool quiet = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  /// When the spawn returned.
  Clock::time_point startedAt() const { return startedAt_; }
  /// When the exit was noticed (within about a millisecond).
  Clock::time_point endedAt() const { return endedAt_; }

  /// Collects output until the child exits, `limit` passes or a stop is
  /// requested. The exit status, or -1 (still running, or killed).
  int Wait(std::chrono::milliseconds limit);
  bool Running();
  /// SIGTERM, then SIGKILL after 3 s; waits for the end.
  void Stop();
  const std::string& output() const { return output_; }
  /// User + system CPU seconds the program used, known once it has been
  /// reaped (from wait4); 0 before.
  double cpuSeconds() const { return cpuSeconds_; }

 private:
  bool Drain(int ms);
  bool Reap(bool block);

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = kRunning;
  Clock::time_point startedAt_, endedAt_;
  double cpuSeconds_ = 0;
  std::string output_;
  static constexpr int kRunning = -100;
  static constexpr int kKilled = -2;
};

/// Whether a run beside tftp-hpa can be made here: namespaces, the device
/// simulator, in.tftpd and tftp. When not, says why on standard error
/// after `program`'s name.
bool CanRunBesideTftpHpa(const char* program);

/// Puts the server address 10.0.0.1/8 on the server's interface. The
/// kernel of the server namespace answers ARP for it only with the address
/// in place, and tftp-hpa's runs need it too. False when it fails.
bool SetServerAddress(const std::string& ns, const std::string& ifName);

/// Starts tftpd-hpa in `ns`, serving `root` and allowing new files, and
/// waits until it listens on port 69.
std::unique_ptr<Child> StartTftpd(const std::string& ns, const std::string& root);

/// A scratch directory (mode 0777: the TFTP server drops its privileges
/// before it creates files), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  /// Writes `bytes` to a file of this directory; returns its path.
  std::string Write(const std::string& name, const Bytes& bytes) const;

 private:
  std::string path_;
};

/// Bytes that differ from block to block.
Bytes Pattern(size_t n, uint32_t seed);

/// Waits until process `pid` has entered namespace `ns` and a packet socket
/// exists there (a capture has been opened), at most `limit`. The
/// simulators' namespaces hold no other packet socket.
bool WaitForCapture(pid_t pid, const std::string& ns, std::chrono::milliseconds limit);

/// Size of a file, -1 when it does not exist.
int64_t FileSize(const std::string& path);

/// A "kB" figure of /proc/<pid>/status (VmHWM, VmRSS, ...); pid 0 is this
/// process. -1 when absent.
long ProcStatusKb(const char* key, pid_t pid = 0);

/// User + system CPU seconds this process has used so far (all threads).
double ProcessCpuSeconds();

/// Open descriptors of this process (entries of /proc/self/fd).
int OpenDescriptors();

double Median(std::vector<double> v);
/// The p-th percentile (0..100), nearest rank.
double Percentile(std::vector<double> v, double p);

/// "load average" figures of the machine, for the record.
std::string LoadAverage();

/// The value after `key` in a line of "key=value" words, or empty.
std::string Field(const std::string& line, const std::string& key);

/// The line of `text` that starts with `prefix`, or empty.
std::string LineStartingWith(const std::string& text, const std::string& prefix);

}  // namespace bench
