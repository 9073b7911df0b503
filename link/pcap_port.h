// The libpcap backend of L2_Port: a capture handle on one Ethernet device.
#pragma once

#include <memory>

#include "link/l2_if.h"

/// Opens capture device `name` as L2_Open needs it: snaplen 1600, not
/// promiscuous, 10 ms read timeout, immediate mode, incoming frames only,
/// SKAV and IPv4 frames only, non-blocking. Returns nullptr with the reason
/// in errorText (256 bytes) on failure; nothing stays open then.
std::unique_ptr<L2_Port> PcapPortOpen(const char* name, char* errorText);
