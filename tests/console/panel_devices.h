// Client records for console tests: real CClientThread objects on an
// in-memory link, never started, their state and flags set by hand.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "report/debug_print.h"
#include "link/memory_port.h"
#include "protocol/client_thread.h"
#include "transfer/upload_images.h"

using Mac = std::array<uint8_t, 6>;

inline Mac MacOf(uint8_t last) { return Mac{0, 0, 0, 0, 0, last}; }

/// A client list sorted by MAC, as the server thread keeps gClientList.
class Devices {
 public:
  Devices() {
    const uint8_t serverMac[6] = {0x02, 0, 0, 0, 0, 0x01};
    link_ = MakeMemoryIf(serverMac, &port_);
    // A firmware image on offer: a Closed client is then Done only with
    // fwUpgradeDone, otherwise Error.
    withFirmware_.buf[0] = firmware_;
    withFirmware_.len[0] = sizeof firmware_;
  }

  CClientThread* head() const { return head_; }
  size_t size() const { return owned_.size(); }

  /// A new client in state Active, inserted at its MAC-sorted place.
  /// `nothingOffered`: no firmware and no string tables, so Closed is Done.
  CClientThread* Add(const Mac& mac, bool nothingOffered = false) {
    auto client = std::make_unique<CClientThread>(
        link_.get(), &slot_, mac.data(),
        nothingOffered ? &nothing_ : &withFirmware_, 0);
    client->SetState(Active);
    CClientThread** at = &head_;
    while (*at != nullptr && std::memcmp((*at)->mac, mac.data(), 6) < 0) {
      at = &(*at)->next;
    }
    client->next = *at;
    *at = client.get();
    owned_.push_back(std::move(client));
    return *at;
  }

  CClientThread* Find(const Mac& mac) const {
    for (CClientThread* c = head_; c != nullptr; c = c->next) {
      if (std::memcmp(c->mac, mac.data(), 6) == 0) return c;
    }
    return nullptr;
  }

  /// The device closed after receiving everything: Done.
  static void FinishDone(CClientThread* c) {
    c->SetFlag(fwUpgradeDone);
    c->SetState(Closed);
  }
  /// The device closed without its firmware: Error.
  static void FinishError(CClientThread* c) { c->SetState(Closed); }

  /// What Clear does to the table: unlinks the Closed clients that are Done.
  void RemoveDone() {
    CClientThread** at = &head_;
    while (*at != nullptr) {
      if ((*at)->State() == Closed && ClientOutcome(**at) == Outcome::kDone) {
        *at = (*at)->next;
      } else {
        at = &(*at)->next;
      }
    }
  }

 private:
  uint8_t firmware_[4] = {1, 2, 3, 4};
  UploadImages withFirmware_;
  UploadImages nothing_;
  LogSlot slot_{nullptr};
  MemoryPort* port_ = nullptr;
  std::unique_ptr<L2_If> link_;
  CClientThread* head_ = nullptr;
  std::vector<std::unique_ptr<CClientThread>> owned_;
};
