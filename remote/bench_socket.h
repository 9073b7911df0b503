// Where a bench's engine listens for front ends: one socket per interface
// and network namespace in the claim folder, beside the interface's claim
// ("veth0@4026531840.lock" and "veth0@4026531840.sock"). The folder belongs
// to root and the group 'skav': nobody else may even look inside.
#pragma once

#include <string>
#include <vector>

namespace remote {

/// The bench socket of interface `ifname` of the calling thread's network
/// namespace; false with the reason when it cannot be named.
bool BenchSocketPath(const std::string& ifname, std::string* path, std::string* why);

/// The interfaces of this namespace that have a bench socket, sorted by
/// name. False with the reason when the folder cannot be read.
bool ListBenchSockets(std::vector<std::string>* interfaces, std::string* why);

}  // namespace remote
