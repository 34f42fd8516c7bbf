#include "updater/BirdFile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/fuzz/BirdFileExercise.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutBE(Bytes* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back((uint8_t)(v >> s));
}

uint32_t GetLE(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

// One block record; `length` is what the record claims, which a malformed
// file may make differ from the data that follows.
Bytes Record(uint8_t typeByte, const Bytes& data, int64_t length = -1) {
  Bytes r = {typeByte};
  PutBE(&r, length < 0 ? (uint32_t)data.size() : (uint32_t)length);
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

Bytes ImageData(uint32_t address, const Bytes& image) {
  Bytes d;
  PutBE(&d, address);
  d.insert(d.end(), image.begin(), image.end());
  return d;
}

Bytes Info(const std::string& build, const std::string& version, const std::string& serial,
           const std::string& model) {
  Bytes d;
  for (std::string f : {build, version, serial, model}) {
    f.resize(16, ' ');
    d.insert(d.end(), f.begin(), f.end());
  }
  return d;
}

Bytes Offsets(uint32_t serialOff, uint32_t descriptorOff) {
  Bytes d;
  PutBE(&d, serialOff);
  PutBE(&d, descriptorOff);
  return d;
}

// Count, records, checksum.
Bytes Body(uint32_t count, const std::vector<Bytes>& records, uint32_t checksum = 0x12345678) {
  Bytes b;
  PutBE(&b, count);
  for (const Bytes& r : records) b.insert(b.end(), r.begin(), r.end());
  PutBE(&b, checksum);
  return b;
}

Bytes Compress(const Bytes& body, int level = 6) {
  uLongf size = compressBound(body.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, body.data(), body.size(), level), Z_OK);
  out.resize(size);
  return out;
}

Bytes FileOf(const Bytes& body, uint8_t v1 = 1, uint8_t v2 = 1) {
  Bytes f = {'b', 'i', 'r', 'd', v1, v2};
  Bytes z = Compress(body);
  f.insert(f.end(), z.begin(), z.end());
  return f;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

template <typename F>
std::string CaptureStdout(F f) {
  testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Every block must lie inside the body and be counted.
void ExpectBlocksInside(const BirdFileClass& bird) {
  ASSERT_EQ(bird.blockCount, bird.blocks.size());
  for (const BirdFileBlockClass* b : bird.blocks) {
    ASSERT_GE(b->data, bird.data);
    ASSERT_LE((uint64_t)(b->data - bird.data) + b->length, (uint64_t)bird.dataSize);
  }
}

class BirdFileTest : public testing::Test {
 protected:
  void SetUp() override { Log::package_bitmask = 0; }
  void TearDown() override { Log::package_bitmask = 0; }

  std::string Write(const std::string& name, const Bytes& content) {
    std::string path = dir_ / name;
    EXPECT_TRUE(qntest::WriteFile(path, Str(content)));
    return path;
  }

  qntest::TempDir dir_;
};

// --- Header check ---------------------------------------------------------

TEST_F(BirdFileTest, VerifyFileChecksSignatureAndNonZeroVersionBytes) {
  auto verify = [&](const std::string& name, const Bytes& content) {
    return BirdFileClass::VerifyFile(Write(name, content).c_str());
  };
  EXPECT_FALSE(verify("a", {'b', 'i', 'r', 'd', 0x01, 0x00}));
  EXPECT_FALSE(verify("b", {'b', 'i', 'r', 'd', 0x00, 0x01}));
  EXPECT_TRUE(verify("c", {'b', 'i', 'r', 'd', 0x02, 0x07}));
  EXPECT_TRUE(verify("d", {'b', 'i', 'r', 'd', 0x01, 0x01, 0x78}));
  EXPECT_FALSE(verify("e", {'b', 'i', 'r', 'd', 0x01}));
  EXPECT_FALSE(verify("f", {'B', 'i', 'r', 'd', 0x01, 0x01}));
  EXPECT_FALSE(verify("g", {}));
  EXPECT_FALSE(BirdFileClass::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, VerifyFileReportsAFileThatCannotBeOpened) {
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string path = dir_ / "missing.bird";
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(BirdFileClass::VerifyFile(path.c_str())); }),
            "BIRDFILE: Error - cannot open bird file: '" + path + "'\n");
  Log::package_bitmask = 0;
  EXPECT_EQ(CaptureStdout([&] { BirdFileClass::VerifyFile(path.c_str()); }), "");
}

// --- Loading a well-formed file -------------------------------------------

TEST_F(BirdFileTest, LoadIndexesEveryBlockInFileOrder) {
  Bytes loader = ImageData(0x10000000, Bytes(20, 0xAA));
  Bytes firmware = ImageData(0, Bytes(40, 0x55));
  Bytes unknown = {1, 2, 3};
  Bytes body = Body(5, {Record(0x00, loader), Record(0x21, firmware), Record(0xE3, unknown),
                        Record(0x04, Info("b1", "v1", "40F5849A", "Hub")),
                        Record(0x02, Offsets(8, 12))},
                    0xCAFEF00D);
  std::string path = Write("ok.bird", FileOf(body));

  BirdFileClass bird(path.c_str());
  EXPECT_EQ(bird.filename, path);
  ASSERT_EQ(bird.blockCount, 5u);
  ASSERT_EQ(bird.blocks.size(), 5u);
  EXPECT_EQ(bird.dataSize, body.size());
  EXPECT_EQ(Bytes(bird.data, bird.data + bird.dataSize), body);
  EXPECT_EQ(bird.checksum, 0xCAFEF00Du);
  EXPECT_EQ(bird.serialOffset, 8u);
  EXPECT_EQ(bird.descriptorOffset, 12u);
  EXPECT_FALSE(bird.offline);

  EXPECT_EQ(bird.blocks[0]->type, 0);
  EXPECT_EQ(bird.blocks[0]->flags, 0);
  EXPECT_EQ(bird.blocks[0]->length, loader.size());
  EXPECT_EQ(Bytes(bird.blocks[0]->data, bird.blocks[0]->data + loader.size()), loader);
  EXPECT_EQ(bird.blocks[1]->type, 1);
  EXPECT_EQ(bird.blocks[1]->flags, 1);
  EXPECT_EQ(bird.blocks[2]->type, 3);
  EXPECT_EQ(bird.blocks[2]->flags, 7);
  EXPECT_EQ(bird.blocks[2]->data, bird.blocks[1]->data + firmware.size() + 5);
  ExpectBlocksInside(bird);
}

TEST_F(BirdFileTest, LoadLogsTheBlockTableOnItsChannelOnly) {
  Bytes body = Body(2, {Record(0x41, ImageData(0, Bytes(4, 0))),
                        Record(0x04, Info("Build 7", "1.2.3", "0012ABCD", "Hub8"))},
                    0x0000BEEF);
  std::string path = Write("log.bird", FileOf(body));
  BirdFileClass bird;
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(bird.Load(path.c_str())); }), "");

  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { EXPECT_TRUE(bird.Load(path.c_str())); });
  EXPECT_EQ(out,
            "BIRDFILE: Loading File [" + path + "]\n"
            "BIRDFILE:\t\t File reports 2 blocks\n"
            "BIRDFILE: Bird file objects:\n"
            "BIRDFILE: \t\tType Flags Length\n"
            "BIRDFILE:\t\t 01   02   8\n"
            "BIRDFILE:\t\t 04   00   64\n"
            "BIRDFILE:\t\t \t[Build 7         ]\n"
            "BIRDFILE:\t\t \t[1.2.3           ]\n"
            "BIRDFILE:\t\t \t[0012ABCD        ]\n"
            "BIRDFILE:\t\t \t[Hub8            ]\n"
            "BIRDFILE:\t\t File checksum 0000BEEF\n");
}

// --- Loading failures ----------------------------------------------------

TEST_F(BirdFileTest, MissingShortAndNonZlibFilesFailAndLeaveTheObjectEmpty) {
  Log::ActivatePackage(DEBUG_BirdFile);
  BirdFileClass bird;
  std::string missing = dir_ / "nope.bird";
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(bird.Load(missing.c_str())); }),
            "BIRDFILE: Loading File [" + missing + "]\nBIRDFILE: BIRD file not found [" +
                missing + "]\n");
  EXPECT_EQ(bird.filename, "");

  for (size_t n = 0; n < 6; n++) {
    std::string shortPath = Write("short" + std::to_string(n), Bytes(n, 'b'));
    CaptureStdout([&] { EXPECT_FALSE(bird.Load(shortPath.c_str())); });
    EXPECT_EQ(bird.filename, shortPath);
    EXPECT_EQ(bird.data, nullptr);
    EXPECT_EQ(bird.blockCount, 0u);
  }

  std::string garbage = Write("garbage.bird", {'b', 'i', 'r', 'd', 1, 1, 'x', 'y', 'z', 'z'});
  std::string out = CaptureStdout([&] { EXPECT_FALSE(bird.Load(garbage.c_str())); });
  EXPECT_NE(out.find("BIRDFILE: Error (-3) decompressing bird file.\n"), std::string::npos) << out;
  EXPECT_EQ(bird.data, nullptr);
  EXPECT_EQ(bird.dataSize, 0u);
  EXPECT_TRUE(bird.blocks.empty());

  // A zlib stream cut short.
  Bytes file = FileOf(Body(1, {Record(1, ImageData(0, Bytes(100, 7)))}));
  file.resize(file.size() - 6);
  std::string cut = Write("cut.bird", file);
  out = CaptureStdout([&] { EXPECT_FALSE(bird.Load(cut.c_str())); });
  EXPECT_NE(out.find("decompressing bird file"), std::string::npos) << out;
}

TEST_F(BirdFileTest, BodyThatExpandsMoreThanEightfoldFailsWithBufferError) {
  Bytes body = Body(1, {Record(1, ImageData(0, Bytes(4096, 0)))});
  Bytes file = FileOf(body);
  ASSERT_GT(body.size(), (file.size() - 6) * 8);
  std::string path = Write("zeros.bird", file);
  Log::ActivatePackage(DEBUG_BirdFile);
  BirdFileClass bird;
  std::string out = CaptureStdout([&] { EXPECT_FALSE(bird.Load(path.c_str())); });
  EXPECT_EQ(out, "BIRDFILE: Loading File [" + path +
                     "]\nBIRDFILE: Error (-5) decompressing bird file.\n");
  EXPECT_EQ(bird.data, nullptr);
  EXPECT_EQ(bird.dataSize, 0u);
}

TEST_F(BirdFileTest, BodySizeWhoseEightfoldWouldOverflowIsRefusedWithoutAllocating) {
  Log::ActivatePackage(DEBUG_BirdFile);
  BirdFileClass bird;
  uint8_t tiny[1] = {0};
  // The length is never used to read: the refusal comes first.
  size_t huge = (size_t)UINT32_MAX / 8 + 1;
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(bird.DecompressData(tiny, huge)); }),
            "BIRDFILE: Error allocating uncompressed buffer, exiting.\n");
  EXPECT_EQ(bird.data, nullptr);
  EXPECT_EQ(bird.dataSize, 0u);
}

TEST_F(BirdFileTest, AFailedReloadForgetsThePreviousFile) {
  Bytes body = Body(2, {Record(1, ImageData(0, Bytes(40, 1))), Record(2, Offsets(4, 8))});
  std::string offline = Write("offline.bird", FileOf(body));
  std::string broken = Write("broken.bird", {'b', 'i', 'r', 'd', 1, 1, 0, 0});
  std::string plain = Write("plain.bird", FileOf(Body(1, {Record(1, ImageData(0, Bytes(40, 1)))})));

  BirdFileClass bird(offline.c_str());
  ASSERT_EQ(bird.blockCount, 2u);
  ASSERT_EQ(bird.serialOffset, 4u);
  bird.offline = true;
  EXPECT_FALSE(bird.Load(broken.c_str()));
  EXPECT_EQ(bird.blockCount, 0u);
  EXPECT_EQ(bird.serialOffset, 0u);
  EXPECT_EQ(bird.descriptorOffset, 0u);
  EXPECT_FALSE(bird.offline);

  ASSERT_TRUE(bird.Load(offline.c_str()));
  ASSERT_TRUE(bird.Load(plain.c_str()));
  EXPECT_EQ(bird.blockCount, 1u);
  EXPECT_EQ(bird.serialOffset, 0u);
  EXPECT_FALSE(bird.ReplaceSerialNumber(0x11223344));
}

// --- Block structure -----------------------------------------------------

TEST_F(BirdFileTest, ScanReportsCountMismatchButKeepsTheBlocks) {
  Bytes body = Body(3, {Record(1, ImageData(0, {1, 2})), Record(0, ImageData(4, {3}))});
  std::string path = Write("count.bird", FileOf(body));
  Log::ActivatePackage(DEBUG_BirdFile);
  BirdFileClass bird;
  std::string out = CaptureStdout([&] { EXPECT_TRUE(bird.Load(path.c_str())); });
  EXPECT_NE(out.find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("mismatch in data size"), std::string::npos) << out;
  EXPECT_EQ(bird.blockCount, 2u);
  EXPECT_EQ(bird.blocks.size(), 2u);
}

TEST_F(BirdFileTest, ScanStopsAtABlockLongerThanWhatRemains) {
  Bytes good = Record(1, ImageData(0, Bytes(8, 9)));
  const uint32_t claims[] = {100, 0xFFFFFFFF, 0xFFFFFFFB, 0xFFFFFFFC};
  for (uint32_t claim : claims) {
    Bytes body;
    PutBE(&body, 2);
    body.insert(body.end(), good.begin(), good.end());
    Bytes bad = Record(1, ImageData(0, Bytes(8, 9)), claim);
    body.insert(body.end(), bad.begin(), bad.end());
    BirdFileClass bird;
    Log::ActivatePackage(DEBUG_BirdFile);
    std::string out = CaptureStdout([&] { EXPECT_FALSE(bird.ScanBlocks(body.data(), body.size())); });
    Log::package_bitmask = 0;
    EXPECT_EQ(bird.blockCount, 1u) << claim;
    ASSERT_EQ(bird.blocks.size(), 1u);
    EXPECT_EQ(bird.blocks[0]->length, 12u);
    // The bad record's 17 bytes remain; its first four were taken as a checksum.
    EXPECT_NE(out.find("(13 bytes remaining)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("(1 != 2)\n"), std::string::npos) << out;
  }
}

TEST_F(BirdFileTest, ScanOfTrailingBytesAndMissingChecksum) {
  Bytes rec = Record(1, ImageData(0, {1, 2, 3}));
  Bytes body = Body(1, {rec});
  body.push_back(0xEE);
  BirdFileClass bird;
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { EXPECT_FALSE(bird.ScanBlocks(body.data(), body.size())); });
  EXPECT_NE(out.find("BIRDFILE: Block parsing mismatch in data size. (1 bytes remaining)\n"),
            std::string::npos)
      << out;

  // Only two bytes where the checksum should be.
  Bytes noSum;
  PutBE(&noSum, 1);
  noSum.insert(noSum.end(), rec.begin(), rec.end());
  noSum.push_back(0xAB);
  noSum.push_back(0xCD);
  out = CaptureStdout([&] { EXPECT_FALSE(bird.ScanBlocks(noSum.data(), noSum.size())); });
  EXPECT_EQ(bird.checksum, 0u);
  EXPECT_EQ(bird.blockCount, 1u);
  EXPECT_EQ(out.find("File checksum"), std::string::npos) << out;
  EXPECT_NE(out.find("(2 bytes remaining)"), std::string::npos) << out;

  Bytes exact = Body(1, {rec}, 0x01020304);
  out = CaptureStdout([&] { EXPECT_TRUE(bird.ScanBlocks(exact.data(), exact.size())); });
  EXPECT_EQ(bird.checksum, 0x01020304u);
}

TEST_F(BirdFileTest, ScanOfBodiesShorterThanTheBlockCount) {
  for (uint32_t size = 0; size < 4; size++) {
    // Exactly `size` bytes on the heap, so that reading past them is caught.
    Bytes body(size, 0xFF);
    BirdFileClass bird;
    EXPECT_FALSE(bird.ScanBlocks(body.data(), size));
    EXPECT_EQ(bird.blockCount, 0u);
    EXPECT_TRUE(bird.blocks.empty());
  }
  BirdFileClass bird;
  EXPECT_FALSE(bird.ScanBlocks(nullptr, 100));

  // Count and checksum, no blocks: consistent.
  Bytes empty = Body(0, {});
  EXPECT_TRUE(bird.ScanBlocks(empty.data(), empty.size()));
  // A compressed empty body loads, with nothing in it.
  std::string path = Write("empty.bird", FileOf({}));
  EXPECT_TRUE(bird.Load(path.c_str()));
  EXPECT_EQ(bird.dataSize, 0u);
  EXPECT_EQ(bird.blockCount, 0u);
}

TEST_F(BirdFileTest, RescanningReplacesTheBlocksInsteadOfAddingToThem) {
  Bytes body = Body(2, {Record(1, ImageData(0, {1})), Record(0, ImageData(0, {2}))});
  BirdFileClass bird;
  EXPECT_TRUE(bird.ScanBlocks(body.data(), body.size()));
  EXPECT_TRUE(bird.ScanBlocks(body.data(), body.size()));
  EXPECT_EQ(bird.blocks.size(), 2u);
  EXPECT_EQ(bird.blockCount, 2u);
}

TEST_F(BirdFileTest, ShortInfoBlockIsNeverReadPastItsEnd) {
  // 40 bytes: build, version and the serial's 8 digits; no model.
  Bytes info = Info("b", "v", "0000ABCD", "");
  info.resize(40);
  Bytes body = Body(1, {Record(4, info)});
  BirdFileClass bird;
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { EXPECT_TRUE(bird.ScanBlocks(body.data(), body.size())); });
  // Fields are printed right-aligned in 16 columns; the missing model is empty.
  EXPECT_NE(out.find("BIRDFILE:\t\t \t[        0000ABCD]\n"
                     "BIRDFILE:\t\t \t[                ]\n"),
            std::string::npos)
      << out;
  char serial[9];
  EXPECT_TRUE(bird.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "0000ABCD");
  EXPECT_TRUE(bird.ValidateSerialNumber(0xABCD));
  EXPECT_FALSE(bird.ValidateModel("Hub"));

  // 34 bytes: only two digits of the serial number.
  info.resize(34);
  body = Body(1, {Record(4, info)});
  CaptureStdout([&] { bird.ScanBlocks(body.data(), body.size()); });
  EXPECT_TRUE(bird.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "00");
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(bird.ValidateSerialNumber(0)); }),
            "Serial Number DOES NOT MATCH ([00] != [00000000])\n");
}

// --- Finding blocks and offsets ------------------------------------------

TEST_F(BirdFileTest, FindBlockTypeIteratesOneTypeAndRejectsForeignBlocks) {
  Bytes body = Body(4, {Record(1, ImageData(0, {1})), Record(0, ImageData(0, {2})),
                        Record(1, ImageData(0, {3})), Record(0x21, ImageData(0, {4}))});
  BirdFileClass bird;
  ASSERT_TRUE(bird.ScanBlocks(body.data(), body.size()));
  std::vector<uint8_t> seen;
  for (BirdFileBlockClass* b = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr); b;
       b = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, b)) {
    seen.push_back(b->data[4]);
  }
  EXPECT_EQ(seen, Bytes({1, 3, 4}));
  EXPECT_EQ(bird.FindBlockType(BirdFileClass::BLOCK_INFO, nullptr), nullptr);

  BirdFileBlockClass stranger;
  EXPECT_EQ(bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, &stranger), nullptr);
  // A hit of another type still positions the search.
  EXPECT_EQ(bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, bird.blocks[1]), bird.blocks[2]);
}

TEST_F(BirdFileTest, SerialOffsetsComeFromTheFirstLongEnoughOffsetsBlock) {
  BirdFileClass bird;
  EXPECT_FALSE(bird.FindSerialNumberOffsets());

  Bytes shortBody = Body(1, {Record(2, {0, 0, 0, 9, 0, 0, 0})});
  bird.ScanBlocks(shortBody.data(), shortBody.size());
  EXPECT_FALSE(bird.FindSerialNumberOffsets());
  EXPECT_EQ(bird.serialOffset, 0u);

  Bytes body = Body(2, {Record(2, Offsets(0x100, 0x200)), Record(2, Offsets(1, 2))});
  bird.ScanBlocks(body.data(), body.size());
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(bird.FindSerialNumberOffsets()); }),
            "BIRDFILE: Offsets: Serial number: 256, Descriptor: 512\n");
  EXPECT_EQ(bird.serialOffset, 0x100u);
  EXPECT_EQ(bird.descriptorOffset, 0x200u);
}

// --- Patching ------------------------------------------------------------

class BirdPatchTest : public BirdFileTest {
 protected:
  // Scans `records` into bird_ from a body that the test keeps.
  void Scan(const std::vector<Bytes>& records) {
    body_ = Body((uint32_t)records.size(), records);
    unsigned mask = Log::package_bitmask;
    Log::package_bitmask = 0;
    ASSERT_TRUE(bird_.ScanBlocks(body_.data(), body_.size()));
    Log::package_bitmask = mask;
  }
  Bytes Image(size_t i) const {
    const BirdFileBlockClass* b = bird_.blocks[i];
    return Bytes(b->data + 4, b->data + b->length);
  }
  Bytes body_;
  BirdFileClass bird_;
};

TEST_F(BirdPatchTest, ReplaceSerialNumberWithoutOffsetChangesNothing) {
  Scan({Record(1, ImageData(0, Bytes(64, 0x11)))});
  bird_.descriptorOffset = 8;
  Bytes before = body_;
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(bird_.ReplaceSerialNumber(0x0012ABCD)); }),
            "BIRDFILE: ReplaceSerialNumber() serial number offset not specified\n");
  EXPECT_EQ(body_, before);
}

TEST_F(BirdPatchTest, ReplaceSerialNumberPatchesWordAndDescriptorOfEveryFirmwareImage) {
  Bytes image(64, 0xEE);
  image[20] = 0x78; image[21] = 0x56; image[22] = 0x34; image[23] = 0x12;
  Scan({Record(1, ImageData(0, image)), Record(0, ImageData(0, image)),
        Record(1, ImageData(0x4000, image))});
  bird_.serialOffset = 20;
  bird_.descriptorOffset = 30;
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { EXPECT_TRUE(bird_.ReplaceSerialNumber(0x0012ABCD)); });
  EXPECT_EQ(out,
            "BIRDFILE: updating serial number from 12345678 ==> 0012ABCD\n"
            "BIRDFILE: updating serial number from 12345678 ==> 0012ABCD\n");
  for (size_t i : {0, 2}) {
    Bytes patched = Image(i);
    EXPECT_EQ(Bytes(patched.begin() + 20, patched.begin() + 24), Bytes({0xCD, 0xAB, 0x12, 0x00}));
    const char digits[] = "0012ABCD";
    for (int k = 0; k < 8; k++) {
      EXPECT_EQ(patched[30 + 2 * k], (uint8_t)digits[k]) << k;
      EXPECT_EQ(patched[31 + 2 * k], 0xEE) << "high byte " << k;
    }
    patched[20] = patched[21] = patched[22] = patched[23] = 0xEE;
    for (int k = 0; k < 8; k++) patched[30 + 2 * k] = 0xEE;
    EXPECT_EQ(patched, Bytes(64, 0xEE)) << "nothing else changed";
  }
  EXPECT_EQ(Image(1), image) << "loader blocks are not patched";
}

TEST_F(BirdPatchTest, ReplaceSerialNumberSkipsImagesTooShortAndOffsetsNearTheTop) {
  // Images of 0..3 bytes, an address cut short, and one of exactly
  // offset + 4 bytes (patched) next to one of offset + 3 (not patched).
  Scan({Record(1, {}), Record(1, {0, 0}), Record(1, ImageData(0, {})),
        Record(1, ImageData(0, Bytes(24, 0))), Record(1, ImageData(0, Bytes(23, 0)))});
  bird_.serialOffset = 20;
  bird_.descriptorOffset = 4;  // 4..19: fits both long images
  EXPECT_TRUE(bird_.ReplaceSerialNumber(0xA1B2C3D4));
  EXPECT_EQ(GetLE(bird_.blocks[3]->data + 4 + 20), 0xA1B2C3D4u);
  EXPECT_EQ(Image(3)[4], 'A');
  EXPECT_EQ(Image(4)[4], 'A') << "the descriptor is checked on its own";
  Bytes img4 = Image(4);
  EXPECT_EQ(Bytes(img4.begin() + 19, img4.end()), Bytes(4, 0))
      << "the serial word does not fit 23 bytes";

  const uint32_t nearTop[] = {0xFFFFFFFF, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFF0, 0xFFFFFFF1};
  for (uint32_t off : nearTop) {
    Bytes before = body_;
    bird_.serialOffset = off;
    bird_.descriptorOffset = off;
    EXPECT_TRUE(bird_.ReplaceSerialNumber(1));
    EXPECT_EQ(body_, before) << std::hex << off;
  }
  // Descriptor exactly at the end of the image.
  bird_.serialOffset = 1000;
  bird_.descriptorOffset = 8;
  Scan({Record(1, ImageData(0, Bytes(24, 0)))});
  EXPECT_TRUE(bird_.ReplaceSerialNumber(0x89ABCDEF));
  EXPECT_EQ(Image(0)[22], 'F');
}

TEST_F(BirdPatchTest, ReplaceVectorChecksumMakesTheVectorTableSumToZero) {
  Bytes table(40, 0);
  // Words 0..6 sum to 0x10.
  table[0] = 0x08; table[4] = 0x04; table[24] = 0x04;
  table[28] = 0x55;
  Scan({Record(1, ImageData(0, table)), Record(1, ImageData(0x2000, table)),
        Record(1, ImageData(0, Bytes(31, 1))), Record(1, {0, 0}), Record(0, ImageData(0, table))});
  Bytes untouched2 = Image(1), untouched3 = Image(2), untouched5 = Image(4);
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(bird_.ReplaceVectorChecksum()); }),
            "BIRDFILE: updating vector checksum from 00000055 ==> FFFFFFF0\n");
  EXPECT_EQ(GetLE(bird_.blocks[0]->data + 4 + 28), 0xFFFFFFF0u);
  EXPECT_EQ(Image(1), untouched2);
  EXPECT_EQ(Image(2), untouched3);
  EXPECT_EQ(Image(4), untouched5);

  // Exactly 32 bytes qualifies; the sum wraps modulo 2^32.
  Bytes full(32, 0xFF);
  Scan({Record(1, ImageData(0, full))});
  EXPECT_TRUE(bird_.ReplaceVectorChecksum());
  uint32_t sum = 0;
  for (int w = 0; w < 8; w++) sum += GetLE(bird_.blocks[0]->data + 4 + 4 * w);
  EXPECT_EQ(sum, 0u);

  BirdFileClass empty;
  EXPECT_TRUE(empty.ReplaceVectorChecksum());
}

TEST_F(BirdPatchTest, DecodeFirmwareBlocksChainsPerBlockAndKeepsAddresses) {
  const uint32_t key[4] = {0x01020304, 0x10203040, 0xA0B0C0D0, 0x0F1E2D3C};
  const uint8_t K[16] = {0x01, 0x02, 0x03, 0x04, 0x10, 0x20, 0x30, 0x40,
                         0xA0, 0xB0, 0xC0, 0xD0, 0x0F, 0x1E, 0x2D, 0x3C};
  Scan({Record(1, ImageData(0x12345678, Bytes(40, 0))), Record(0, ImageData(0, Bytes(8, 0))),
        Record(1, ImageData(0xCAFEBABE, Bytes(20, 0))), Record(1, {0xAA, 0xBB}),
        Record(1, ImageData(7, {}))});
  EXPECT_TRUE(bird_.DecodeFirmwareBlocks(key));

  for (size_t i : {0, 2}) {
    Bytes plain = Image(i);
    uint8_t expect = 0;
    for (size_t j = 0; j < plain.size(); j++) {
      expect ^= K[j % 16];
      EXPECT_EQ(plain[j], expect) << "block " << i << " byte " << j;
    }
  }
  EXPECT_EQ(BirdFileClass::GetInt(bird_.blocks[0]->data), 0x12345678u);
  EXPECT_EQ(BirdFileClass::GetInt(bird_.blocks[2]->data), 0xCAFEBABEu);
  EXPECT_EQ(Image(1), Bytes(8, 0)) << "loader blocks are not descrambled";
  EXPECT_EQ(Bytes(bird_.blocks[3]->data, bird_.blocks[3]->data + 2), Bytes({0xAA, 0xBB}));
}

TEST_F(BirdPatchTest, DecodeUndoesTheProducersScrambling) {
  const uint32_t key[4] = {0xDEADBEEF, 0x00000001, 0x80000000, 0x7F7F7F7F};
  std::mt19937 rng(7);
  Bytes plain(1000);
  for (auto& b : plain) b = (uint8_t)rng();
  // Producer: c = p ^ K[k] ^ previous plain byte.
  Bytes scrambled(plain.size());
  uint8_t prev = 0;
  for (size_t i = 0; i < plain.size(); i++) {
    uint8_t k = (uint8_t)(key[(i % 16) / 4] >> (24 - 8 * (i % 4)));
    scrambled[i] = plain[i] ^ k ^ prev;
    prev = plain[i];
  }
  Scan({Record(1, ImageData(0, scrambled))});
  EXPECT_TRUE(bird_.DecodeFirmwareBlocks(key));
  EXPECT_EQ(Image(0), plain);
  // A second decode scrambles again.
  EXPECT_TRUE(bird_.DecodeFirmwareBlocks(key));
  EXPECT_NE(Image(0), plain);
}

// --- Questions about the file --------------------------------------------

TEST_F(BirdPatchTest, ValidateDataSearchesEveryFirmwareBlockIncludingTheAddress) {
  Bytes image(30, 0);
  image[3] = 0xCD; image[4] = 0xAB;    // block offset 7
  image[20] = 0xCD; image[21] = 0xAB;  // block offset 24
  Scan({Record(1, ImageData(0xCDAB0000, image)), Record(0, ImageData(0, image)),
        Record(1, ImageData(0, {0xCD, 0xAB}))});
  const uint8_t pattern[] = {0xCD, 0xAB};
  bird_.filename = "x.bird";
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { EXPECT_TRUE(bird_.ValidateData(pattern, 2)); });
  EXPECT_EQ(out,
            "BIRDFILE: looking for data pattern in [x.bird]\n"
            "BIRDFILE: offsets: [0, 0]\n"
            "\nBIRDFILE:CD AB \n"
            "Found data at 0\nFound data at 7\nFound data at 24\n"
            // The pattern ends the third block's data: the last start position
            // (L - n) is not examined.
            "\n");
  const uint8_t absent[] = {0xAB, 0xCD, 0xEF};
  Log::package_bitmask = 0;
  EXPECT_FALSE(bird_.ValidateData(absent, 3));
  EXPECT_FALSE(bird_.ValidateData(nullptr, 2));
  EXPECT_FALSE(bird_.ValidateData(pattern, 0));
}

TEST_F(BirdPatchTest, ValidateDataWithAPatternAsLongAsEveryBlockIsFalse) {
  Bytes data = ImageData(0, {1, 2, 3, 4});
  Scan({Record(1, data)});
  EXPECT_FALSE(bird_.ValidateData(data.data(), (uint32_t)data.size()));
  Bytes longer = data;
  longer.push_back(5);
  EXPECT_FALSE(bird_.ValidateData(longer.data(), (uint32_t)longer.size()));
  EXPECT_TRUE(bird_.ValidateData(data.data(), (uint32_t)data.size() - 1));
}

TEST_F(BirdPatchTest, ValidateDataLogsThePatternFiftyBytesPerLine) {
  Scan({Record(1, ImageData(0, {}))});
  Bytes pattern(101, 0x0A);
  Log::ActivatePackage(DEBUG_BirdFile);
  std::string out = CaptureStdout([&] { bird_.ValidateData(pattern.data(), 101); });
  std::string line;
  for (int i = 0; i < 50; i++) line += "0A ";
  EXPECT_EQ(out, "BIRDFILE: looking for data pattern in []\nBIRDFILE: offsets: [0, 0]\n"
                 "\nBIRDFILE:" + line + "\nBIRDFILE:" + line + "\nBIRDFILE:0A \n\n");
}

TEST_F(BirdPatchTest, ValidateModelMatchesAFieldThatBeginsWithTheName) {
  Scan({Record(4, Info("b", "v", "s", "abcd"))});
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(bird_.ValidateModel("abc")); }),
            "Model matches model number ([abcd] == [abc])\n");
  EXPECT_TRUE(bird_.ValidateModel("abcd"));
  EXPECT_FALSE(bird_.ValidateModel("abcde"));
  EXPECT_FALSE(bird_.ValidateModel("xbc"));
  EXPECT_FALSE(bird_.ValidateModel(nullptr));
  EXPECT_FALSE(bird_.ValidateModel("a name far longer than sixteen"));

  Scan({Record(4, Info("b", "v", "s", "ab"))});
  EXPECT_FALSE(bird_.ValidateModel("abc"));

  // A field of 16 characters without padding, and a field cut by a NUL.
  Scan({Record(4, Info("b", "v", "s", "0123456789ABCDEF"))});
  EXPECT_TRUE(bird_.ValidateModel("0123456789ABCDEF"));
  Bytes cut = Info("b", "v", "s", "Hub");
  cut[48 + 1] = 0;
  Scan({Record(4, cut)});
  EXPECT_FALSE(bird_.ValidateModel("Hub"));
  EXPECT_TRUE(bird_.ValidateModel("H"));

  Scan({Record(1, ImageData(0, {}))});
  EXPECT_FALSE(bird_.ValidateModel("abc"));
}

TEST_F(BirdPatchTest, SerialNumberComesFromTheFirstInfoBlock) {
  Scan({Record(4, Info("b", "v", "0012ABCDtrailer", "m")), Record(4, Info("", "", "FFFFFFFF", ""))});
  char serial[9];
  memset(serial, 'x', sizeof(serial));
  EXPECT_TRUE(bird_.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "0012ABCD");
  EXPECT_TRUE(bird_.ValidateSerialNumber(0x0012ABCD));
  Log::ActivatePackage(DEBUG_BirdFile);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_FALSE(bird_.ValidateSerialNumber(0x0012abce)); }),
            "Serial Number DOES NOT MATCH ([0012ABCD] != [0012ABCE])\n");

  Scan({Record(1, ImageData(0, {}))});
  EXPECT_FALSE(bird_.GetSerialNumber(serial));
  EXPECT_FALSE(bird_.ValidateSerialNumber(0));
}

TEST_F(BirdPatchTest, DumpBlocksPrintsHexAndTextFiftyBytesPerLine) {
  Bytes text;
  for (int i = 0; i < 52; i++) text.push_back((uint8_t)('A' + i % 26));
  text[1] = 0x00;
  text[2] = 0x7F;
  Scan({Record(1, {'h', 'i', 0x01}), Record(0, {9}), Record(1, text)});
  bird_.filename = "f.bird";
  std::string out = CaptureStdout([&] { bird_.DumpBlocks(BirdFileClass::BLOCK_FIRMWARE); });

  std::string hex1, text1;
  for (int i = 0; i < 50; i++) {
    char h[4];
    snprintf(h, sizeof(h), "%02X ", text[i]);
    hex1 += h;
    text1 += (text[i] >= 0x20 && text[i] < 0x7F) ? (char)text[i] : ' ';
  }
  EXPECT_EQ(out,
            "BIRDFILE: BLOCK DUMP [f.bird]\n"
            " \r\n000000: 68 69 01  hi \n"
            " \r\n000000: " + hex1 + " " + text1 + "\r\n000050: 59 5A  YZ\n"
            "\n");
  // Channel 0: printed whatever the mask.
  EXPECT_EQ(CaptureStdout([&] { bird_.DumpBlocks(BirdFileClass::BLOCK_INFO); }),
            "BIRDFILE: BLOCK DUMP [f.bird]\n\n");
}

// --- Untrusted input -----------------------------------------------------

// Runs every operation on a loaded (or partly loaded) file; with the
// sanitizers on, any read or write out of bounds fails the test.
void ExerciseEverything(BirdFileClass& bird) {
  ExpectBlocksInside(bird);
  static const uint32_t key[4] = {1, 2, 3, 4};
  char serial[9];
  const uint8_t pattern[4] = {0xCD, 0xAB, 0x12, 0x00};
  bird.GetSerialNumber(serial);
  bird.ValidateSerialNumber(0x0012ABCD);
  bird.ValidateModel("Hub");
  bird.ValidateData(pattern, 4);
  bird.ReplaceSerialNumber(0x0012ABCD);
  bird.ReplaceVectorChecksum();
  bird.DecodeFirmwareBlocks(key);
  for (uint32_t off : {0u, 1u, 0xFFFFFFFDu, 0xFFFFFFF0u}) {
    bird.serialOffset = off;
    bird.descriptorOffset = off + 1;
    bird.ReplaceSerialNumber(1);
  }
}

Bytes ValidBody() {
  Bytes image(96);
  for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i * 7);
  return Body(6, {Record(0, ImageData(0x10000000, image)), Record(0x21, ImageData(0, image)),
                  Record(1, ImageData(0x8000, Bytes(image.begin(), image.begin() + 40))),
                  Record(2, Offsets(8, 16)), Record(4, Info("12", "1.0.0", "0012ABCD", "Hub")),
                  Record(5, {0x20, 0, 4, 0})});
}

TEST_F(BirdFileTest, MutatedFilesNeverBreakTheLoader) {
  std::mt19937 rng(20261206);
  const Bytes base = ValidBody();
  std::string path = dir_ / "mutant.bird";
  int loaded = 0;
  for (int round = 0; round < 3000; round++) {
    Bytes body = base;
    int edits = 1 + rng() % 4;
    for (int e = 0; e < edits; e++) {
      switch (rng() % 5) {
        case 0:  // flip a byte
          body[rng() % body.size()] = (uint8_t)rng();
          break;
        case 1: {  // rewrite a 32-bit field with an extreme value
          if (body.size() < 4) break;
          static const uint32_t extremes[] = {0, 1, 3, 4, 5, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFB,
                                              0xFFFFFFFC, 0x80000000, 64, 63};
          size_t at = rng() % (body.size() - 3);
          uint32_t v = extremes[rng() % (sizeof(extremes) / sizeof(extremes[0]))];
          for (int s = 0; s < 4; s++) body[at + s] = (uint8_t)(v >> (24 - 8 * s));
          break;
        }
        case 2:  // truncate
          body.resize(rng() % body.size());
          break;
        case 3:  // append
          body.insert(body.end(), rng() % 9, (uint8_t)rng());
          break;
        case 4:  // cut a slice out
          if (body.size() > 2) {
            size_t a = rng() % body.size();
            size_t b = a + rng() % (body.size() - a);
            body.erase(body.begin() + a, body.begin() + b);
          }
          break;
      }
      if (body.empty()) body.push_back(0);
    }
    Bytes file = FileOf(body);
    if (round % 4 == 3) {
      // Damage the compressed stream itself.
      file[6 + rng() % (file.size() - 6)] ^= (uint8_t)(1 + rng() % 255);
    }
    ASSERT_TRUE(qntest::WriteFile(path, Str(file)));
    BirdFileClass bird;
    if (bird.Load(path.c_str())) {
      loaded++;
      if (round % 4 != 3) {
        ASSERT_EQ(bird.dataSize, body.size());
      }
    }
    ExerciseEverything(bird);
    if (HasFatalFailure()) return;
    // The same body scanned from an exact-size buffer.
    BirdFileClass raw;
    raw.ScanBlocks(body.data(), (uint32_t)body.size());
    for (const BirdFileBlockClass* b : raw.blocks) {
      ASSERT_LE((uint64_t)(b->data - body.data()) + b->length, body.size());
    }
    raw.ValidateModel("Hub");
    raw.ValidateData(body.data(), 3);
  }
  EXPECT_GT(loaded, 1000) << "mutations should mostly leave a loadable stream";
}

// The fuzz corpus: well-formed seeds and inputs that once broke the loader,
// run through the same paths as in the fuzz target, and through Load.
TEST_F(BirdFileTest, FuzzCorpusReplays) {
  std::string corpus = std::string(QN_SOURCE_DIR) + "/tests/fuzz/corpus";
  DIR* d = opendir(corpus.c_str());
  ASSERT_NE(d, nullptr) << "corpus folder missing: " << corpus;
  int replayed = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string path = corpus + "/" + e->d_name;
    std::string content = qntest::ReadFile(path);
    CaptureStdout([&] {
      birdfuzz::ExerciseInput((const uint8_t*)content.data(), content.size());
      BirdFileClass bird;
      bird.Load(path.c_str());
      ExerciseEverything(bird);
    });
    if (HasFatalFailure()) break;
    replayed++;
  }
  closedir(d);
  EXPECT_GE(replayed, 5);
}

}  // namespace
