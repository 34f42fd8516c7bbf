#include "tools/birdtool/BirdPack.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "tools/birdtool/FirmwareStamp.h"

namespace birdpack {

namespace {

const size_t kInfoField = 16;
const size_t kVectorBytes = 32;
// The largest image gen-image writes: big enough for any benchmark.
const uint64_t kMaxGeneratedImage = 1ull << 30;

uint32_t sGetLE32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

bool sParseUnsigned(const std::string& text, int base, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || isspace((unsigned char)text[0])) {
    return false;
  }
  const char* digits = text.c_str();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (base == 10) return false;
    base = 16;
    digits += 2;
  }
  if (base == 0) base = 10;
  if (*digits == 0 || *digits == '-' || *digits == '+' || isspace((unsigned char)*digits)) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(digits, &end, base);
  if (errno != 0 || *end != 0 || v > max) return false;
  *value = v;
  return true;
}

// Image of an ADDR:FILE argument: 0, 1 when the file cannot be read, 2 for a
// malformed argument.
int sImageArgument(const std::string& value, uint32_t* address, std::vector<uint8_t>* image,
                   std::string* error) {
  size_t colon = value.find(':');
  if (colon == std::string::npos || !ParseU32(value.substr(0, colon), address)) {
    *error = "expected ADDR:FILE, got '" + value + "'";
    return 2;
  }
  return ReadWholeFile(value.substr(colon + 1), image, error) ? 0 : 1;
}

struct PackJob {
  std::string output;
  std::vector<Block> blocks;
  bool scramble = false;
  uint32_t key[4] = {0, 0, 0, 0};
  bool vectorChecksum = false;
  bool stamp = false;
  uint32_t stampVersion = 0;
  uint32_t stampBuild = 0;
  uint8_t version1 = 1;
  uint8_t version2 = 1;
};

const char kPackUsage[] =
    "usage: birdtool pack -o OUT.bird [--loader ADDR:FILE]... [--firmware ADDR:FILE]...\n"
    "       [--info BUILD,VERSION,SERIAL,MODEL] [--serial-offsets SERIAL_OFF,DESCRIPTOR_OFF]\n"
    "       [--loader-entry ADDR] [--block TYPE:FILE] [--flags N] [--scramble W0,W1,W2,W3]\n"
    "       [--vector-checksum] [--stamp VERSION,BUILD] [--format-version B1,B2]\n";

// Parses the pack arguments into `job`; 0, or 1 for a file that cannot be
// read, or 2 for bad usage, with the reason in `error`.
int sParsePack(const std::vector<std::string>& args, PackJob* job, std::string* error) {
  int pendingFlags = -1;
  auto addBlock = [&](uint8_t type, std::vector<uint8_t> data) {
    Block b;
    b.type = type;
    b.flags = pendingFlags < 0 ? 0 : (uint8_t)pendingFlags;
    b.data = std::move(data);
    job->blocks.push_back(std::move(b));
    pendingFlags = -1;
  };

  for (size_t i = 0; i < args.size(); i++) {
    const std::string& opt = args[i];
    bool takesValue = opt == "-o" || opt == "--output" || opt == "--loader" ||
                      opt == "--firmware" || opt == "--info" || opt == "--serial-offsets" ||
                      opt == "--loader-entry" || opt == "--scramble" || opt == "--stamp" ||
                      opt == "--flags" || opt == "--block" || opt == "--format-version";
    if (opt == "--vector-checksum") {
      job->vectorChecksum = true;
      continue;
    }
    if (!takesValue) {
      *error = "unknown option '" + opt + "'";
      return 2;
    }
    if (i + 1 >= args.size()) {
      *error = "option " + opt + " needs a value";
      return 2;
    }
    const std::string& value = args[++i];

    if (opt == "-o" || opt == "--output") {
      job->output = value;
    } else if (opt == "--loader" || opt == "--firmware") {
      uint32_t address = 0;
      std::vector<uint8_t> image;
      int status = sImageArgument(value, &address, &image, error);
      if (status != 0) return status;
      addBlock(opt == "--loader" ? TYPE_LOADER : TYPE_FIRMWARE, ImageBlockData(address, image));
    } else if (opt == "--info") {
      std::vector<std::string> f = Split(value, ',');
      std::vector<uint8_t> data;
      if (f.size() != 4) {
        *error = "--info needs BUILD,VERSION,SERIAL,MODEL";
        return 2;
      }
      std::string fields[4] = {f[0], f[1], f[2], f[3]};
      if (!InfoBlockData(fields, &data)) {
        *error = "--info fields are at most 16 characters each";
        return 2;
      }
      addBlock(TYPE_INFO, data);
    } else if (opt == "--serial-offsets") {
      std::vector<std::string> f = Split(value, ',');
      uint32_t serialOff = 0, descriptorOff = 0;
      if (f.size() != 2 || !ParseU32(f[0], &serialOff) || !ParseU32(f[1], &descriptorOff)) {
        *error = "--serial-offsets needs SERIAL_OFF,DESCRIPTOR_OFF";
        return 2;
      }
      std::vector<uint8_t> data;
      PutBE32(&data, serialOff);
      PutBE32(&data, descriptorOff);
      addBlock(TYPE_SERIAL_OFFSETS, data);
    } else if (opt == "--loader-entry") {
      uint32_t entry = 0;
      if (!ParseU32(value, &entry)) {
        *error = "--loader-entry needs an address";
        return 2;
      }
      std::vector<uint8_t> data;
      PutBE32(&data, entry);
      addBlock(TYPE_LOADER_ENTRY, data);
    } else if (opt == "--block") {
      size_t colon = value.find(':');
      uint32_t type = 0;
      if (colon == std::string::npos || !ParseU32(value.substr(0, colon), &type) || type > 31) {
        *error = "--block needs TYPE:FILE with TYPE 0 to 31";
        return 2;
      }
      std::vector<uint8_t> data;
      if (!ReadWholeFile(value.substr(colon + 1), &data, error)) return 1;
      addBlock((uint8_t)type, data);
    } else if (opt == "--flags") {
      uint32_t flags = 0;
      if (!ParseU32(value, &flags) || flags > 7) {
        *error = "--flags needs a number from 0 to 7";
        return 2;
      }
      pendingFlags = (int)flags;
    } else if (opt == "--scramble") {
      std::vector<std::string> w = Split(value, ',');
      uint64_t word = 0;
      if (w.size() != 4) {
        *error = "--scramble needs four hexadecimal words W0,W1,W2,W3";
        return 2;
      }
      for (int k = 0; k < 4; k++) {
        if (!sParseUnsigned(w[k], 16, 0xFFFFFFFFu, &word)) {
          *error = "--scramble: '" + w[k] + "' is not a 32-bit hexadecimal word";
          return 2;
        }
        job->key[k] = (uint32_t)word;
      }
      job->scramble = true;
    } else if (opt == "--stamp") {
      std::vector<std::string> f = Split(value, ',');
      if (f.size() != 2 || !ParseVersion(f[0], &job->stampVersion) ||
          !ParseU32(f[1], &job->stampBuild)) {
        *error = "--stamp needs MAJOR.MINOR.PATCH,BUILD";
        return 2;
      }
      job->stamp = true;
    } else if (opt == "--format-version") {
      std::vector<std::string> f = Split(value, ',');
      uint32_t v1 = 0, v2 = 0;
      if (f.size() != 2 || !ParseU32(f[0], &v1) || !ParseU32(f[1], &v2) || v1 > 255 || v2 > 255) {
        *error = "--format-version needs two bytes B1,B2";
        return 2;
      }
      job->version1 = (uint8_t)v1;
      job->version2 = (uint8_t)v2;
    }
  }
  if (pendingFlags >= 0) {
    *error = "--flags must be followed by the block it applies to";
    return 2;
  }
  if (job->output.empty()) {
    *error = "no output file (-o OUT.bird)";
    return 2;
  }
  return 0;
}

// Stamp, vector checksum, then scrambling: the checksum covers the plain
// vector table, and scrambling comes last because it hides everything.
bool sTransformImages(PackJob* job, FILE* err, std::string* error) {
  bool first = true;
  bool checksummed = false;
  for (Block& b : job->blocks) {
    if (b.type != TYPE_FIRMWARE || b.data.size() < 4) continue;
    uint8_t* image = b.data.data() + 4;
    size_t size = b.data.size() - 4;
    if (job->stamp && first) {
      if (!qnstamp::WriteStamp(image, size, job->stampVersion, job->stampBuild)) {
        *error = "--stamp: the first firmware image is shorter than 16 bytes";
        return false;
      }
    }
    first = false;
    bool atZero = b.data[0] == 0 && b.data[1] == 0 && b.data[2] == 0 && b.data[3] == 0;
    if (job->vectorChecksum && atZero) {
      if (SetVectorChecksum(image, size)) {
        checksummed = true;
      } else {
        fprintf(err,
                "birdtool: warning: firmware image at address 0 is shorter than the "
                "32-byte vector table; no checksum set\n");
      }
    }
    if (job->scramble) ScrambleImage(image, size, job->key);
  }
  if (job->stamp && first) {
    *error = "--stamp needs a firmware image";
    return false;
  }
  if (job->vectorChecksum && !checksummed) {
    fprintf(err, "birdtool: warning: --vector-checksum found no firmware image at address 0\n");
  }
  return true;
}

}  // namespace

std::string BlockTypeName(uint8_t type) {
  switch (type) {
    case TYPE_LOADER:
      return "LOADER";
    case TYPE_FIRMWARE:
      return "FIRMWARE";
    case TYPE_SERIAL_OFFSETS:
      return "SERIAL_OFFSETS";
    case TYPE_INFO:
      return "INFO";
    case TYPE_LOADER_ENTRY:
      return "LOADER_ENTRY";
    default:
      return "TYPE" + std::to_string(type);
  }
}

void PutBE32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back((uint8_t)(value >> 24));
  out->push_back((uint8_t)(value >> 16));
  out->push_back((uint8_t)(value >> 8));
  out->push_back((uint8_t)value);
}

uint32_t ByteSum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; i++) sum += p[i];
  return sum;
}

std::vector<uint8_t> ImageBlockData(uint32_t address, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> data;
  data.reserve(image.size() + 4);
  PutBE32(&data, address);
  data.insert(data.end(), image.begin(), image.end());
  return data;
}

bool InfoBlockData(const std::string fields[4], std::vector<uint8_t>* out) {
  out->clear();
  for (int f = 0; f < 4; f++) {
    if (fields[f].size() > kInfoField) return false;
    std::string padded = fields[f];
    padded.resize(kInfoField, ' ');
    out->insert(out->end(), padded.begin(), padded.end());
  }
  return true;
}

std::vector<uint8_t> BuildBody(const std::vector<Block>& blocks) {
  std::vector<uint8_t> body;
  PutBE32(&body, (uint32_t)blocks.size());
  for (const Block& b : blocks) {
    body.push_back((uint8_t)((b.type & 0x1F) | ((b.flags & 0x7) << 5)));
    PutBE32(&body, (uint32_t)b.data.size());
    body.insert(body.end(), b.data.begin(), b.data.end());
  }
  PutBE32(&body, ByteSum(body.data(), body.size()));
  return body;
}

bool CompressBody(const std::vector<uint8_t>& body, std::vector<uint8_t>* stream,
                  std::string* error) {
  if (body.size() > 0xFFFFFFFFu) {
    *error = "body larger than 4 GiB";
    return false;
  }
  static const int kLevels[] = {9, 6, 1, 0};
  for (int level : kLevels) {
    uLongf size = compressBound((uLong)body.size());
    stream->resize(size);
    int r = compress2(stream->data(), &size, body.data(), (uLong)body.size(), level);
    if (r != Z_OK) {
      *error = "zlib compress2 failed (" + std::to_string(r) + ")";
      return false;
    }
    stream->resize(size);
    // Readers allocate 8 x the stream size for the body.
    if ((uint64_t)size * 8 >= body.size()) return true;
  }
  *error = "body cannot be stored within eight times its compressed size";
  return false;
}

std::vector<uint8_t> BuildFile(const std::vector<uint8_t>& stream, uint8_t version1,
                               uint8_t version2) {
  std::vector<uint8_t> file(6 + stream.size());
  const uint8_t header[6] = {'b', 'i', 'r', 'd', version1, version2};
  memcpy(file.data(), header, sizeof(header));
  if (!stream.empty()) memcpy(file.data() + 6, stream.data(), stream.size());
  return file;
}

void ScrambleImage(uint8_t* image, size_t size, const uint32_t key[4]) {
  uint8_t k[16];
  for (int w = 0; w < 4; w++) {
    for (int b = 0; b < 4; b++) k[4 * w + b] = (uint8_t)(key[w] >> (24 - 8 * b));
  }
  uint8_t prev = 0;
  for (size_t i = 0; i < size; i++) {
    uint8_t plain = image[i];
    image[i] = plain ^ k[i & 15] ^ prev;
    prev = plain;
  }
}

bool SetVectorChecksum(uint8_t* image, size_t size) {
  if (size < kVectorBytes) return false;
  uint32_t sum = 0;
  for (int w = 0; w < 7; w++) sum += sGetLE32(image + 4 * w);
  uint32_t word = 0u - sum;
  for (int b = 0; b < 4; b++) image[28 + b] = (uint8_t)(word >> (8 * b));
  return true;
}

std::vector<uint8_t> GenerateImage(size_t size, uint64_t seed) {
  std::vector<uint8_t> out(size);
  uint64_t state = seed;
  for (size_t i = 0; i < size; i += 8) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (size_t b = 0; b < 8 && i + b < size; b++) out[i + b] = (uint8_t)(z >> (8 * b));
  }
  return out;
}

bool ParseU32(const std::string& text, uint32_t* value) {
  uint64_t v = 0;
  if (!sParseUnsigned(text, 0, 0xFFFFFFFFu, &v)) return false;
  *value = (uint32_t)v;
  return true;
}

bool ParseU64(const std::string& text, uint64_t* value) {
  return sParseUnsigned(text, 0, UINT64_MAX, value);
}

bool ParseVersion(const std::string& text, uint32_t* packed) {
  std::vector<std::string> f = Split(text, '.');
  uint64_t major = 0, minor = 0, patch = 0;
  if (f.size() != 3 || !sParseUnsigned(f[0], 10, 15, &major) ||
      !sParseUnsigned(f[1], 10, 15, &minor) || !sParseUnsigned(f[2], 10, 0xFFFFFF, &patch)) {
    return false;
  }
  *packed = qnstamp::PackVersion((uint32_t)major, (uint32_t)minor, (uint32_t)patch);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content, std::string* error) {
  content->clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot open '" + path + "': " + strerror(errno);
    return false;
  }
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) {
    content->insert(content->end(), buffer, buffer + n);
  }
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& content,
                    std::string* error) {
  std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) {
    *error = "cannot create '" + temp + "': " + strerror(errno);
    return false;
  }
  bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write '" + path + "': " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

int PackCommand(const std::vector<std::string>& args, FILE* out, FILE* err) {
  PackJob job;
  std::string error;
  int status = sParsePack(args, &job, &error);
  if (status != 0) {
    fprintf(err, "birdtool pack: %s\n", error.c_str());
    if (status == 2) fputs(kPackUsage, err);
    return status;
  }
  if (!sTransformImages(&job, err, &error)) {
    fprintf(err, "birdtool pack: %s\n", error.c_str());
    return 2;
  }
  std::vector<uint8_t> body = BuildBody(job.blocks);
  std::vector<uint8_t> stream;
  if (!CompressBody(body, &stream, &error) ||
      !WriteWholeFile(job.output, BuildFile(stream, job.version1, job.version2), &error)) {
    fprintf(err, "birdtool pack: %s\n", error.c_str());
    return 1;
  }
  fprintf(out, "Wrote %s: %zu blocks, %zu body bytes, %zu file bytes\n", job.output.c_str(),
          job.blocks.size(), body.size(), stream.size() + 6);
  return 0;
}

int GenImageCommand(const std::vector<std::string>& args, FILE* out, FILE* err) {
  const char usage[] = "usage: birdtool gen-image --size N --seed S -o FILE\n";
  uint64_t size = 0, seed = 0;
  bool haveSize = false, haveSeed = false;
  std::string output;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& opt = args[i];
    if ((opt != "--size" && opt != "--seed" && opt != "-o" && opt != "--output") ||
        i + 1 >= args.size()) {
      fprintf(err, "birdtool gen-image: bad option '%s'\n%s", opt.c_str(), usage);
      return 2;
    }
    const std::string& value = args[++i];
    if (opt == "--size") {
      haveSize = ParseU64(value, &size) && size <= kMaxGeneratedImage;
      if (!haveSize) {
        fprintf(err, "birdtool gen-image: --size must be a number up to %llu\n",
                (unsigned long long)kMaxGeneratedImage);
        return 2;
      }
    } else if (opt == "--seed") {
      haveSeed = ParseU64(value, &seed);
      if (!haveSeed) {
        fprintf(err, "birdtool gen-image: --seed must be a number\n");
        return 2;
      }
    } else {
      output = value;
    }
  }
  if (!haveSize || !haveSeed || output.empty()) {
    fprintf(err, "birdtool gen-image: --size, --seed and -o are required\n%s", usage);
    return 2;
  }
  std::string error;
  if (!WriteWholeFile(output, GenerateImage((size_t)size, seed), &error)) {
    fprintf(err, "birdtool gen-image: %s\n", error.c_str());
    return 1;
  }
  fprintf(out, "Wrote %s: %llu bytes\n", output.c_str(), (unsigned long long)size);
  return 0;
}

}  // namespace birdpack
