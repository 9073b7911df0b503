// Network namespaces for integration tests: two namespaces joined by a veth
// pair, created per test and removed afterwards, also when the test fails.
#pragma once

#include <gtest/gtest.h>

#include <string>

class NetnsPair {
 public:
  /// Empty when namespaces can be made here; otherwise why not.
  static std::string Unavailable();

  /// Creates "server" and "device" namespaces with one veth end in each,
  /// both up, IPv6 off (so no stray neighbour traffic). Check ok().
  NetnsPair();
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  bool ok() const { return ok_; }
  const std::string& serverNs() const { return serverNs_; }
  const std::string& deviceNs() const { return deviceNs_; }
  const std::string& serverIf() const { return serverIf_; }
  const std::string& deviceIf() const { return deviceIf_; }

  /// Runs a shell command inside `ns` (ip netns exec); returns its exit
  /// status, -1 when it could not run.
  static int Exec(const std::string& ns, const std::string& command);
  /// Same, capturing standard output.
  static std::string ExecOutput(const std::string& ns,
                                const std::string& command);

 private:
  bool ok_ = false;
  std::string serverNs_, deviceNs_, serverIf_, deviceIf_;
};

/// Moves the calling thread into namespace `ns` for its lifetime; threads
/// started meanwhile inherit the namespace. Restores the old one after.
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

/// Skips the current test, with the reason, when namespaces cannot be made.
#define SKAV_REQUIRE_NETNS()                                  \
  do {                                                        \
    std::string why_ = NetnsPair::Unavailable();              \
    if (!why_.empty()) GTEST_SKIP() << why_;                  \
  } while (0)
