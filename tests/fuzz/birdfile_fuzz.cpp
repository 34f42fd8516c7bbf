// Fuzzes the BIRD loader. The input is used twice: as an uncompressed body
// for ScanBlocks (most inputs are no zlib stream), and, when it carries a
// header, as a whole file whose body is inflated first. Every operation that
// reads blocks then runs on the result.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "updater/BirdFile.h"

namespace {

void Exercise(BirdFileClass& bird) {
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // DumpBlocks prints on the console channel.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size > (1u << 20)) return 0;
  {
    // An exact-size copy, so that reading one byte past the body is caught.
    std::vector<uint8_t> body(input, input + size);
    BirdFileClass bird;
    bird.ScanBlocks(body.data(), (uint32_t)body.size());
    Exercise(bird);
  }
  if (size >= BirdFileClass::HEADER_SIZE && memcmp(input, "bird", 4) == 0) {
    BirdFileClass bird;
    if (bird.DecompressData(input + BirdFileClass::HEADER_SIZE, size - BirdFileClass::HEADER_SIZE)) {
      bird.ScanBlocks(bird.data, bird.dataSize);
      Exercise(bird);
    }
  }
  return 0;
}
