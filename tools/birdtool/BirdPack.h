// The producer side of BIRD files: block records, body, compression, and the
// image transformations a producer applies (stamp, vector checksum,
// scrambling for one chip). Used by birdtool and by tests that need files.
//
// Plain functions over values; no global state, safe from any thread.
#ifndef QN_TOOLS_BIRDTOOL_BIRDPACK_H
#define QN_TOOLS_BIRDTOOL_BIRDPACK_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace birdpack {

enum {
  TYPE_LOADER = 0,
  TYPE_FIRMWARE = 1,
  TYPE_SERIAL_OFFSETS = 2,
  TYPE_INFO = 4,
  TYPE_LOADER_ENTRY = 5
};

struct Block {
  uint8_t type = 0;   // 0..31
  uint8_t flags = 0;  // 0..7
  std::vector<uint8_t> data;
};

// Names of the known block types, "TYPE<n>" style for the others.
std::string BlockTypeName(uint8_t type);

void PutBE32(std::vector<uint8_t>* out, uint32_t value);
uint32_t ByteSum(const uint8_t* p, size_t n);

// Loader or firmware block data: the big-endian address, then the image.
std::vector<uint8_t> ImageBlockData(uint32_t address, const std::vector<uint8_t>& image);
// Four 16-byte fields padded with spaces; false when a field is longer.
bool InfoBlockData(const std::string fields[4], std::vector<uint8_t>* out);

// Block count, the records, and the file checksum: the 32-bit sum of every
// body byte in front of it.
std::vector<uint8_t> BuildBody(const std::vector<Block>& blocks);
// A zlib stream of `body` that readers can inflate: they give the body at most
// eight times the stream's size, so a body that compresses better than that is
// stored with weaker compression (at worst in stored deflate blocks).
bool CompressBody(const std::vector<uint8_t>& body, std::vector<uint8_t>* stream,
                  std::string* error);
// "bird", the two version bytes, the stream.
std::vector<uint8_t> BuildFile(const std::vector<uint8_t>& stream, uint8_t version1 = 1,
                               uint8_t version2 = 1);

// Scrambles an image for the chip whose 128-bit ID is `key`: each plain byte
// p becomes p ^ K[k] ^ previous plain byte, K the key's 16 bytes, each word
// most significant byte first.
void ScrambleImage(uint8_t* image, size_t size, const uint32_t key[4]);
// Sets little-endian vector word 7 so that words 0..7 sum to 0; false when the
// image is shorter than the 32-byte table.
bool SetVectorChecksum(uint8_t* image, size_t size);

// Deterministic bytes: a splitmix64 sequence seeded with `seed`, eight bytes
// per step, least significant byte first.
std::vector<uint8_t> GenerateImage(size_t size, uint64_t seed);

// Numbers in decimal or with a 0x prefix in hexadecimal; the whole text must
// be the number.
bool ParseU32(const std::string& text, uint32_t* value);
bool ParseU64(const std::string& text, uint64_t* value);
// "major.minor.patch" into the packed form (major, minor 0..15).
bool ParseVersion(const std::string& text, uint32_t* packed);
std::vector<std::string> Split(const std::string& text, char separator);

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content, std::string* error);
// Writes through a temporary file and a rename, so no half-written file is
// left behind.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& content,
                    std::string* error);

// The "pack" and "gen-image" commands; `args` follow the command name.
// Return the exit status: 0 done, 1 failed, 2 bad usage.
int PackCommand(const std::vector<std::string>& args, FILE* out, FILE* err);
int GenImageCommand(const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace birdpack

#endif  // QN_TOOLS_BIRDTOOL_BIRDPACK_H
