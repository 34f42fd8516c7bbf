// One fuzz input run through the BIRD loader, shared by the libFuzzer target
// and the unit test that replays the corpus. The input is used three times:
// as an uncompressed body for ScanBlocks; compressed here and inflated again,
// so that the inflate path sees well-formed streams of arbitrary bodies; and,
// when it carries a header, as a whole file whose body is inflated first.
// Every operation that reads or patches blocks then runs on the result, and
// every block indexed must lie inside its body. DumpBlocks prints on standard
// output.
#ifndef QN_TESTS_FUZZ_BIRDFILEEXERCISE_H
#define QN_TESTS_FUZZ_BIRDFILEEXERCISE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <vector>

#include "updater/BirdFile.h"

namespace birdfuzz {

// True when every block of `bird` lies inside the `size` bytes at `body`.
inline bool BlocksInside(const BirdFileClass& bird, const uint8_t* body, size_t size) {
  for (const BirdFileBlockClass* b : bird.blocks)
    if (b->data < body || (uint64_t)(b->data - body) + b->length > size) return false;
  return bird.blockCount == bird.blocks.size();
}

inline void Exercise(BirdFileClass& bird) {
  static const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  static const uint8_t pattern[4] = {0xCD, 0xAB, 0x12, 0x00};
  char serial[9];
  bird.FindSerialNumberOffsets();
  bird.GetSerialNumber(serial);
  bird.ValidateSerialNumber(0x0012ABCD);
  bird.ValidateModel("Hub");
  bird.ValidateData(pattern, sizeof(pattern));
  bird.ReplaceSerialNumber(0x0012ABCD);
  bird.ReplaceVectorChecksum();
  bird.DecodeFirmwareBlocks(key);
  bird.DumpBlocks(BirdFileClass::BLOCK_INFO);
}

// False when a block lies outside its body.
inline bool ExerciseInput(const uint8_t* input, size_t size) {
  bool inside = true;
  {
    // An exact-size copy, so that reading one byte past the body is caught.
    std::vector<uint8_t> body(input, input + size);
    BirdFileClass bird;
    bird.ScanBlocks(body.data(), (uint32_t)body.size());
    inside = BlocksInside(bird, body.data(), body.size());
    Exercise(bird);
  }
  uLongf packedSize = compressBound(size);
  std::vector<uint8_t> packed(packedSize);
  BirdFileClass bird;
  if (compress2(packed.data(), &packedSize, input, size, 1) == Z_OK &&
      bird.DecompressData(packed.data(), packedSize)) {
    bird.ScanBlocks(bird.data, bird.dataSize);
    inside = BlocksInside(bird, bird.data, bird.dataSize) && inside;
    Exercise(bird);
  }
  if (size >= BirdFileClass::HEADER_SIZE && memcmp(input, "bird", 4) == 0 &&
      bird.DecompressData(input + BirdFileClass::HEADER_SIZE, size - BirdFileClass::HEADER_SIZE)) {
    bird.ScanBlocks(bird.data, bird.dataSize);
    inside = BlocksInside(bird, bird.data, bird.dataSize) && inside;
    Exercise(bird);
  }
  return inside;
}

}  // namespace birdfuzz

#endif  // QN_TESTS_FUZZ_BIRDFILEEXERCISE_H
