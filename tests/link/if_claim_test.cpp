// The interface claim in a folder of the test's own: one holder at a time,
// named by its pid; a killed holder blocks nothing; the folder made when
// missing and refused in plain words when unusable; and, as root, the
// folder shared by a group of users who are not root, and a folder with
// another owner or mode named to them and mended by a run as root.
#include "link/if_claim.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Result = L2_IfClaim::Result;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class IfClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/skav-claim-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    top_ = name;
    dir_ = top_ + "/claims";
    L2_SetClaimDirForTest(dir_.c_str());
  }
  void TearDown() override {
    L2_SetClaimDirForTest(nullptr);
    std::error_code ec;
    fs::remove_all(top_, ec);
  }

  static std::string PathOf(const char* ifname) {
    std::string path, why;
    EXPECT_TRUE(L2_ClaimPath(ifname, &path, &why)) << why;
    return path;
  }

  static bool ClaimedNow(const char* ifname) {
    L2_ClaimGuard guard;
    EXPECT_TRUE(guard.ok()) << guard.why();
    return guard.Claimed(ifname);
  }

  // Runs `body` in a child process and returns what it wrote to the pipe
  // given to it. With `stay`, the child lives on after writing (until the
  // test kills it) and its pid goes to *pid.
  static std::string InChild(const std::function<std::string()>& body, bool stay = false,
                             pid_t* pid = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      const std::string said = body();
      if (write(fds[1], said.data(), said.size()) < 0) _exit(3);
      close(fds[1]);
      if (stay) pause();
      _exit(0);
    }
    close(fds[1]);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    close(fds[0]);
    if (pid != nullptr) *pid = child;
    if (!stay) waitpid(child, nullptr, 0);
    return said;
  }


 public:
  static std::string Said(Result r, const L2_IfClaim& claim) {
    switch (r) {
      case Result::kClaimed: return "claimed";
      case Result::kTaken: return "taken by " + std::to_string(claim.holder());
      case Result::kFailed: return "failed: " + claim.reason();
    }
    return "?";
  }

 protected:
  std::string top_, dir_;
};

TEST_F(IfClaimTest, OneHolderAtATimeNamedByItsPidAndTheFileGoesWithTheClaim) {
  L2_IfClaim first, second, other;
  ASSERT_EQ(first.Take("eth7"), Result::kClaimed) << first.reason();
  const std::string path = PathOf("eth7");
  EXPECT_EQ(Slurp(path), std::to_string(getpid()) + "\n");
  EXPECT_TRUE(ClaimedNow("eth7"));
  EXPECT_FALSE(ClaimedNow("eth8"));

  // Another claim of the same interface, even in this process, is refused
  // and names the holder; another interface is free.
  EXPECT_EQ(second.Take("eth7"), Result::kTaken);
  EXPECT_EQ(second.holder(), getpid());
  EXPECT_FALSE(second.held());
  EXPECT_EQ(other.Take("eth8"), Result::kClaimed) << other.reason();
  EXPECT_TRUE(first.held());
  EXPECT_TRUE(ClaimedNow("eth7"));

  first.Release();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(ClaimedNow("eth7"));
  EXPECT_TRUE(ClaimedNow("eth8"));
  EXPECT_EQ(second.Take("eth7"), Result::kClaimed) << second.reason();
}

TEST_F(IfClaimTest, AKilledHolderLeavesItsFileButNotItsClaim) {
  pid_t holder = -1;
  const std::string said = InChild(
      [] {
        auto* kept = new L2_IfClaim;  // lives as long as the child
        return Said(kept->Take("eth7"), *kept);
      },
      true, &holder);
  ASSERT_EQ(said, "claimed");
  L2_IfClaim claim;
  EXPECT_EQ(claim.Take("eth7"), Result::kTaken);
  EXPECT_EQ(claim.holder(), holder);

  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(fs::exists(PathOf("eth7")));
  EXPECT_FALSE(ClaimedNow("eth7"));
  ASSERT_EQ(claim.Take("eth7"), Result::kClaimed) << claim.reason();
  EXPECT_EQ(Slurp(PathOf("eth7")), std::to_string(getpid()) + "\n");
}

TEST_F(IfClaimTest, AMissingFolderIsMadeClosedToOthersAndAnUnusableOneIsNamed) {
  L2_IfClaim claim;
  ASSERT_FALSE(fs::exists(dir_));
  ASSERT_EQ(claim.Take("eth7"), Result::kClaimed) << claim.reason();
  struct stat st;
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & S_IRWXO, 0u) << std::oct << st.st_mode;
  claim.Release();

  // A folder where a file is, and a folder under a file.
  std::ofstream(top_ + "/plain") << "x";
  for (const std::string& bad : {top_ + "/plain", top_ + "/plain/claims"}) {
    L2_SetClaimDirForTest(bad.c_str());
    EXPECT_EQ(claim.Take("eth7"), Result::kFailed) << bad;
    EXPECT_NE(claim.reason().find(bad), std::string::npos) << claim.reason();
    EXPECT_FALSE(claim.held());
    L2_ClaimGuard guard;
    EXPECT_FALSE(guard.ok());
    EXPECT_TRUE(guard.Claimed("eth7")) << "unknown must count as claimed";
  }
}

// The pid is written into the claim file: a link planted there by a member
// of the group must not lead the write to another file.
TEST_F(IfClaimTest, AClaimFileThatIsALinkIsRefusedAndItsTargetUntouched) {
  L2_IfClaim claim;
  ASSERT_EQ(claim.Take("eth9"), Result::kClaimed);  // makes the folder
  claim.Release();
  const std::string target = top_ + "/precious";
  std::ofstream(target) << "keep me";
  fs::create_symlink(target, PathOf("eth7"));
  EXPECT_EQ(claim.Take("eth7"), Result::kFailed);
  EXPECT_NE(claim.reason().find(PathOf("eth7")), std::string::npos) << claim.reason();
  EXPECT_EQ(Slurp(target), "keep me");
}

TEST_F(IfClaimTest, NotAnInterfaceNameIsRefused) {
  L2_IfClaim claim;
  for (const char* bad : {"", ".", "..", "a/b"}) {
    EXPECT_EQ(claim.Take(bad), Result::kFailed) << bad;
  }
}

// Runs `body` as user `uid` (group `uid`), also in group `member` unless
// it is 0, under umask 077: a user who is not root.
std::function<std::string()> As(uid_t uid, gid_t member,
                                 const std::function<std::string()>& body) {
  return [=] {
    const gid_t groups[] = {member};
    if (setgroups(member != 0 ? 1 : 0, groups) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
      return std::string("cannot become ") + std::to_string(uid);
    umask(077);
    return body();
  };
}

std::string TakeAndRelease() {
  L2_IfClaim claim;
  const std::string said = IfClaimTest::Said(claim.Take("eth7"), claim);
  claim.Release();
  return said;
}

// The folder as the tmpfiles.d entry makes it (root, a group, 3770) serves
// users of the group who are not root, whatever their umask.
TEST_F(IfClaimTest, GroupMembersWhoAreNotRootShareTheFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  const gid_t group = 54321;
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  ASSERT_EQ(chown(top_.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(top_.c_str(), 0755), 0);
  ASSERT_EQ(chown(dir_.c_str(), 0, group), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 03770), 0);

  pid_t holder = -1;
  ASSERT_EQ(InChild(As(65534, group,
                       [] {
                         auto* kept = new L2_IfClaim;  // lives as long as the child
                         return Said(kept->Take("eth7"), *kept);
                       }),
                    true, &holder),
            "claimed");
  EXPECT_EQ(InChild(As(65533, group, TakeAndRelease)), "taken by " + std::to_string(holder));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // The file the first user made, opened again by the second.
  EXPECT_EQ(InChild(As(65533, group, TakeAndRelease)), "claimed");
  const std::string outsider = InChild(As(65532, 0, TakeAndRelease));
  EXPECT_EQ(outsider.rfind("failed: ", 0), 0u) << outsider;
  EXPECT_NE(outsider.find("'skav' group"), std::string::npos) << outsider;
}

// A folder left root's alone (0700) by a run as root before the group
// existed locks out every member of the group: they are told what the
// folder is and the command that mends it, not to join the group they are
// in; a later run as root mends it, and says so, but only once the group
// exists.
TEST_F(IfClaimTest, AFolderOfAnEarlierRootRunIsNamedToTheGroupAndMendedByRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a group and act as other users";
  const std::string name = "skavclaim" + std::to_string(getpid());
  ASSERT_EQ(chmod(top_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  L2_SetClaimDirForTest(dir_.c_str(), name.c_str());
  const auto mode = [this] {
    struct stat st {};
    stat(dir_.c_str(), &st);
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
           std::to_string(st.st_mode & 07777);
  };

  // No group yet: root keeps the folder as it is.
  const std::string lonely = InChild(As(65533, 54321, TakeAndRelease));
  EXPECT_NE(lonely.find("is root:root with mode 0700, not root:" + name +
                        " with mode 3770, and there is no group '" + name + "'"),
            std::string::npos)
      << lonely;
  EXPECT_NE(lonely.find("'systemd-sysusers skav-server.conf && systemd-tmpfiles"),
            std::string::npos)
      << lonely;
  L2_IfClaim root;
  ASSERT_EQ(root.Take("eth7"), Result::kClaimed) << root.reason();
  EXPECT_EQ(root.note(), "");
  root.Release();
  EXPECT_EQ(mode(), "0:0 " + std::to_string(0700));

  ASSERT_EQ(std::system(("groupadd --system " + name).c_str()), 0);
  const group* made = getgrnam(name.c_str());
  ASSERT_NE(made, nullptr);
  const gid_t gid = made->gr_gid;
  struct Remove {
    std::string name;
    ~Remove() { std::system(("groupdel " + name).c_str()); }
  } remove{name};

  const std::string member = InChild(As(65533, gid, TakeAndRelease));
  EXPECT_EQ(member.rfind("failed: ", 0), 0u) << member;
  EXPECT_NE(member.find("the claim folder " + dir_ + " is root:root with mode 0700, not root:" +
                        name + " with mode 3770; as root, 'systemd-tmpfiles --create "
                        "skav-server.conf' mends it, as does 'chown root:" + name + " " + dir_ +
                        " && chmod 3770 " + dir_ + "'"),
            std::string::npos)
      << member;
  EXPECT_EQ(member.find("log in again"), std::string::npos) << member;

  ASSERT_EQ(root.Take("eth7"), Result::kClaimed) << root.reason();
  EXPECT_EQ(root.note(), "The claim folder " + dir_ + " was root:root with mode 0700; it is now "
                         "root:" + name + " with mode 3770, as the package makes it, so that "
                         "the group's operators may claim interfaces");
  root.Release();
  EXPECT_EQ(mode(), "0:" + std::to_string(gid) + " " + std::to_string(03770));
  EXPECT_EQ(InChild(As(65533, gid, TakeAndRelease)), "claimed");
  ASSERT_EQ(root.Take("eth7"), Result::kClaimed) << root.reason();
  EXPECT_EQ(root.note(), "") << "a folder as it should be is left alone";
}

}  // namespace
