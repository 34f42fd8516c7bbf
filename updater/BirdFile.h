// BIRD firmware files: loading, indexing and in-memory patching.
//
// File layout (every container integer is big-endian):
//   0   4  signature "bird"
//   4   1  version byte 1 (non-zero)
//   5   1  version byte 2 (non-zero)
//   6   .. body: one zlib stream
// Uncompressed body:
//   0   4  block count N
//   4   .. N block records: type/flags byte, length L (u32), L data bytes
//   end-4  4  file checksum (reported only, never verified)
// Loader and firmware blocks start with a 4-byte big-endian target address
// followed by the image. Words inside an image (serial number, vector table)
// are little-endian: the images are for a little-endian processor.
//
// A BIRD file is untrusted input: every length and offset read from it is
// checked against the bytes that really exist before it is used.
//
// Ownership: a BirdFileClass owns its uncompressed body (`data`) and the block
// records in `blocks`. Each block's `data` points into that body; it is valid
// until the next Load, ReleaseData or destruction. Not copyable.
//
// Thread-safety: none; one thread uses an object at a time. All diagnostics go
// to standard output on the DEBUG_BirdFile log channel, except DumpBlocks,
// which prints on channel 0.
#ifndef QN_UPDATER_BIRDFILE_H
#define QN_UPDATER_BIRDFILE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// One indexed block; a plain record owned by its BirdFileClass.
class BirdFileBlockClass {
 public:
  uint8_t type = 0;         // 0 to 31
  uint8_t flags = 0;        // the three flag bits, 0 to 7
  uint32_t length = 0;      // L, bytes of block data
  uint8_t* data = nullptr;  // first data byte inside the owner's body (not owned)
};

class BirdFileClass {
 public:
  enum BLOCK_TYPE {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_ENTRY = 5
  };

  static const uint8_t BIRD_FILE_SIGNATURE[4];  // "bird"
  static const uint8_t BIRD_FILE_VERSION[2];    // 0x01 0x01
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

  // Sizes fixed by the format.
  static constexpr size_t HEADER_SIZE = 6;
  static constexpr uint32_t INFO_FIELD_SIZE = 16;
  static constexpr uint32_t INFO_BLOCK_SIZE = 64;

  // Loads `filename` when it is not null; the result is not reported (test
  // `blockCount` or the blocks).
  explicit BirdFileClass(const char* filename = nullptr);
  ~BirdFileClass();
  BirdFileClass(const BirdFileClass&) = delete;
  BirdFileClass& operator=(const BirdFileClass&) = delete;

  // Deletes the block records and the body; the object is empty afterwards.
  void ReleaseData();
  // Reads, decompresses and indexes a file. The header is not examined (use
  // VerifyFile first). A scan that finds an inconsistent block structure does
  // not fail the load: the blocks parsed up to that point stay usable.
  bool Load(const char* filename);
  // Header check only: "bird" and two non-zero version bytes.
  static bool VerifyFile(const char* filename);
  // Inflates a zlib stream into `data`/`dataSize`. The body may be at most
  // eight times the compressed size.
  bool DecompressData(const uint8_t* src, size_t len);
  // Indexes the blocks of an uncompressed body; the block records point into
  // `buf`, which must outlive them. True when the block count and the size
  // are consistent.
  bool ScanBlocks(const uint8_t* buf, uint32_t size);
  static uint32_t GetInt(const uint8_t* p);

  // The first block of `type` after `after` (null: from the start); null when
  // there is none or `after` is not a block of this file.
  BirdFileBlockClass* FindBlockType(BLOCK_TYPE type, BirdFileBlockClass* after);
  bool FindSerialNumberOffsets();
  // Writes `serial` into every firmware image at the serial offset, and its
  // hexadecimal text into the USB string descriptor at the descriptor offset.
  bool ReplaceSerialNumber(uint32_t serial);
  // Makes the first eight vector words of address-0 firmware images sum to 0.
  bool ReplaceVectorChecksum();
  // Descrambles every firmware image in place with a 128-bit chip key.
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  // True when `pattern` occurs in the data of a firmware block.
  bool ValidateData(const uint8_t* pattern, uint32_t n);
  bool ValidateModel(const char* model);
  // `out` must hold at least 9 bytes.
  bool GetSerialNumber(char* out);
  bool ValidateSerialNumber(uint32_t serial);
  void DumpBlocks(BLOCK_TYPE type);

  std::string filename;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdFileBlockClass*> blocks;
  bool offline = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  uint8_t* data = nullptr;  // malloc'ed body, freed by ReleaseData
  uint32_t dataSize = 0;

 private:
  void DeleteBlocks();
};

#endif  // QN_UPDATER_BIRDFILE_H
