// The credentials of a front end's process and the rule that decides
// whether it may attach.
#include "engine/peer_check.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "link/if_claim.h"

bool ReadPeerCredentials(int fd, PeerCredentials* peer, std::string* why) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    *why = std::string("the kernel cannot tell who connected: ") + std::strerror(errno);
    return false;
  }
  peer->pid = cred.pid;
  peer->uid = cred.uid;
  peer->gid = cred.gid;
  // The kernel says how many there are when the room is too small.
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
      groups.resize(len / sizeof(gid_t));
      peer->groups = std::move(groups);
      return true;
    }
    if (errno != ERANGE) break;
    groups.resize(len / sizeof(gid_t) + 1);
  }
  *why = std::string("the kernel cannot tell the groups of who connected: ") +
         std::strerror(errno);
  return false;
}

std::string PeerRefusal(const PeerCredentials& peer, uid_t self, bool haveGroup,
                        gid_t operators) {
  if (peer.uid == 0 || peer.uid == self) return {};
  if (haveGroup && (peer.gid == operators ||
                    std::find(peer.groups.begin(), peer.groups.end(), operators) !=
                        peer.groups.end())) {
    return {};
  }
  const std::string name = L2_UserName(peer.uid);
  return "user " + name + " (uid " + std::to_string(peer.uid) +
         ") is not a member of the group 'skav', whose members may use a bench; an "
         "administrator adds it with 'usermod -aG skav " + name + "' (it counts from the "
         "next login)";
}
