// Fingerprints of the images a run offers: the SHA-256 of each, by
// OpenSSL's libcrypto, with its name, file and size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/image_facts.h"
#include "transfer/upload_images.h"

/// The SHA-256 of `len` bytes as 64 lower-case hexadecimal digits; empty
/// when libcrypto fails.
std::string Sha256Hex(const uint8_t* bytes, size_t len);

/// Fills `facts` (kImageCount entries) for the images loaded in `images`,
/// from the files of `paths` (index 0 firmware, 1 to 6 the tables).
void FingerprintImages(const UploadImages& images, const std::string paths[kImageCount],
                       ImageFacts facts[kImageCount]);

/// The Debug Window line of one loaded image: its name, file, size and
/// SHA-256, ended by CR LF.
std::string FingerprintLine(const ImageFacts& facts);
