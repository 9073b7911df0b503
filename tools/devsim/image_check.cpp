// Checking received images against expectations as the blocks arrive.
#include "devsim/image_check.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

bool ImageExpectations::Any() const {
  for (const ImageExpectation& e : image)
    if (e.given) return true;
  return false;
}

int ImageIndexFromName(const std::string& name) {
  if (name == "firmware" || name == "fw" || name == "0") return 0;
  std::string digits = name;
  if (digits.rfind("st", 0) == 0) digits = digits.substr(2);
  if (digits.size() == 1 && digits[0] >= '1' && digits[0] <= '6')
    return digits[0] - '0';
  return -1;
}

std::string RequestName(int index) {
  return index == 0 ? "firmware" : "string table " + std::to_string(index);
}

std::string WrqName(int index) {
  if (index == 0) return "firmware";
  char name[32];
  std::snprintf(name, sizeof name, "string table %02d", index);
  return name;
}

std::string ImageLabel(int index) {
  return index == 0 ? "firmware" : "st" + std::to_string(index);
}

uint64_t Fnv1a(const uint8_t* bytes, size_t n, uint64_t hash) {
  for (size_t i = 0; i < n; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void ImageCheck::Begin(const ImageExpectation* expectation) {
  expect_ = expectation;
  received_ = 0;
  hash_ = Fnv1a(nullptr, 0);
  firstMismatch_ = -1;
}

// FNV-1a goes byte by byte, each multiplication waiting for the last: with
// a thousand devices it took a sixth of the simulator's time, and the
// simulator's one thread plays them all. While the blocks match the
// expected content, a comparison is enough and the hash is the content's.
void ImageCheck::Add(const uint8_t* bytes, size_t n) {
  if (Following()) {
    const std::vector<uint8_t>& want = *expect_->content;
    const size_t left = want.size() - received_;
    // An empty block (or file) may come with no storage behind it at all.
    if (n <= left && (n == 0 || std::memcmp(want.data() + received_, bytes, n) == 0)) {
      received_ += n;
      return;
    }
    size_t same = 0;
    while (same < n && same < left && want[received_ + same] == bytes[same]) ++same;
    firstMismatch_ = static_cast<int64_t>(received_ + same);
    hash_ = Fnv1a(want.data(), received_);
  }
  hash_ = Fnv1a(bytes, n, hash_);
  received_ += n;
}

uint64_t ImageCheck::Hash() const {
  if (!Following()) return hash_;
  const std::vector<uint8_t>& want = *expect_->content;
  return received_ == want.size() ? expect_->contentFnv : Fnv1a(want.data(), received_);
}

namespace {

std::string Judge(const ImageExpectation* e, uint64_t received,
                  uint64_t hash, int64_t firstMismatch) {
  if (!e || !e->given) return "";
  char why[160];
  if (e->content) {
    if (firstMismatch >= 0) {
      std::snprintf(why, sizeof why, "differs from the expected file at byte %lld",
                    static_cast<long long>(firstMismatch));
      return why;
    }
    if (received != e->content->size()) {
      std::snprintf(why, sizeof why, "%llu bytes, expected %zu",
                    static_cast<unsigned long long>(received),
                    e->content->size());
      return why;
    }
  }
  if (e->size >= 0 && received != static_cast<uint64_t>(e->size)) {
    std::snprintf(why, sizeof why, "%llu bytes, expected %lld",
                  static_cast<unsigned long long>(received),
                  static_cast<long long>(e->size));
    return why;
  }
  if (e->fnvGiven && hash != e->fnv) {
    std::snprintf(why, sizeof why, "hash %016llx, expected %016llx",
                  static_cast<unsigned long long>(hash),
                  static_cast<unsigned long long>(e->fnv));
    return why;
  }
  return "";
}

}  // namespace

std::string ImageCheck::Verdict() const {
  return Judge(expect_, received_, hash_, firstMismatch_);
}

std::string CheckFile(const std::string& path,
                      const ImageExpectation* expectation, uint64_t* size,
                      uint64_t* hash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  ImageCheck check;
  check.Begin(expectation);
  check.Add(bytes.data(), bytes.size());
  *size = check.Received();
  *hash = check.Hash();
  return check.Verdict();
}
