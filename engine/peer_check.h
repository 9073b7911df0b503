// Who may attach to a bench's engine: the kernel's word on the process at
// the other end of the socket (its user and groups when it connected),
// never anything the front end says of itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

/// The peer's credentials as the kernel recorded them at connect().
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;  ///< supplementary groups
};

/// Reads them from a connected Unix socket (SO_PEERCRED, SO_PEERGROUPS).
/// False with the reason when the kernel cannot tell.
bool ReadPeerCredentials(int fd, PeerCredentials* peer, std::string* why);

/// Empty when `peer` may attach: root, the engine's own user `self`, or a
/// member of the operators' group (`operators`, when `haveGroup`).
/// Otherwise the reason, in plain words with the remedy.
std::string PeerRefusal(const PeerCredentials& peer, uid_t self, bool haveGroup,
                        gid_t operators);
