// Network namespaces for the integration tests, the soak and the
// benchmarks: their frames stay inside namespaces made here, never on the
// machine's own interfaces. Each is removed with its owner, and the
// leftovers of a run that was killed at the next start.
#pragma once

#include <string>

/// Runs `command` with /bin/sh: its exit status, -1 when it did not run.
int Shell(const std::string& command);
/// Same, returning what it wrote to standard output.
std::string ShellOutput(const std::string& command);

/// Empty when namespaces can be made here; otherwise why not.
std::string NetnsUnavailable();

/// The path of the `ip` program, empty when there is none. Look it up
/// before a fork: the child may only exec.
const std::string& IpPath();

/// A namespace name of this process: "<prefix><pid>-<role>". The pid in
/// it lets SweepStaleNetns tell a leftover from one in use.
std::string NetnsName(const std::string& prefix, const std::string& role);

/// Removes the namespaces named by NetnsName with `prefix` whose creator
/// is gone (a run killed before it could clean up).
void SweepStaleNetns(const std::string& prefix);

/// A server namespace and a device namespace joined by a veth pair, both
/// ends up, IPv6 off (so no stray neighbour traffic). Each pair of a
/// process has names of its own.
class NetnsPair {
 public:
  /// Check ok(). `prefix` sets the namespace names apart from those of
  /// other programs.
  explicit NetnsPair(const std::string& prefix = "skav");
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  bool ok() const { return ok_; }
  const std::string& serverNs() const { return serverNs_; }
  const std::string& deviceNs() const { return deviceNs_; }
  const std::string& serverIf() const { return serverIf_; }
  const std::string& deviceIf() const { return deviceIf_; }

  /// Runs a shell command inside `ns` (ip netns exec); its exit status,
  /// -1 when it could not run.
  static int Exec(const std::string& ns, const std::string& command);
  /// Same, capturing standard output.
  static std::string ExecOutput(const std::string& ns, const std::string& command);

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
