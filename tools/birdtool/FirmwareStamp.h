// The firmware stamp: 16 bytes at the end of the first firmware image of a
// BIRD file that tell a simulated module which version and build it now runs.
//
//   0   8  ASCII "QNFWSTMP"
//   8   4  packed version (major << 28 | minor << 24 | patch), big-endian
//   12  4  build number, big-endian
//
// birdtool writes it ("pack --stamp"); the module simulator reads it from the
// image it was sent. Header only, so that a reader needs no library.
#ifndef QN_TOOLS_BIRDTOOL_FIRMWARESTAMP_H
#define QN_TOOLS_BIRDTOOL_FIRMWARESTAMP_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace qnstamp {

const size_t STAMP_SIZE = 16;
const char STAMP_MAGIC[8] = {'Q', 'N', 'F', 'W', 'S', 'T', 'M', 'P'};

inline uint32_t PackVersion(uint32_t major, uint32_t minor, uint32_t patch) {
  return (major << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF);
}

// Writes the stamp into the last 16 bytes of `image`; false when the image is
// shorter than that.
inline bool WriteStamp(uint8_t* image, size_t size, uint32_t version, uint32_t build) {
  if (!image || size < STAMP_SIZE) return false;
  uint8_t* s = image + size - STAMP_SIZE;
  memcpy(s, STAMP_MAGIC, sizeof(STAMP_MAGIC));
  for (int i = 0; i < 4; i++) {
    s[8 + i] = (uint8_t)(version >> (24 - 8 * i));
    s[12 + i] = (uint8_t)(build >> (24 - 8 * i));
  }
  return true;
}

// Reads the stamp from the last 16 bytes of `image`; false when the image is
// too short or does not end with a stamp.
inline bool ReadStamp(const uint8_t* image, size_t size, uint32_t* version, uint32_t* build) {
  if (!image || size < STAMP_SIZE) return false;
  const uint8_t* s = image + size - STAMP_SIZE;
  if (memcmp(s, STAMP_MAGIC, sizeof(STAMP_MAGIC)) != 0) return false;
  uint32_t v = 0, b = 0;
  for (int i = 0; i < 4; i++) {
    v = (v << 8) | s[8 + i];
    b = (b << 8) | s[12 + i];
  }
  if (version) *version = v;
  if (build) *build = b;
  return true;
}

}  // namespace qnstamp

#endif  // QN_TOOLS_BIRDTOOL_FIRMWARESTAMP_H
