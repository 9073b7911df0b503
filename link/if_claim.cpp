// The claim of an interface: a lock on one file per interface and network
// namespace in the claim folder, and a guard lock that keeps taking,
// reading and giving back claims apart between processes.
#include "link/if_claim.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#ifndef SKAV_CLAIM_DIR
#define SKAV_CLAIM_DIR "/run/skav-server"
#endif

namespace {

constexpr char kGuardName[] = "guard.lock";
constexpr char kGroupName[] = "skav";
constexpr std::chrono::milliseconds kReleaseWait{1000};
constexpr std::chrono::milliseconds kGuardPoll{2};

// Members of this group share the folder: they may take, read and give
// back claims. Nobody else may even look inside (a stray lock of theirs
// could otherwise keep a server from starting).
constexpr mode_t kSharedFolderMode = S_ISGID | S_ISVTX | S_IRWXU | S_IRWXG;
constexpr mode_t kSharedFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH;

constexpr char kGroupHint[] =
    " (the claim folder belongs to root and the 'skav' group: add the user to "
    "that group and log in again)";
constexpr char kMakeHint[] =
    " (it is made at every boot from skav-server's tmpfiles.d entry; as root, "
    "'systemd-tmpfiles --create skav-server.conf' makes it now)";

std::mutex gDirMu;

// Guarded by gDirMu; an empty folder means the built-in one. Never
// destroyed, so a thread still running at exit reads valid strings.
struct TestPlace {
  std::string dir;
  std::string group;
};
TestPlace& Test() {
  static auto* place = new TestPlace;
  return *place;
}

// The group that shares the claim folder: "skav", or a test's own (none
// when a test set a folder without one).
std::string ClaimGroup() {
  std::lock_guard<std::mutex> lock(gDirMu);
  return Test().dir.empty() ? std::string(kGroupName) : Test().group;
}

std::string Errno(int err) { return std::strerror(err); }

// An entry of the user or group database by `find` (a getpw*_r or
// getgr*_r call on the entry and buffer it is given), the buffer grown
// while the entry does not fit; nullptr when there is none.
template <typename Entry, typename Find>
Entry* LookUp(Entry* entry, std::vector<char>* buf, Find find) {
  Entry* found = nullptr;
  buf->resize(4096);
  while (find(entry, buf->data(), buf->size(), &found) == ERANGE && buf->size() < (1u << 20)) {
    buf->resize(buf->size() * 2);
  }
  return found;
}

// The id of group `name`; false when there is no such group.
bool GroupId(const std::string& name, gid_t* gid) {
  group entry;
  std::vector<char> buf;
  const group* found = name.empty() ? nullptr : LookUp(&entry, &buf, [&](auto... a) {
    return getgrnam_r(name.c_str(), a...);
  });
  if (found != nullptr) *gid = found->gr_gid;
  return found != nullptr;
}

std::string UserName(uid_t uid) {
  passwd entry;
  std::vector<char> buf;
  const passwd* found = LookUp(&entry, &buf, [&](auto... a) { return getpwuid_r(uid, a...); });
  return found != nullptr ? found->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  group entry;
  std::vector<char> buf;
  const group* found = LookUp(&entry, &buf, [&](auto... a) { return getgrgid_r(gid, a...); });
  return found != nullptr ? found->gr_name : std::to_string(gid);
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// As the tmpfiles.d entry makes it: root's, the group's, mode 3770.
bool Shared(const struct stat& st, gid_t gid) {
  return st.st_uid == 0 && st.st_gid == gid && (st.st_mode & 07777) == kSharedFolderMode;
}

// Why a user who is not root may not use the folder `dir`, with the
// remedy. A folder made by an earlier run as root, before there was a
// group (root's alone, 0700), or changed by hand, is named as it is: the
// group advice would send a member of the group round in circles.
std::string Hint(const std::string& dir, int err) {
  if (err != EACCES && err != EPERM) return "";
  const std::string group = ClaimGroup();
  gid_t gid = 0;
  const bool known = GroupId(group, &gid);
  struct stat st;
  if (group.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      (known && Shared(st, gid))) {
    return kGroupHint;
  }
  const std::string hint = " (the claim folder " + dir + " is " + UserName(st.st_uid) + ":" +
                           GroupName(st.st_gid) + " with mode " + Octal(st.st_mode) +
                           ", not root:" + group + " with mode " + Octal(kSharedFolderMode);
  if (!known) {
    return hint + ", and there is no group '" + group +
           "'; as root, 'systemd-sysusers skav-server.conf && systemd-tmpfiles --create "
           "skav-server.conf' makes the group and mends the folder)";
  }
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(static_cast<size_t>(
      std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  const bool member =
      getegid() == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
  return hint + "; as root, 'systemd-tmpfiles --create skav-server.conf' mends it, as does "
                "'chown root:" + group + " " + dir + " && chmod " + Octal(kSharedFolderMode) +
         " " + dir + "'" +
         (member ? "" : "; the user is not in the group '" + group +
                            "' either: add the user to it and log in again") +
         ")";
}

bool NetnsInode(unsigned long long* inode, std::string* why) {
  // Of this thread, not of the process: a thread may have entered a
  // namespace of its own.
  struct stat st;
  if (stat("/proc/thread-self/ns/net", &st) != 0) {
    *why = "cannot tell the network namespace (/proc/thread-self/ns/net): " + Errno(errno);
    return false;
  }
  *inode = static_cast<unsigned long long>(st.st_ino);
  return true;
}

// The file of interface `ifname` of this thread's namespace in `dir`,
// ending in `ext`.
bool NamespaceFileIn(const std::string& dir, const char* ifname, const char* ext,
                     std::string* path, std::string* why) {
  if (ifname == nullptr || ifname[0] == '\0' || std::strchr(ifname, '/') != nullptr ||
      std::strlen(ifname) > 64 || std::strcmp(ifname, ".") == 0 ||
      std::strcmp(ifname, "..") == 0) {
    *why = std::string("'") + (ifname ? ifname : "") + "' is no interface name";
    return false;
  }
  unsigned long long inode = 0;
  if (!NetnsInode(&inode, why)) return false;
  *path = dir + "/" + ifname + "@" + std::to_string(inode) + ext;
  return true;
}

bool ClaimPathIn(const std::string& dir, const char* ifname, std::string* path,
                 std::string* why) {
  return NamespaceFileIn(dir, ifname, ".lock", path, why);
}

// Run as root: gives the folder the owner and mode of the tmpfiles.d
// entry when the group exists and it has others, so that an earlier run
// as root (before the package made the group) or a hand's chmod does not
// lock the group's operators out. Without the group it stays root's alone.
// What was changed goes to *note.
void ShareWithGroup(const std::string& dir, std::string* note) {
  gid_t gid = 0;
  if (geteuid() != 0 || !GroupId(ClaimGroup(), &gid)) return;
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && !Shared(st, gid) && fchown(fd, 0, gid) == 0 &&
      fchmod(fd, kSharedFolderMode) == 0) {
    *note = "The claim folder " + dir + " was " + UserName(st.st_uid) + ":" +
            GroupName(st.st_gid) + " with mode " + Octal(st.st_mode) + "; it is now root:" +
            GroupName(gid) + " with mode " + Octal(kSharedFolderMode) +
            ", as the package makes it, so that the group's operators may claim interfaces";
  }
  close(fd);
}

bool EnsureDir(const std::string& dir, std::string* why, std::string* note) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *why = "the claim folder " + dir + " is no folder";
      return false;
    }
    ShareWithGroup(dir, note);
    return true;
  }
  int err = errno;
  if (err == ENOENT) {
    if (mkdir(dir.c_str(), S_IRWXU) == 0) {
      std::string made;  // a new folder is no news
      ShareWithGroup(dir, &made);
      return true;
    }
    err = errno;
    if (err == EEXIST) return true;
    *why = "cannot create the claim folder " + dir + ": " + Errno(err) + kMakeHint;
    return false;
  }
  *why = "cannot use the claim folder " + dir + ": " + Errno(err) + Hint(dir, err);
  return false;
}

// Opens a file of the claim folder, making it when missing. Never follows
// a link, never blocks on something that is no plain file.
int OpenShared(const std::string& dir, const std::string& path, int access,
               std::string* why) {
  const int flags = access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = -1;
  int err = 0;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = open(path.c_str(), flags | O_CREAT | O_EXCL, kSharedFileMode);
    if (fd >= 0) {
      // Whatever the umask: every member of the group opens it again.
      fchmod(fd, kSharedFileMode);
      break;
    }
    err = errno;
    if (err != EEXIST) break;
    fd = open(path.c_str(), flags);
    err = errno;
    if (fd < 0 && err != ENOENT) break;
  }
  if (fd < 0) {
    *why = "cannot open " + path + ": " + Errno(err) + Hint(dir, err);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *why = path + " is no plain file";
    return -1;
  }
  return fd;
}

pid_t ReadPid(int fd) {
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end != text && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

bool L2_OperatorGroup(gid_t* gid) { return GroupId(ClaimGroup(), gid); }

std::string L2_UserName(uid_t uid) { return UserName(uid); }

bool L2_NamespaceFile(const char* ifname, const char* ext, std::string* path,
                      std::string* why) {
  return NamespaceFileIn(L2_ClaimDir(), ifname, ext, path, why);
}

bool L2_NamespaceTag(std::string* tag, std::string* why) {
  unsigned long long inode = 0;
  if (!NetnsInode(&inode, why)) return false;
  *tag = "@" + std::to_string(inode);
  return true;
}

std::string L2_ClaimDir() {
  std::lock_guard<std::mutex> lock(gDirMu);
  return Test().dir.empty() ? std::string(SKAV_CLAIM_DIR) : Test().dir;
}

void L2_SetClaimDirForTest(const char* dir, const char* group) {
  std::lock_guard<std::mutex> lock(gDirMu);
  Test().dir = dir != nullptr ? dir : "";
  Test().group = group != nullptr ? group : "";
}

bool L2_ClaimPath(const char* ifname, std::string* path, std::string* why) {
  return ClaimPathIn(L2_ClaimDir(), ifname, path, why);
}

L2_ClaimGuard::L2_ClaimGuard(std::chrono::milliseconds wait)
    : L2_ClaimGuard(L2_ClaimDir(), wait) {}

L2_ClaimGuard::L2_ClaimGuard(const std::string& dir, std::chrono::milliseconds wait)
    : dir_(dir) {
  if (!EnsureDir(dir_, &why_, &note_)) return;
  const std::string path = dir_ + "/" + kGuardName;
  const int fd = OpenShared(dir_, path, O_RDONLY, &why_);
  if (fd < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return;
    }
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      why_ = "cannot lock " + path + ": " + Errno(err);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      why_ = "another process has held " + path + " for too long";
      break;
    }
    std::this_thread::sleep_for(kGuardPoll);
  }
  close(fd);
}

L2_ClaimGuard::~L2_ClaimGuard() {
  if (fd_ >= 0) close(fd_);
}

bool L2_ClaimGuard::Claimed(const char* ifname) const {
  if (!ok()) return true;
  std::string path, why;
  if (!ClaimPathIn(dir_, ifname, &path, &why)) return true;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno != ENOENT;
  // A shared lock is refused only while a server holds the exclusive one;
  // closing gives the shared one back at once.
  const bool claimed = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  return claimed;
}

L2_IfClaim::~L2_IfClaim() { Release(); }

L2_IfClaim::Result L2_IfClaim::Take(const char* ifname) {
  Release();
  holder_ = 0;
  reason_.clear();
  note_.clear();
  const std::string dir = L2_ClaimDir();
  std::string path;
  if (!ClaimPathIn(dir, ifname, &path, &reason_)) return Result::kFailed;
  L2_ClaimGuard guard(dir, L2_ClaimGuard::kWait);
  note_ = guard.note();
  if (!guard.ok()) {
    reason_ = guard.why();
    return Result::kFailed;
  }
  const int fd = OpenShared(dir, path, O_RDWR, &reason_);
  if (fd < 0) return Result::kFailed;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      // Its holder wrote the pid under the guard, which this reads under.
      holder_ = ReadPid(fd);
      close(fd);
      return Result::kTaken;
    }
    reason_ = "cannot lock " + path + ": " + Errno(err);
    close(fd);
    return Result::kFailed;
  }
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  // A claim whose pid cannot be written still keeps others out; they just
  // cannot name it.
  const bool recorded =
      ftruncate(fd, 0) == 0 && pwrite(fd, text, static_cast<size_t>(n), 0) == n;
  (void)recorded;
  fd_ = fd;
  dir_ = dir;
  path_ = path;
  return Result::kClaimed;
}

void L2_IfClaim::Release() {
  if (fd_ < 0) return;
  // The file goes with the claim, under the guard: every opening of a
  // claim file happens under it, so nobody holds this one open to lock it
  // after it is gone. Without the guard the file stays; an unlocked file
  // claims nothing. In a shared folder another user's file stays too (the
  // sticky bit), for the same reason harmlessly.
  L2_ClaimGuard guard(dir_, kReleaseWait);
  struct stat mine, named;
  if (guard.ok() && fstat(fd_, &mine) == 0 && lstat(path_.c_str(), &named) == 0 &&
      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
    unlink(path_.c_str());
  }
  close(fd_);
  fd_ = -1;
}
