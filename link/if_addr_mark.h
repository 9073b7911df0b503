// How the server address is marked as this program's own, so that the
// clean-up at Start removes what earlier runs added and nothing else.
#pragma once

#include <cstdint>

/// Where the kernel keeps the marker of a server address.
enum class L2_AddrMark {
  kProtocol,  ///< the address protocol field (IFA_PROTO), Linux 5.18 on
  kLabel,     ///< the label IFNAME:912, on kernels without that field
};

/// Address protocol value of the server addresses this program adds. The
/// kernel's own values are 1 to 3; nothing else on a bench uses 145.
constexpr uint8_t kServerAddrProtocol = 145;

/// Label suffix on kernels without the protocol field. Digits only, so the
/// capture library does not list the label as a device of its own.
constexpr char kServerLabelSuffix[] = ":912";

/// The marker a kernel of release `release` (as `uname -r` prints it)
/// keeps: the protocol field from 5.18 on, the label before or when the
/// release cannot be read.
L2_AddrMark L2_AddrMarkFor(const char* release);

/// L2_SetIfAddr with an explicit marker.
int L2_SetIfAddrMarked(L2_AddrMark mark, const char* description,
                       const char* addr, const char* mask);

/// L2_ClearIfAddrs with an explicit marker.
int L2_ClearIfAddrsMarked(L2_AddrMark mark);

/// L2_KeepIfAddr with an explicit marker.
int L2_KeepIfAddrMarked(L2_AddrMark mark, const char* description, const char* addr,
                        const char* mask);
