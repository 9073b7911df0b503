// What kernel TFTP mode needs from the system: the interface's own MAC and
// the device address on the interface, so that the kernel and a real TFTP
// server of the namespace take the pushes.
#pragma once

#include <cstdint>
#include <string>

/// The hardware address of `ifName` in this namespace.
bool InterfaceMac(const std::string& ifName, uint8_t mac[6],
                  std::string* error);

/// Puts `ipHost`/8 on `ifName` (replacing an equal entry left earlier).
bool AssignKernelAddress(const std::string& ifName, uint32_t ipHost,
                         std::string* error);

/// Takes `ipHost`/8 off `ifName` again; quiet when it is not there.
void ReleaseKernelAddress(const std::string& ifName, uint32_t ipHost);

/// Size of the file at `path`, or -1 when it does not exist.
int64_t FileSize(const std::string& path);
