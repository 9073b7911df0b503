// The SHA-256 of each image at Start, so that the records name an image by
// its content and not only by its file name.
#include "transfer/image_fingerprint.h"

#include <openssl/evp.h>


std::string Sha256Hex(const uint8_t* bytes, size_t len) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  // An empty image has no block; its hash is the hash of no bytes.
  static const uint8_t kNothing = 0;
  if (EVP_Digest(len ? bytes : &kNothing, len, digest, &digestLen, EVP_sha256(), nullptr) != 1)
    return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digestLen);
  for (unsigned int i = 0; i < digestLen; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

void FingerprintImages(const UploadImages& images, const std::string paths[kImageCount],
                       ImageFacts facts[kImageCount]) {
  for (int i = 0; i < kImageCount; ++i) {
    ImageFacts& f = facts[i];
    f = ImageFacts{};
    char name[kImageNameSize];
    ImageName(i, name);
    f.name = name;
    if (!images.Loaded(i)) continue;
    f.loaded = true;
    f.path = paths[i];
    f.size = images.len[i];
    f.sha256 = Sha256Hex(images.buf[i], images.len[i]);
  }
}

std::string FingerprintLine(const ImageFacts& facts) {
  return "Loaded " + facts.name + " from '" + facts.path + "': " + std::to_string(facts.size) +
         " bytes, SHA-256 " + (facts.sha256.empty() ? "unknown" : facts.sha256) + "\r\n";
}
