// Helpers shared by the store and BIRD file tests (and the display tests
// of app/, which build BIRD files with the builders below).
#ifndef QN_TESTS_UPDATER_UPDATERTESTUTIL_H
#define QN_TESTS_UPDATER_UPDATERTESTUTIL_H

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace qntest {

// Names in `dir` other than "." and "..".
inline std::set<std::string> ListNames(const std::string& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator(dir, error))
    names.insert(e.path().filename());
  return names;
}

// Builders of BIRD files: block records, image and information block data,
// the body (count, records, checksum) and the compressed file around it.
using Bytes = std::vector<uint8_t>;

// `v` as four bytes, most significant first, followed by `tail`.
inline Bytes BE(uint32_t v, const Bytes& tail = {}) {
  Bytes out = {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// `length` is what the record claims, which a malformed file may make differ
// from the data that follows.
inline Bytes Record(uint8_t typeByte, const Bytes& data, int64_t length = -1) {
  Bytes r = BE(length < 0 ? (uint32_t)data.size() : (uint32_t)length, data);
  r.insert(r.begin(), typeByte);
  return r;
}

inline Bytes ImageData(uint32_t address, const Bytes& image) { return BE(address, image); }

inline Bytes Info(const std::string& build, const std::string& version, const std::string& serial,
                  const std::string& model) {
  Bytes d;
  for (std::string f : {build, version, serial, model}) {
    f.resize(16, ' ');
    d.insert(d.end(), f.begin(), f.end());
  }
  return d;
}

inline Bytes Offsets(uint32_t serialOffset, uint32_t descriptorOffset) {
  return BE(serialOffset, BE(descriptorOffset));
}

inline Bytes Body(uint32_t count, const std::vector<Bytes>& records,
                  uint32_t checksum = 0x12345678) {
  Bytes b = BE(count);
  for (const Bytes& r : records) b.insert(b.end(), r.begin(), r.end());
  const Bytes sum = BE(checksum);
  b.insert(b.end(), sum.begin(), sum.end());
  return b;
}

inline Bytes FileOf(const Bytes& body) {
  uLongf size = compressBound(body.size());
  Bytes f(6 + size);
  memcpy(f.data(), "bird\x01\x01", 6);
  EXPECT_EQ(compress2(f.data() + 6, &size, body.data(), body.size(), 6), Z_OK);
  f.resize(6 + size);
  return f;
}

inline std::string BirdFileText(const std::vector<Bytes>& records) {
  Bytes f = FileOf(Body((uint32_t)records.size(), records));
  return std::string(f.begin(), f.end());
}

inline mode_t FileMode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace qntest

#endif  // QN_TESTS_UPDATER_UPDATERTESTUTIL_H
