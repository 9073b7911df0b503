// What each simulated device expects to receive, and the check of what
// arrives, block by block, without storing the image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr int kSimImageCount = 7;  // 0 firmware, 1..6 string tables

/// Expectation for one image: its bytes, or its size and/or FNV-1a hash.
struct ImageExpectation {
  bool given = false;
  std::shared_ptr<const std::vector<uint8_t>> content;  ///< may be empty
  uint64_t contentFnv = 0;  ///< Fnv1a of the whole content, when given
  int64_t size = -1;       ///< -1: not checked
  uint64_t fnv = 0;
  bool fnvGiven = false;
};

struct ImageExpectations {
  ImageExpectation image[kSimImageCount];
  /// True when any image has an expectation: the offer must then be
  /// exactly the set of expected images.
  bool Any() const;
};

/// "firmware", "st1".."st6" or "1".."6" to an index; -1 when unknown.
int ImageIndexFromName(const std::string& name);

/// The name the device asks for in its TFTP-UL-REQ.
std::string RequestName(int index);

/// The file name the server must put in its WRQ for `index`.
std::string WrqName(int index);

/// Short label for reports: "firmware", "st1".."st6".
std::string ImageLabel(int index);

/// 64-bit FNV-1a, continued from `hash`.
uint64_t Fnv1a(const uint8_t* bytes, size_t n,
               uint64_t hash = 0xcbf29ce484222325ULL);

/// Follows one image as its blocks arrive.
class ImageCheck {
 public:
  void Begin(const ImageExpectation* expectation);
  /// Takes the next bytes of the image in order.
  void Add(const uint8_t* bytes, size_t n);
  /// After the last block: empty when everything matched, else why not.
  std::string Verdict() const;

  uint64_t Received() const { return received_; }
  uint64_t Hash() const;

 private:
  const ImageExpectation* expect_ = nullptr;
  uint64_t received_ = 0;
  uint64_t hash_ = 0xcbf29ce484222325ULL;  // of what came, once not Following()
  int64_t firstMismatch_ = -1;

  // Every byte so far matched the expected content, and hash_ is not kept:
  // the hash of what came is that of the content's start.
  bool Following() const { return expect_ && expect_->content && firstMismatch_ < 0; }
};

/// Checks a whole file on disk against `expectation` (kernel TFTP mode).
/// Fills size and hash; returns empty when it matched, else why not.
std::string CheckFile(const std::string& path,
                      const ImageExpectation* expectation, uint64_t* size,
                      uint64_t* hash);
