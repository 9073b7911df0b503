// Leftover namespaces of a killed run are removed at the next start, and
// never those of a run that is still going.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/netns.h"

namespace {

bool NetnsExists(const std::string& name) {
  return Shell("ip netns list 2>/dev/null | awk '{print $1}' | grep -qx '" + name + "'") == 0;
}

pid_t GonePid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

}  // namespace

TEST(NetnsSweep, RemovesOnlyTheNamespacesOfAGoneCreator) {
  SKAV_REQUIRE_NETNS();
  const std::string prefix = "skavsweep";
  const std::string gone = prefix + std::to_string(GonePid()) + "-s1";
  const std::string alive = NetnsName(prefix, "s1");
  const std::string unlike = prefix + "x" + std::to_string(GonePid()) + "-s1";
  for (const std::string& ns : {gone, alive, unlike})
    ASSERT_EQ(Shell("ip netns add " + ns), 0) << ns;

  SweepStaleNetns(prefix);
  const bool goneLeft = NetnsExists(gone);
  const bool aliveLeft = NetnsExists(alive);
  const bool unlikeLeft = NetnsExists(unlike);
  for (const std::string& ns : {gone, alive, unlike}) Shell("ip netns del " + ns + " 2>/dev/null");

  EXPECT_FALSE(goneLeft);
  EXPECT_TRUE(aliveLeft);
  EXPECT_TRUE(unlikeLeft);  // not a name this prefix makes
}

TEST(NetnsSweep, PairsOfOneProcessHaveNamesOfTheirOwnAndGoWithThePair) {
  SKAV_REQUIRE_NETNS();
  std::string first;
  {
    NetnsPair a("skavsweep");
    NetnsPair b("skavsweep");
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NE(a.serverNs(), b.serverNs());
    EXPECT_NE(a.serverIf(), b.serverIf());
    EXPECT_LE(a.serverIf().size(), 15u);
    EXPECT_EQ(NetnsPair::Exec(a.deviceNs(), "ip link show " + a.deviceIf() + " | grep -q UP"), 0);
    first = a.serverNs();
  }
  EXPECT_FALSE(NetnsExists(first));
}
