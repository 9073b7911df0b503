// Device records for the panel and log file tests, their state and flags
// set by hand.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "report/device_record.h"

using Mac = std::array<uint8_t, 6>;

inline Mac MacOf(uint8_t last) { return Mac{0, 0, 0, 0, 0, last}; }

/// A record list sorted by MAC, as the server thread keeps gClientList.
class Devices {
 public:
  DeviceRecord* head() const { return head_; }
  size_t size() const { return owned_.size(); }

  /// A new record in state Active, inserted at its MAC-sorted place.
  /// `nothingOffered`: no firmware and no string tables, so Closed is Done;
  /// otherwise a firmware image is on offer, and Closed is Done only with
  /// fwUpgradeDone.
  DeviceRecord* Add(const Mac& mac, bool nothingOffered = false) {
    auto record = std::make_unique<DeviceRecord>();
    std::memcpy(record->mac, mac.data(), 6);
    record->firmwareOffered = !nothingOffered;
    record->SetState(Active);
    DeviceRecord** at = &head_;
    while (*at != nullptr && std::memcmp((*at)->mac, mac.data(), 6) < 0) {
      at = &(*at)->next;
    }
    record->next = *at;
    *at = record.get();
    owned_.push_back(std::move(record));
    return *at;
  }

  DeviceRecord* Find(const Mac& mac) const {
    for (DeviceRecord* c = head_; c != nullptr; c = c->next) {
      if (std::memcmp(c->mac, mac.data(), 6) == 0) return c;
    }
    return nullptr;
  }

  /// The device closed after receiving everything: Done.
  static void FinishDone(DeviceRecord* c) {
    c->SetFlag(fwUpgradeDone);
    c->SetState(Closed);
  }
  /// The device closed without its firmware: Error.
  static void FinishError(DeviceRecord* c) { c->SetState(Closed); }

  /// What Clear does to the table: unlinks the Closed records that are Done.
  void RemoveDone() {
    DeviceRecord** at = &head_;
    while (*at != nullptr) {
      if ((*at)->State() == Closed && ClientOutcome(**at) == Outcome::kDone) {
        *at = (*at)->next;
      } else {
        at = &(*at)->next;
      }
    }
  }

 private:
  DeviceRecord* head_ = nullptr;
  std::vector<std::unique_ptr<DeviceRecord>> owned_;
};
