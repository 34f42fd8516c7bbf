#include "updater/BirdFile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#include <memory>

#include "app/Log.h"
#include "link/aBytes.h"
#include "link/aFile.h"

const uint8_t BirdFileClass::BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
const uint8_t BirdFileClass::BIRD_FILE_VERSION[2] = {0x01, 0x01};

namespace {

// Length of a block record's header: type/flags byte and the 4-byte length.
const uint32_t kRecordHeader = 5;
// Bytes of the address field in front of a loader or firmware image.
const uint32_t kAddressSize = 4;
// A USB string descriptor holds the 8 serial digits as 16 bytes of UTF-16LE.
const uint32_t kDescriptorBytes = 16;
const uint32_t kVectorBytes = 32;
const uint32_t kDumpLineBytes = 50;

// True when `count` bytes at `offset` lie inside `size` bytes; never wraps.
bool sFits(uint32_t size, uint32_t offset, uint32_t count) {
  return count <= size && offset <= size - count;
}

// Copies `size` bytes at `offset` of a block's data into `out`, zero-filling
// what the block does not hold (a short BLOCK_INFO must not be read past).
void sCopyField(const BirdFileBlockClass* block, uint32_t offset, uint32_t size, char* out) {
  memset(out, 0, size);
  if (block->length <= offset) return;
  uint32_t avail = block->length - offset;
  memcpy(out, block->data + offset, avail < size ? avail : size);
}

// Opening a FIFO for reading would wait for a writer without limit, so only
// regular files are opened (and so only a plain file is taken as a BIRD file).
bool sOpenable(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

BirdFileClass::BirdFileClass(const char* path) {
  if (path) Load(path);
}

BirdFileClass::~BirdFileClass() {
  filename.clear();
  ReleaseData();
}

void BirdFileClass::DeleteBlocks() {
  for (BirdFileBlockClass* block : blocks) delete block;
  blocks.clear();
}

void BirdFileClass::ReleaseData() {
  DeleteBlocks();
  free(data);
  data = nullptr;
  dataSize = 0;
  // What was read from the released body goes with it: a later failed load
  // must not leave the block count or offsets of the previous file behind.
  blockCount = 0;
  checksum = 0;
  serialOffset = 0;
  descriptorOffset = 0;
  offline = false;
}

uint32_t BirdFileClass::GetInt(const uint8_t* p) { return aBytes_GetBE32(p); }

bool BirdFileClass::VerifyFile(const char* path) {
  aFileRef file = sOpenable(path) ? aFile_Open(path, aFileModeRead) : nullptr;
  if (!file) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
    return false;
  }
  uint8_t header[HEADER_SIZE];
  size_t got = 0;
  aErr err = aFile_Read(file, header, sizeof(header), &got);
  aFile_Close(&file);
  return err == aErrNone && got == sizeof(header) &&
         memcmp(header, BIRD_FILE_SIGNATURE, sizeof(BIRD_FILE_SIGNATURE)) == 0 && header[4] != 0 &&
         header[5] != 0;
}

bool BirdFileClass::Load(const char* path) {
  ReleaseData();
  filename.clear();
  if (!path) path = "";
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);

  if (!aFile_Exists(path)) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
    return false;
  }
  aFileRef file = sOpenable(path) ? aFile_Open(path, aFileModeRead) : nullptr;
  if (!file) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 (int)err, path);
    aFile_Close(&file);
    return false;
  }
  // The body gets eight times its compressed size, counted in 32 bits; a file
  // whose body could not be given that is refused before it is read at all.
  if (size > HEADER_SIZE && size - HEADER_SIZE > UINT32_MAX / 8) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Error allocating uncompressed buffer, exiting.\n");
    aFile_Close(&file);
    return false;
  }

  // malloc rather than a vector: a file too large for memory is a read error
  // to report, not an exception.
  std::unique_ptr<uint8_t, void (*)(void*)> raw((uint8_t*)malloc(size ? size : 1), free);
  size_t got = 0;
  if (!raw) {
    err = aErrMemory;
  } else if (size > 0) {
    err = aFile_Read(file, raw.get(), size, &got);
  }
  aFile_Close(&file);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", (int)err, path);
    return false;
  }
  if (got < size) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path, got, size);
    return false;
  }

  filename = path;
  if (size < HEADER_SIZE) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: File %s is too short (%zu bytes)\n", path,
                 size);
    return false;
  }
  if (!DecompressData(raw.get() + HEADER_SIZE, size - HEADER_SIZE)) return false;
  ScanBlocks(data, dataSize);
  FindSerialNumberOffsets();
  return true;
}

bool BirdFileClass::DecompressData(const uint8_t* src, size_t len) {
  free(data);
  data = nullptr;
  dataSize = 0;
  // 8 x len must fit 32 bits: a wrapped capacity would be a far too small
  // buffer that zlib then reports as a buffer error at best.
  if (!src || len > UINT32_MAX / 8) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Error allocating uncompressed buffer, exiting.\n");
    return false;
  }
  uint32_t capacity = (uint32_t)len * 8;
  // At least one byte, so that an empty body still gets a real buffer.
  data = (uint8_t*)malloc(capacity ? capacity : 1);
  if (!data) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Error allocating uncompressed buffer, exiting.\n");
    return false;
  }
  dataSize = capacity;

  uLongf outLen = capacity;
  int r = uncompress(data, &outLen, src, (uLong)len);
  if (r != Z_OK) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
    free(data);
    data = nullptr;
    dataSize = 0;
    return false;
  }
  dataSize = (uint32_t)outLen;
  // Give back the unused capacity; the body is exactly dataSize bytes long.
  if (dataSize > 0) {
    uint8_t* shrunk = (uint8_t*)realloc(data, dataSize);
    if (shrunk) data = shrunk;
  }
  return true;
}

bool BirdFileClass::ScanBlocks(const uint8_t* buf, uint32_t size) {
  DeleteBlocks();
  blockCount = 0;
  checksum = 0;
  bool ok = true;

  // A body too short for its block count has nothing to index; without this
  // check `size - 4` would wrap to nearly 4 GiB of "remaining" bytes.
  if (!buf || size < 4) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 buf ? (int)size : 0);
    return false;
  }

  uint32_t reported = GetInt(buf);
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", (int)reported);
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  const uint8_t* p = buf + 4;
  uint32_t remaining = size - 4;
  while (remaining >= kRecordHeader) {
    uint8_t typeByte = p[0];
    uint32_t length = GetInt(p + 1);
    // A block longer than what follows its header ends the scan unindexed.
    if (length > remaining - kRecordHeader) break;

    BirdFileBlockClass* block = new BirdFileBlockClass;
    block->type = typeByte & BIRD_FILE_TYPE_MASK;
    block->flags = (uint8_t)((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
    block->length = length;
    block->data = const_cast<uint8_t*>(p + kRecordHeader);
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block->type,
                 block->flags, (int)length);
    if (block->type == BLOCK_INFO && Log::IsActive(DEBUG_BirdFile)) {
      char info[INFO_BLOCK_SIZE];
      sCopyField(block, 0, INFO_BLOCK_SIZE, info);
      for (uint32_t f = 0; f < INFO_BLOCK_SIZE; f += INFO_FIELD_SIZE) {
        Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", info + f);
      }
    }
    p += kRecordHeader + length;
    remaining -= kRecordHeader + length;
    blocks.push_back(block);
    blockCount++;
  }

  if (remaining >= 4) {
    checksum = GetInt(p);
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    remaining -= 4;
  }
  if (remaining != 0) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 (int)remaining);
    ok = false;
  }
  if (blockCount != reported) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 (int)blockCount, (int)reported);
    ok = false;
  }
  return ok;
}

BirdFileBlockClass* BirdFileClass::FindBlockType(BLOCK_TYPE type, BirdFileBlockClass* after) {
  size_t start = 0;
  if (after) {
    size_t i = 0;
    while (i < blocks.size() && blocks[i] != after) i++;
    if (i == blocks.size()) return nullptr;
    start = i + 1;
  }
  for (size_t i = start; i < blocks.size(); i++) {
    if (blocks[i]->type == (uint8_t)type) return blocks[i];
  }
  return nullptr;
}

bool BirdFileClass::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  BirdFileBlockClass* block = FindBlockType(BLOCK_SERIAL_OFFSETS, nullptr);
  if (!block || block->length < 8) return false;
  serialOffset = GetInt(block->data);
  descriptorOffset = GetInt(block->data + 4);
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
               (int)serialOffset, (int)descriptorOffset);
  return true;
}

bool BirdFileClass::ReplaceSerialNumber(uint32_t serial) {
  if (serialOffset == 0) {
    Log::FPrintf(stdout, DEBUG_BirdFile,
                 "BIRDFILE: ReplaceSerialNumber() serial number offset not specified\n");
    return false;
  }
  char digits[9];
  snprintf(digits, sizeof(digits), "%08X", serial);

  for (BirdFileBlockClass* block = FindBlockType(BLOCK_FIRMWARE, nullptr); block;
       block = FindBlockType(BLOCK_FIRMWARE, block)) {
    // A block too short for its address holds no image to patch.
    if (block->length < kAddressSize) continue;
    uint8_t* image = block->data + kAddressSize;
    uint32_t imageLength = block->length - kAddressSize;
    if (sFits(imageLength, serialOffset, 4)) {
      Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                   aBytes_GetLE32(image + serialOffset), serial);
      aBytes_PutLE32(image + serialOffset, serial);
    }
    if (descriptorOffset != 0 && sFits(imageLength, descriptorOffset, kDescriptorBytes)) {
      for (uint32_t k = 0; k < 8; k++) image[descriptorOffset + 2 * k] = (uint8_t)digits[k];
    }
  }
  return true;
}

bool BirdFileClass::ReplaceVectorChecksum() {
  for (BirdFileBlockClass* block = FindBlockType(BLOCK_FIRMWARE, nullptr); block;
       block = FindBlockType(BLOCK_FIRMWARE, block)) {
    if (block->length < kAddressSize + kVectorBytes) continue;
    if (GetInt(block->data) != 0) continue;
    uint8_t* image = block->data + kAddressSize;
    uint32_t sum = 0;
    for (int w = 0; w < 7; w++) sum += aBytes_GetLE32(image + 4 * w);
    uint32_t oldWord = aBytes_GetLE32(image + 28);
    uint32_t newWord = 0u - sum;
    Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 oldWord, newWord);
    aBytes_PutLE32(image + 28, newWord);
  }
  return true;
}

bool BirdFileClass::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t stream[16];
  for (int w = 0; w < 4; w++) {
    stream[4 * w] = (uint8_t)(key[w] >> 24);
    stream[4 * w + 1] = (uint8_t)(key[w] >> 16);
    stream[4 * w + 2] = (uint8_t)(key[w] >> 8);
    stream[4 * w + 3] = (uint8_t)key[w];
  }
  for (BirdFileBlockClass* block = FindBlockType(BLOCK_FIRMWARE, nullptr); block;
       block = FindBlockType(BLOCK_FIRMWARE, block)) {
    if (block->length <= kAddressSize) continue;
    uint8_t* image = block->data + kAddressSize;
    uint32_t imageLength = block->length - kAddressSize;
    uint8_t prev = 0;
    for (uint32_t i = 0; i < imageLength; i++) {
      uint8_t plain = image[i] ^ stream[i & 15] ^ prev;
      image[i] = plain;
      prev = plain;
    }
  }
  return true;
}

bool BirdFileClass::ValidateData(const uint8_t* pattern, uint32_t n) {
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n",
               filename.c_str());
  Log::FPrintf(stdout, DEBUG_BirdFile, "BIRDFILE: offsets: [%d, %d]\n", (int)serialOffset,
               (int)descriptorOffset);
  if (Log::IsActive(DEBUG_BirdFile) && pattern) {
    for (uint32_t i = 0; i < n; i++) {
      if (i % 50 == 0) Log::FPrintf(stdout, DEBUG_BirdFile, "\nBIRDFILE:");
      Log::FPrintf(stdout, DEBUG_BirdFile, "%02X ", pattern[i]);
    }
  }
  Log::FPrintf(stdout, DEBUG_BirdFile, "\n");

  bool found = false;
  // An empty pattern names nothing to look for.
  if (pattern && n > 0) {
    for (BirdFileBlockClass* block = FindBlockType(BLOCK_FIRMWARE, nullptr); block;
         block = FindBlockType(BLOCK_FIRMWARE, block)) {
      if (block->length <= n) continue;
      // Start positions 0 .. L - n - 1: every compare stays inside the block.
      uint32_t last = block->length - n;
      for (uint32_t j = 0; j < last; j++) {
        if (block->data[j] == pattern[0] && memcmp(block->data + j, pattern, n) == 0) {
          Log::FPrintf(stdout, DEBUG_BirdFile, "Found data at %d\n", (int)j);
          found = true;
        }
      }
    }
  }
  Log::FPrintf(stdout, DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFileClass::ValidateModel(const char* model) {
  BirdFileBlockClass* info = FindBlockType(BLOCK_INFO, nullptr);
  if (!info || !model) return false;
  char field[INFO_FIELD_SIZE + 1];
  sCopyField(info, 3 * INFO_FIELD_SIZE, INFO_FIELD_SIZE, field);
  field[INFO_FIELD_SIZE] = 0;
  for (int i = (int)INFO_FIELD_SIZE - 1; i >= 0 && (field[i] == ' ' || field[i] == 0); i--) {
    field[i] = 0;
  }
  // strncmp stops at the field's end, so a field shorter than the name fails.
  bool match = strncmp(field, model, strlen(model)) == 0;
  if (match) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field,
                 model);
  }
  return match;
}

bool BirdFileClass::GetSerialNumber(char* out) {
  BirdFileBlockClass* info = FindBlockType(BLOCK_INFO, nullptr);
  if (!info || !out) return false;
  sCopyField(info, 2 * INFO_FIELD_SIZE, 8, out);
  out[8] = 0;
  return true;
}

bool BirdFileClass::ValidateSerialNumber(uint32_t serial) {
  char fileSerial[9];
  if (!GetSerialNumber(fileSerial)) return false;
  char wanted[9];
  snprintf(wanted, sizeof(wanted), "%08X", serial);
  bool match = memcmp(fileSerial, wanted, 8) == 0;
  if (!match) {
    Log::FPrintf(stdout, DEBUG_BirdFile, "Serial Number DOES NOT MATCH ([%s] != [%s])\n",
                 fileSerial, wanted);
  }
  return match;
}

void BirdFileClass::DumpBlocks(BLOCK_TYPE type) {
  Log::FPrintf(stdout, 0, "BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
  // Output is gathered a line at a time rather than printed byte by byte; the
  // text is the same.
  std::string text;
  std::string line;
  for (BirdFileBlockClass* block = FindBlockType(type, nullptr); block;
       block = FindBlockType(type, block)) {
    for (uint32_t i = 0; i < block->length; i++) {
      if (i % kDumpLineBytes == 0) {
        Log::FPrintf(stdout, 0, "%s %s\r\n%06d: ", line.c_str(), text.c_str(), (int)i);
        line.clear();
        text.clear();
      }
      uint8_t c = block->data[i];
      text += (c >= 0x20 && c < 0x7F) ? (char)c : ' ';
      char hex[4];
      snprintf(hex, sizeof(hex), "%02X ", c);
      line += hex;
    }
    Log::FPrintf(stdout, 0, "%s %s\n", line.c_str(), text.c_str());
    line.clear();
    text.clear();
  }
  Log::FPrintf(stdout, 0, "\n");
}
