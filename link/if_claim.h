// One server per interface: a running server holds an exclusive lock on a
// file of its interface in the claim folder, which the kernel releases when
// the process ends, however it ends. Start takes it before it touches the
// interface; the address clean-up reads it to leave other servers' server
// addresses alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

/// The claim folder: fixed when the program is built (SKAV_CLAIM_DIR,
/// /run/skav-server by default); a test may have set another.
std::string L2_ClaimDir();

/// Points this process's claims at `dir`, shared by group `group` (none
/// when nullptr or empty) instead of "skav"; a `dir` of nullptr or empty
/// goes back to the built-in folder and group. For tests only: nothing the
/// program reads (its command line, environment or files) leads here, so a
/// user can never redirect the claims of a program that holds capabilities.
void L2_SetClaimDirForTest(const char* dir, const char* group = nullptr);

/// The claim file of interface `ifname` of the calling thread's network
/// namespace ("<folder>/<ifname>@<namespace inode>.lock": interface names
/// are per namespace). False with the reason in `why` when the namespace
/// cannot be told or the name is no interface name.
bool L2_ClaimPath(const char* ifname, std::string* path, std::string* why);

/// The file of interface `ifname` of the calling thread's namespace in the
/// claim folder, ending in `ext` ("<folder>/<ifname>@<namespace inode><ext>"),
/// for other files a server keeps per interface beside its claim.
bool L2_NamespaceFile(const char* ifname, const char* ext, std::string* path,
                      std::string* why);

/// "@<namespace inode>" of the calling thread's namespace: what the names
/// of its files in the claim folder carry after the interface name.
bool L2_NamespaceTag(std::string* tag, std::string* why);

/// The gid of the group that shares the claim folder ('skav', or a test's
/// own); false when there is no such group.
bool L2_OperatorGroup(gid_t* gid);

/// The name of user `uid`, or its number when it has none.
std::string L2_UserName(uid_t uid);

/// While it lives, no other process (or thread) takes, gives back or reads
/// a claim: a claim read under it stays true until it ends. Held for a
/// moment only. Makes the claim folder when it is missing and this process
/// may (root: mode 3770, group "skav" when there is one, as the tmpfiles.d
/// entry makes it at boot); run as root, also gives a folder it finds with
/// another owner or mode that owner and mode, when the group exists.
class L2_ClaimGuard {
 public:
  static constexpr std::chrono::milliseconds kWait{5000};

  /// Waits at most `wait` for another holder; check ok().
  explicit L2_ClaimGuard(std::chrono::milliseconds wait = kWait);
  /// The same in claim folder `dir`.
  L2_ClaimGuard(const std::string& dir, std::chrono::milliseconds wait);
  ~L2_ClaimGuard();
  L2_ClaimGuard(const L2_ClaimGuard&) = delete;
  L2_ClaimGuard& operator=(const L2_ClaimGuard&) = delete;

  bool ok() const { return fd_ >= 0; }
  /// Why not ok(), in plain words with the remedy.
  const std::string& why() const { return why_; }
  /// What was changed on the folder (its owner and mode mended), in plain
  /// words; empty when nothing was.
  const std::string& note() const { return note_; }
  const std::string& dir() const { return dir_; }

  /// True when a running server claims interface `ifname` of the calling
  /// thread's namespace, another claim of this process included; true also
  /// when that cannot be told, so that nothing of a server is taken away
  /// on a guess.
  bool Claimed(const char* ifname) const;

 private:
  std::string dir_;
  std::string why_;
  std::string note_;
  int fd_ = -1;
};

/// A server's claim on its interface for one run. Used from one thread.
class L2_IfClaim {
 public:
  enum class Result {
    kClaimed,  ///< held until Release or the end of the process
    kTaken,    ///< another running server holds it; see holder()
    kFailed,   ///< the claim folder or file cannot be used; see reason()
  };

  L2_IfClaim() = default;
  /// Releases.
  ~L2_IfClaim();
  L2_IfClaim(const L2_IfClaim&) = delete;
  L2_IfClaim& operator=(const L2_IfClaim&) = delete;

  /// Claims interface `ifname` of the calling thread's namespace and
  /// records this process's pid in its file. Never waits for the holder.
  Result Take(const char* ifname);
  /// After kTaken: the pid the holder recorded, 0 when none can be read.
  pid_t holder() const { return holder_; }
  /// After kFailed: why, in plain words with the remedy.
  const std::string& reason() const { return reason_; }
  /// After Take: what it changed on the claim folder, as
  /// L2_ClaimGuard::note(); empty when nothing.
  const std::string& note() const { return note_; }

  /// Gives the claim back and removes its file. Nothing when none is held.
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string dir_, path_;
  pid_t holder_ = 0;
  std::string reason_;
  std::string note_;
};
