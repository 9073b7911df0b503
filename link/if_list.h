// The capture devices an operator can choose, and the server address on
// the chosen one.
#pragma once

#include <cstdint>

constexpr int kMaxIfs = 16;

struct L2_IfList {
  int32_t count = 0;
  char name[kMaxIfs][128] = {};
  char description[kMaxIfs][128] = {};
};

/// Lists up to 16 Ethernet capture devices. 0, or -1 after an ErrorBox.
int L2_ListIf(L2_IfList* list);

/// Copies the text between the first and the last single quote of
/// `description` into `target` (size bytes); the target is empty when the
/// description holds fewer than two quotes. Returns 0.
int L2_IfDescr(char* target, const char* description, int size);

/// Removes the server addresses this program added earlier on the interface
/// of `description` and on every interface no running server claims (see
/// link/if_claim.h), then adds addr/mask to the interface of `description`;
/// when another program put exactly addr/mask there, that one is used as it
/// is (see L2_IfAddrFound()). Refused, before anything is removed, when
/// another program put addr there with another prefix, or on another
/// interface that no running server claims. 0 when the address is on the
/// interface, 1 otherwise (with the reason in L2_LastIfAddrError()).
int L2_SetIfAddr(const char* description, const char* addr, const char* mask);

/// The trial of L2_SetIfAddr, which changes nothing: 0 when it would put
/// addr/mask on the interface of `description` or use the one there, 1 when
/// it would refuse (with the reason in L2_LastIfAddrError()).
int L2_CheckIfAddr(const char* description, const char* addr, const char* mask);

/// After L2_SetIfAddr returned 0 on this thread: true when it found the
/// address on the interface, put there by another program, and left it as
/// it is (nothing of this program removes it); false when it added it.
bool L2_IfAddrFound();

/// Removes every address entry this program added on an interface that no
/// running server claims. 0 when the address list was read, 1 otherwise.
int L2_ClearIfAddrs();

/// While a run holds the interface of `description`: puts addr/mask back
/// on it, marked as this program's own, when another program removed it.
/// 0 when it was there (ours, or another program's), 1 when it was put
/// back, -1 when it could not be (with the reason in L2_LastIfAddrError()).
int L2_KeepIfAddr(const char* description, const char* addr, const char* mask);

/// Takes the link named `name` up when it is down. 0 when it was up, 1 when
/// it was taken up, -1 when it could not be (with the reason in
/// L2_LastIfAddrError()).
int L2_TakeIfUp(const char* name);

/// The flags of the link named `name` (IFF_UP, IFF_RUNNING, ...); 0 when
/// there is none.
unsigned L2_IfFlags(const char* name);

/// False while the link named `name` is there but cannot carry frames: up
/// without its carrier (no cable, the other end off) or taken down. True
/// otherwise, also when there is no such link (that is another fault).
bool L2_IfHasLink(const char* name);

/// Plain-words reason of the last failure of L2_SetIfAddr, L2_CheckIfAddr,
/// L2_KeepIfAddr, L2_TakeIfUp or L2_ClearIfAddrs on the calling thread (for L2_ClearIfAddrs also an
/// earlier server address the system refused to delete); empty when the
/// last call met none.
const char* L2_LastIfAddrError();
