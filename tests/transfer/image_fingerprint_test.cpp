// Image fingerprints against published SHA-256 values, the empty image
// (which has no buffer to hash) included.
#include "transfer/image_fingerprint.h"

#include <gtest/gtest.h>

#include <string>

TEST(ImageFingerprint, Sha256OfNothingAndOfAbcAreThePublishedOnes) {
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ImageFingerprint, AnEmptyImageIsLoadedAndFingerprinted) {
  uint8_t byte = 0;
  UploadImages images;
  images.buf[4] = &byte;  // loaded, 0 bytes
  const std::string paths[kImageCount] = {"", "", "", "", "/srv/empty table"};
  ImageFacts facts[kImageCount];
  FingerprintImages(images, paths, facts);
  EXPECT_FALSE(facts[0].loaded);
  EXPECT_EQ(facts[0].name, "firmware");
  ASSERT_TRUE(facts[4].loaded);
  EXPECT_EQ(FingerprintLine(facts[4]),
            "Loaded string table 04 from '/srv/empty table': 0 bytes, SHA-256 "
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\r\n");
}
