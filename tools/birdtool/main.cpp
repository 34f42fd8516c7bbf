// birdtool: builds and inspects BIRD firmware files.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/Log.h"
#include "tools/birdtool/BirdPack.h"
#include "tools/birdtool/FirmwareStamp.h"
#include "updater/BirdFile.h"

namespace {

const char kHelp[] =
    "Usage: birdtool <command> [options]\n"
    "\n"
    "Builds and inspects BIRD firmware files.\n"
    "\n"
    "Commands:\n"
    "  pack -o OUT.bird [options]   Write a BIRD file. Blocks are written in\n"
    "                               command-line order:\n"
    "      --loader ADDR:FILE       loader image for address ADDR\n"
    "      --firmware ADDR:FILE     firmware image for address ADDR\n"
    "      --info BUILD,VERSION,SERIAL,MODEL\n"
    "                               build information, each field at most 16 characters\n"
    "      --serial-offsets SERIAL_OFF,DESCRIPTOR_OFF\n"
    "                               where the serial number goes in each firmware\n"
    "                               image (makes the file offline compatible)\n"
    "      --loader-entry ADDR      start address of a loader written into RAM\n"
    "      --block TYPE:FILE        a block of any type 0..31 holding the file's bytes\n"
    "      --flags N                flags 0..7 of the block that follows\n"
    "    Firmware image options, applied in this order:\n"
    "      --stamp VERSION,BUILD    firmware stamp (VERSION as major.minor.patch) in the\n"
    "                               last 16 bytes of the first firmware image\n"
    "      --vector-checksum        vector word 7 of address-0 images makes words 0..7\n"
    "                               sum to 0\n"
    "      --scramble W0,W1,W2,W3   scramble every firmware image for this 128-bit\n"
    "                               chip ID (four hexadecimal words)\n"
    "    File option:\n"
    "      --format-version B1,B2   header version bytes (default 1,1)\n"
    "  show FILE [--dump TYPE] [--verbose]\n"
    "                               Print the header, blocks, build information,\n"
    "                               serial offsets and stamp; --dump prints the blocks\n"
    "                               of one type in hexadecimal, --verbose the loader's\n"
    "                               diagnostics.\n"
    "  gen-image --size N --seed S -o FILE\n"
    "                               Write N deterministic pseudo-random bytes.\n"
    "  help                         Show this text.\n"
    "\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix.\n"
    "Exit status: 0 done, 1 failed, 2 bad usage.\n";

bool sParseType(const std::string& text, uint8_t* type) {
  for (uint8_t t = 0; t < 32; t++) {
    if (text == birdpack::BlockTypeName(t)) {
      *type = t;
      return true;
    }
  }
  uint32_t value = 0;
  if (!birdpack::ParseU32(text, &value) || value > 31) return false;
  *type = (uint8_t)value;
  return true;
}

// A 16-byte text field as far as it goes: it ends at a zero byte.
std::string sField(const BirdFileBlockClass* block, uint32_t offset) {
  std::string text;
  for (uint32_t i = offset; i < offset + 16 && i < block->length && block->data[i]; i++) {
    text += (char)block->data[i];
  }
  return text;
}

void sShowBlocks(BirdFileClass& bird, FILE* out) {
  fprintf(out, "Blocks:\n     #  Type                Flags      Length  Address\n");
  for (size_t i = 0; i < bird.blocks.size(); i++) {
    const BirdFileBlockClass* b = bird.blocks[i];
    std::string type = birdpack::BlockTypeName(b->type) + " (" + std::to_string(b->type) + ")";
    fprintf(out, "  %4zu  %-20s %4u  %10u", i, type.c_str(), b->flags, b->length);
    if ((b->type == BirdFileClass::BLOCK_LOADER || b->type == BirdFileClass::BLOCK_FIRMWARE) &&
        b->length >= 4) {
      fprintf(out, "  0x%08X", BirdFileClass::GetInt(b->data));
    }
    fprintf(out, "\n");
  }
}

void sShowDetails(BirdFileClass& bird, FILE* out) {
  BirdFileBlockClass* info = bird.FindBlockType(BirdFileClass::BLOCK_INFO, nullptr);
  if (info) {
    fprintf(out, "Info:\n  Build:   [%s]\n  Version: [%s]\n  Serial:  [%s]\n  Model:   [%s]\n",
            sField(info, 0).c_str(), sField(info, 16).c_str(), sField(info, 32).c_str(),
            sField(info, 48).c_str());
  } else {
    fprintf(out, "Info: none\n");
  }
  if (bird.FindBlockType(BirdFileClass::BLOCK_SERIAL_OFFSETS, nullptr)) {
    fprintf(out,
            "Serial offsets: serial number %u (0x%X), descriptor %u (0x%X); offline compatible\n",
            bird.serialOffset, bird.serialOffset, bird.descriptorOffset, bird.descriptorOffset);
  } else {
    fprintf(out, "Serial offsets: none; device specific\n");
  }
  for (BirdFileBlockClass* b = bird.FindBlockType(BirdFileClass::BLOCK_LOADER_ENTRY, nullptr); b;
       b = bird.FindBlockType(BirdFileClass::BLOCK_LOADER_ENTRY, b)) {
    if (b->length >= 4) fprintf(out, "Loader entry: 0x%08X\n", BirdFileClass::GetInt(b->data));
  }
  BirdFileBlockClass* fw = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr);
  uint32_t version = 0, build = 0;
  if (fw && fw->length >= 4 && qnstamp::ReadStamp(fw->data + 4, fw->length - 4, &version, &build)) {
    fprintf(out, "Stamp: version %u.%u.%u, build %u\n", version >> 28, (version >> 24) & 0xF,
            version & 0xFFFFFF, build);
  } else {
    fprintf(out, "Stamp: none\n");
  }
}

int sShow(const std::vector<std::string>& args, FILE* out, FILE* err) {
  std::string path;
  bool dump = false;
  uint8_t dumpType = 0;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--verbose") {
      Log::ActivatePackage(DEBUG_BirdFile);
    } else if (args[i] == "--dump" && i + 1 < args.size()) {
      if (!sParseType(args[++i], &dumpType)) {
        fprintf(err, "birdtool show: unknown block type '%s'\n", args[i].c_str());
        return 2;
      }
      dump = true;
    } else if (path.empty() && !args[i].empty() && args[i][0] != '-') {
      path = args[i];
    } else {
      fprintf(
          err,
          "birdtool show: bad argument '%s'\nusage: birdtool show FILE [--dump TYPE] [--verbose]\n",
          args[i].c_str());
      return 2;
    }
  }
  if (path.empty()) {
    fprintf(err, "usage: birdtool show FILE [--dump TYPE] [--verbose]\n");
    return 2;
  }

  // Only the header is read here; the loader reads the file itself.
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(err, "birdtool show: cannot open '%s': %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  uint8_t header[6];
  size_t got = fread(header, 1, sizeof(header), f);
  long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
  fclose(f);
  fprintf(out, "File: %s (%ld bytes)\n", path.c_str(), size);
  bool headerOk = BirdFileClass::VerifyFile(path.c_str());
  if (got == sizeof(header) && memcmp(header, "bird", 4) == 0) {
    fprintf(out, "Header: bird, version %u.%u (%s)\n", header[4], header[5],
            headerOk ? "valid" : "INVALID: a version byte is 0");
  } else {
    fprintf(out, "Header: INVALID: not a BIRD file\n");
  }

  BirdFileClass bird;
  if (!bird.Load(path.c_str())) {
    fprintf(err, "birdtool show: %s: the body cannot be loaded%s\n", path.c_str(),
            Log::IsActive(DEBUG_BirdFile) ? "" : " (--verbose tells why)");
    return 1;
  }
  // Scan again, quietly, to learn whether the structure is consistent.
  unsigned savedMask = Log::package_bitmask;
  Log::DeactivatePackage(DEBUG_BirdFile);
  bool consistent = bird.ScanBlocks(bird.data, bird.dataSize);
  Log::package_bitmask = savedMask;

  uint32_t reported = bird.dataSize >= 4 ? BirdFileClass::GetInt(bird.data) : 0;
  fprintf(out, "Body: %u bytes, %u blocks reported, %u parsed, structure %s\n", bird.dataSize,
          reported, bird.blockCount, consistent ? "consistent" : "INCONSISTENT");
  if (consistent) {
    uint32_t sum = birdpack::ByteSum(bird.data, bird.dataSize - 4);
    fprintf(out, "Checksum: 0x%08X (%s the byte sum of the body)\n", bird.checksum,
            sum == bird.checksum ? "equals" : "differs from");
  }
  sShowBlocks(bird, out);
  sShowDetails(bird, out);
  if (dump) {
    fflush(out);
    bird.DumpBlocks((BirdFileClass::BLOCK_TYPE)dumpType);
  }
  return headerOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    fputs(kHelp, stderr);
    return 2;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "help" || command == "--help" || command == "-h") {
    fputs(kHelp, stdout);
    return 0;
  }
  if (command == "pack") return birdpack::PackCommand(args, stdout, stderr);
  if (command == "show") return sShow(args, stdout, stderr);
  if (command == "gen-image") return birdpack::GenImageCommand(args, stdout, stderr);
  fprintf(stderr, "birdtool: unknown command '%s' (birdtool --help lists them)\n", command.c_str());
  return 2;
}
