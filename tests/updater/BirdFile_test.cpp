#include "updater/BirdFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/fuzz/BirdFileExercise.h"
#include "tests/support/Capture.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using namespace qntest;

// `image` with `bytes` written at `at`.
Bytes With(Bytes image, size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), image.begin() + at);
  return image;
}

class BirdFileTest : public testing::Test {
 protected:
  std::string Write(const std::string& name, const Bytes& content) {
    std::string path = dir_ / name;
    EXPECT_TRUE(qntest::WriteFile(path, std::string(content.begin(), content.end())));
    return path;
  }
  // Scans `records` into bird_ from a body the test keeps.
  void Scan(const std::vector<Bytes>& records) {
    body_ = Body((uint32_t)records.size(), records);
    ASSERT_TRUE(bird_.ScanBlocks(body_.data(), body_.size()));
  }
  Bytes Image(size_t i) const {
    const BirdFileBlockClass* b = bird_.blocks[i];
    return Bytes(b->data + 4, b->data + b->length);
  }

  qntest::TempDir dir_;
  Bytes body_;
  BirdFileClass bird_;
};

// --- Header and loading --------------------------------------------------

TEST_F(BirdFileTest, VerifyFileChecksSignatureAndNonZeroVersionBytes) {
  for (const char* ok : {"bird\x02\x07", "bird\x01\x01\x78"}) {
    EXPECT_TRUE(BirdFileClass::VerifyFile(Write("ok", Bytes(ok, ok + strlen(ok))).c_str())) << ok;
  }
  for (std::string bad : {std::string("bird\x01\0", 6), std::string("bird\0\x01", 6),
                          std::string("bird\x01"), std::string("Bird\x01\x01")}) {
    EXPECT_FALSE(BirdFileClass::VerifyFile(Write("bad", Bytes(bad.begin(), bad.end())).c_str()));
  }
  EXPECT_FALSE(BirdFileClass::VerifyFile(nullptr));
  EXPECT_FALSE(BirdFileClass::VerifyFile((dir_ / "missing.bird").c_str()));
}

TEST_F(BirdFileTest, LoadIndexesBlocksQuietlyWithItsChannelOff) {
  Bytes firmware = ImageData(0, Bytes(4, 0));
  Bytes body =
      Body(4,
           {Record(0x00, ImageData(0x10000000, Bytes(20, 0xAA))), Record(0x41, firmware),
            Record(0xE3, {1, 2, 3}), Record(0x04, Info("Build 7", "1.2.3", "0012ABCD", "Hub8"))},
           0x0000BEEF);
  std::string path = Write("ok.bird", FileOf(body));
  EXPECT_EQ(CaptureStdout([&] { EXPECT_TRUE(bird_.Load(path.c_str())); }), "") << "channel off";

  EXPECT_EQ(bird_.filename, path);
  EXPECT_EQ(Bytes(bird_.data, bird_.data + bird_.dataSize), body);
  ASSERT_EQ(bird_.blockCount, 4u);
  EXPECT_EQ(bird_.checksum, 0x0000BEEFu);
  EXPECT_EQ(bird_.blocks[1]->data, bird_.data + 4 + 5 + 24 + 5);
  EXPECT_EQ(Bytes(bird_.blocks[1]->data, bird_.blocks[1]->data + 8), firmware);
}

TEST_F(BirdFileTest, FilesThatCannotBeLoadedLeaveTheObjectEmptyAndForgotten) {
  EXPECT_FALSE(bird_.Load((dir_ / "nope.bird").c_str()));
  EXPECT_EQ(bird_.filename, "");
  // Short headers, garbage after the header, and more than eightfold
  // expansion (zlib's buffer error).
  std::vector<Bytes> files;
  for (size_t n = 0; n < 6; n++) files.push_back(Bytes(n, 'b'));
  files.push_back({'b', 'i', 'r', 'd', 1, 1, 'x', 'y', 'z', 'z'});
  files.push_back(FileOf(Body(1, {Record(1, ImageData(0, Bytes(4096, 0)))})));
  for (size_t i = 0; i < files.size(); i++) {
    std::string path = Write("bad" + std::to_string(i), files[i]);
    EXPECT_FALSE(bird_.Load(path.c_str())) << i;
    EXPECT_EQ(bird_.filename, path) << "the file was read";
    EXPECT_EQ(bird_.data, nullptr) << i;
    EXPECT_EQ(bird_.dataSize, 0u) << i;
  }
  // A size whose eightfold overflows 32 bits is refused before anything is read.
  uint8_t tiny[1] = {0};
  EXPECT_FALSE(bird_.DecompressData(tiny, (size_t)UINT32_MAX / 8 + 1));
  EXPECT_EQ(bird_.data, nullptr);

  // A FIFO is not opened, so nothing waits for a writer.
  std::string fifo = dir_ / "fifo.bird";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Held open for writing, with a valid header waiting in it, so that a loader
  // that opened the FIFO would read instead of blocking; it must refuse it.
  int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "bird\x01\x01", 6), 6);
  EXPECT_FALSE(BirdFileClass::VerifyFile(fifo.c_str()));
  EXPECT_FALSE(bird_.Load(fifo.c_str()));
  close(fd);

  // A failed reload forgets the previous file.
  std::string offline =
      Write("offline.bird",
            FileOf(Body(2, {Record(1, ImageData(0, Bytes(40, 1))), Record(2, Offsets(4, 8))})));
  std::string broken = Write("broken.bird", {'b', 'i', 'r', 'd', 1, 1, 0, 0});
  std::string plain = Write("plain.bird", FileOf(Body(1, {Record(1, ImageData(0, Bytes(40, 1)))})));

  ASSERT_TRUE(bird_.Load(offline.c_str()));
  ASSERT_EQ(bird_.serialOffset, 4u);
  bird_.offline = true;
  EXPECT_FALSE(bird_.Load(broken.c_str()));
  EXPECT_EQ(bird_.blockCount, 0u);
  EXPECT_EQ(bird_.serialOffset, 0u);
  EXPECT_EQ(bird_.descriptorOffset, 0u);
  EXPECT_FALSE(bird_.offline);

  ASSERT_TRUE(bird_.Load(offline.c_str()));
  ASSERT_TRUE(bird_.Load(plain.c_str()));
  EXPECT_EQ(bird_.serialOffset, 0u);
  EXPECT_FALSE(bird_.ReplaceSerialNumber(0x11223344)) << "no offsets of the previous file";
}

// --- Block structure -----------------------------------------------------

TEST_F(BirdFileTest, InconsistentStructureKeepsTheParsedBlocks) {
  // Count says 3, two blocks follow: the load still succeeds.
  std::string path =
      Write("count.bird", FileOf(Body(3, {Record(1, ImageData(0, {1})), Record(0, {})})));
  EXPECT_TRUE(bird_.Load(path.c_str()));
  EXPECT_EQ(bird_.blocks.size(), 2u);

  // A block longer than what remains, including lengths where L + 5 wraps.
  Bytes good = Record(1, ImageData(0, Bytes(8, 9)));
  for (uint32_t claim : {100u, 0xFFFFFFFFu, 0xFFFFFFFBu, 0xFFFFFFFCu}) {
    Bytes body = Body(2, {good, Record(1, ImageData(0, Bytes(8, 9)), claim)});
    EXPECT_FALSE(bird_.ScanBlocks(body.data(), body.size()));
    ASSERT_EQ(bird_.blocks.size(), 1u) << claim;
    EXPECT_EQ(bird_.blocks[0]->length, 12u);
  }

  // A trailing byte; then a checksum cut to two bytes.
  Bytes rec = Record(1, ImageData(0, {1, 2, 3}));
  Bytes body = Body(1, {rec});
  body.push_back(0xEE);
  EXPECT_FALSE(bird_.ScanBlocks(body.data(), body.size()));
  body.resize(4 + rec.size() + 2);
  EXPECT_FALSE(bird_.ScanBlocks(body.data(), body.size()));
  EXPECT_EQ(bird_.checksum, 0u);
  // Scanning again replaces the blocks instead of adding to them.
  EXPECT_EQ(bird_.blocks.size(), 1u);

  // Bodies too short for their block count.
  for (uint32_t size = 0; size < 4; size++) {
    Bytes body(size, 0xFF);  // exactly `size` bytes on the heap
    EXPECT_FALSE(bird_.ScanBlocks(body.data(), size));
    EXPECT_TRUE(bird_.blocks.empty());
  }
  EXPECT_FALSE(bird_.ScanBlocks(nullptr, 100));
  Bytes empty = Body(0, {});
  EXPECT_TRUE(bird_.ScanBlocks(empty.data(), empty.size()));
  EXPECT_TRUE(bird_.Load(Write("empty.bird", FileOf({})).c_str())) << "an empty body inflates";
  EXPECT_EQ(bird_.dataSize, 0u);
  EXPECT_EQ(bird_.blockCount, 0u);
}

TEST_F(BirdFileTest, FindBlockTypeAndSerialOffsets) {
  EXPECT_FALSE(bird_.FindSerialNumberOffsets()) << "no blocks";
  Scan({Record(1, ImageData(0, {1})), Record(2, {0, 0, 0, 9, 0, 0, 0}),
        Record(1, ImageData(0, {3})), Record(0x21, ImageData(0, {4})),
        Record(2, Offsets(0x100, 0x200))});
  Bytes seen;
  for (BirdFileBlockClass* b = bird_.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr); b;
       b = bird_.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, b)) {
    seen.push_back(b->data[4]);
  }
  EXPECT_EQ(seen, Bytes({1, 3, 4}));
  EXPECT_EQ(bird_.FindBlockType(BirdFileClass::BLOCK_INFO, nullptr), nullptr);
  BirdFileBlockClass stranger;
  EXPECT_EQ(bird_.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, &stranger), nullptr);
  EXPECT_EQ(bird_.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, bird_.blocks[1]), bird_.blocks[2]);

  // The first offsets block is 7 bytes long: too short.
  EXPECT_FALSE(bird_.FindSerialNumberOffsets());
  EXPECT_EQ(bird_.serialOffset, 0u);
  Scan({Record(2, Offsets(0x100, 0x200)), Record(2, Offsets(1, 2))});
  EXPECT_TRUE(bird_.FindSerialNumberOffsets());
  EXPECT_EQ(bird_.serialOffset, 0x100u);
  EXPECT_EQ(bird_.descriptorOffset, 0x200u);
}

// --- Patching ------------------------------------------------------------

TEST_F(BirdFileTest, ReplaceSerialNumberPatchesEveryFirmwareImageWhereItFits) {
  Bytes image = With(Bytes(64, 0xEE), 20, {0x78, 0x56, 0x34, 0x12});
  Scan({Record(1, ImageData(0, image)), Record(0, ImageData(0, image)),
        Record(1, ImageData(0x4000, image))});
  bird_.descriptorOffset = 30;
  Bytes before = body_;
  EXPECT_FALSE(bird_.ReplaceSerialNumber(0x0012ABCD));
  EXPECT_EQ(body_, before) << "no serial offset: nothing changes, descriptor or not";

  bird_.serialOffset = 20;
  EXPECT_TRUE(bird_.ReplaceSerialNumber(0x0012ABCD));
  Bytes expected = With(image, 20, {0xCD, 0xAB, 0x12, 0x00});
  for (int k = 0; k < 8; k++) expected[30 + 2 * k] = (uint8_t) "0012ABCD"[k];  // high bytes kept
  EXPECT_EQ(Image(0), expected);
  EXPECT_EQ(Image(2), expected);
  EXPECT_EQ(Image(1), image) << "loader blocks are not patched";

  // What does not fit is skipped.
  // Blocks without a whole address, an empty image, and images of 24 and 23
  // bytes: the word at 20 fits only the first, the descriptor at 4 both.
  Scan({Record(1, {}), Record(1, {0, 0}), Record(1, ImageData(0, {})),
        Record(1, ImageData(0, Bytes(24, 0))), Record(1, ImageData(0, Bytes(23, 0)))});
  bird_.serialOffset = 20;
  bird_.descriptorOffset = 4;
  EXPECT_TRUE(bird_.ReplaceSerialNumber(0xA1B2C3D4));
  EXPECT_EQ(Bytes(bird_.blocks[3]->data + 24, bird_.blocks[3]->data + 28),
            Bytes({0xD4, 0xC3, 0xB2, 0xA1}));
  Bytes last = Image(4);
  EXPECT_EQ(last[4], 'A');
  EXPECT_EQ(Bytes(last.begin() + 19, last.end()), Bytes(4, 0));

  // Offsets near 2^32 must not wrap into the image.
  for (uint32_t off : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFFCu, 0xFFFFFFF0u, 0xFFFFFFF1u}) {
    Bytes before = body_;
    bird_.serialOffset = off;
    bird_.descriptorOffset = off;
    EXPECT_TRUE(bird_.ReplaceSerialNumber(1));
    EXPECT_EQ(body_, before) << std::hex << off;
  }
}

TEST_F(BirdFileTest, ReplaceVectorChecksumMakesTheVectorTableSumToZero) {
  // Words 0..6 sum to 0x10.
  Bytes table = With(With(With(Bytes(40, 0), 0, {8, 0, 0, 0, 4}), 24, {4}), 28, {0x55});
  Scan({Record(1, ImageData(0, table)), Record(1, ImageData(0x2000, table)),
        Record(1, ImageData(0, Bytes(31, 1))), Record(1, {0, 0}), Record(0, ImageData(0, table))});
  const Bytes before = body_;
  EXPECT_TRUE(bird_.ReplaceVectorChecksum());
  EXPECT_EQ(body_, With(before, 4 + 5 + 4 + 28, {0xF0, 0xFF, 0xFF, 0xFF}))
      << "only the address-0 firmware image of 32 bytes or more changes";
}

TEST_F(BirdFileTest, DecodeFirmwareBlocksChainsPerBlockAndKeepsAddresses) {
  const uint32_t key[4] = {0x01020304, 0x10203040, 0xA0B0C0D0, 0x0F1E2D3C};
  Scan({Record(1, ImageData(0x12345678, Bytes(40, 0))), Record(0, ImageData(0, Bytes(8, 0))),
        Record(1, ImageData(0xCAFEBABE, Bytes(20, 0))), Record(1, {0xAA, 0xBB})});
  EXPECT_TRUE(bird_.DecodeFirmwareBlocks(key));
  for (size_t i : {0, 2}) {
    Bytes plain = Image(i);
    uint8_t expect = 0;
    for (size_t j = 0; j < plain.size(); j++) {
      // Key bytes K0, K0^K1, K0^K1^K2, ..., each word big-endian, restarting per block.
      expect ^= (uint8_t)(key[j % 16 / 4] >> (24 - 8 * (j % 4)));
      ASSERT_EQ(plain[j], expect) << "block " << i << " byte " << j;
    }
  }
  EXPECT_EQ(BirdFileClass::GetInt(bird_.blocks[0]->data), 0x12345678u);
  EXPECT_EQ(BirdFileClass::GetInt(bird_.blocks[2]->data), 0xCAFEBABEu);
  EXPECT_EQ(Image(1), Bytes(8, 0)) << "loader blocks are not descrambled";
  EXPECT_EQ(Bytes(bird_.blocks[3]->data, bird_.blocks[3]->data + 2), Bytes({0xAA, 0xBB}));
}

// --- Questions about the file --------------------------------------------

TEST_F(BirdFileTest, ValidateDataModelAndSerialNumber) {
  Bytes image = With(With(Bytes(30, 0), 3, {0xCD, 0xAB}), 20, {0xCD, 0xAB});
  Scan({Record(1, ImageData(0xCDAB0000, image)), Record(0, ImageData(0, image)),
        Record(1, ImageData(0, {0xCD, 0xAB}))});
  const uint8_t pattern[] = {0xCD, 0xAB};
  EXPECT_TRUE(bird_.ValidateData(pattern, 2));
  // Start position L - n is not examined.
  Bytes whole = ImageData(0, {1, 2, 3, 4});
  Scan({Record(1, whole)});
  EXPECT_FALSE(bird_.ValidateData(whole.data(), 8)) << "as long as the block";
  EXPECT_TRUE(bird_.ValidateData(whole.data(), 7));
  EXPECT_FALSE(bird_.ValidateData(nullptr, 2));
  EXPECT_FALSE(bird_.ValidateData(whole.data(), 0));

  // Model and serial number come from the first info block.
  Scan({Record(4, Info("b", "v", "0012ABCDtrailer", "abcd")),
        Record(4, Info("", "", "FFFFFFFF", "x"))});
  EXPECT_TRUE(bird_.ValidateModel("abc")) << "the file's model may be longer";
  EXPECT_FALSE(bird_.ValidateSerialNumber(0x0012abce));
  EXPECT_FALSE(bird_.ValidateModel("abcde"));
  EXPECT_FALSE(bird_.ValidateModel("x"));
  EXPECT_FALSE(bird_.ValidateModel(nullptr));
  char serial[9];
  EXPECT_TRUE(bird_.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "0012ABCD");
  EXPECT_TRUE(bird_.ValidateSerialNumber(0x0012ABCD));

  Scan({Record(4, Info("b", "v", "s", "ab"))});
  EXPECT_FALSE(bird_.ValidateModel("abc"));
  Scan({Record(4, Info("b", "v", "s", "0123456789ABCDEF"))});
  EXPECT_TRUE(bird_.ValidateModel("0123456789ABCDEF"));
  Scan({Record(1, ImageData(0, {}))});
  EXPECT_FALSE(bird_.ValidateModel("abc"));
  EXPECT_FALSE(bird_.GetSerialNumber(serial));
  EXPECT_FALSE(bird_.ValidateSerialNumber(0));

  // A short info block is never read past its end.
  Bytes info = Info("b", "v", "0000ABCD", "Hub");
  info.resize(40);  // build, version and the 8 serial digits only
  // With the channel on, the block dump reads the fields too.
  CaptureStdout(DEBUG_BirdFile, [&] { Scan({Record(4, info)}); });
  EXPECT_TRUE(bird_.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "0000ABCD");
  EXPECT_TRUE(bird_.ValidateSerialNumber(0xABCD));
  EXPECT_FALSE(bird_.ValidateModel("Hub"));

  info.resize(34);  // two serial digits
  Scan({Record(4, info)});
  EXPECT_TRUE(bird_.GetSerialNumber(serial));
  EXPECT_STREQ(serial, "00");
  EXPECT_FALSE(bird_.ValidateSerialNumber(0));
}

// --- Untrusted input -----------------------------------------------------

// Bodies of a well-formed file with random bytes changed, extreme 32-bit
// values where lengths or offsets may be, and tails cut, each also as a file
// with a damaged stream now and then, go through every operation; with the
// sanitizers on, any access out of bounds fails the test.
TEST_F(BirdFileTest, MutatedFilesNeverBreakTheLoader) {
  Bytes image(96);
  for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i * 7);
  const Bytes base =
      Body(6, {Record(0, ImageData(0x10000000, image)), Record(0x21, ImageData(0, image)),
               Record(1, ImageData(0x8000, Bytes(image.begin(), image.begin() + 40))),
               Record(2, Offsets(8, 16)), Record(4, Info("12", "1.0.0", "0012ABCD", "Hub")),
               Record(5, {0x20, 0, 4, 0})});
  static const uint32_t extremes[] = {
      0, 1, 3, 4, 5, 63, 64, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFB, 0xFFFFFFFC, 0xFFFFFFFF};
  std::mt19937 rng(20261206);
  CaptureStdout([&] {
    for (int round = 0; round < 3000; round++) {
      Bytes body = base;
      for (int e = 1 + rng() % 4; e > 0; e--) {
        unsigned kind = rng() % 3;
        if (kind == 0) {
          body[rng() % body.size()] = (uint8_t)rng();
        } else if (kind == 1 && body.size() >= 4) {
          uint32_t v = extremes[rng() % (sizeof(extremes) / sizeof(extremes[0]))];
          size_t at = rng() % (body.size() - 3);
          for (int s = 0; s < 4; s++) body[at + s] = (uint8_t)(v >> (24 - 8 * s));
        } else if (kind == 2) {
          body.resize(rng() % body.size());
        }
        if (body.empty()) body.push_back(0);
      }
      Bytes file = FileOf(body);
      if (round % 4 == 3) file[6 + rng() % (file.size() - 6)] ^= (uint8_t)(1 + rng() % 255);
      EXPECT_TRUE(birdfuzz::ExerciseInput(body.data(), body.size())) << round;
      EXPECT_TRUE(birdfuzz::ExerciseInput(file.data(), file.size())) << round;
    }
  });
}

// The fuzz corpus: well-formed seeds and inputs that once broke the loader,
// run through the same paths as in the fuzz target.
TEST_F(BirdFileTest, FuzzCorpusReplays) {
  std::string corpus = std::string(QN_SOURCE_DIR) + "/tests/fuzz/corpus";
  const std::set<std::string> names = ListNames(corpus);
  ASSERT_GE(names.size(), 5u) << "corpus folder missing or short: " << corpus;
  for (const std::string& name : names) {
    std::string content = ReadFile(corpus + "/" + name);
    CaptureStdout([&] {
      EXPECT_TRUE(birdfuzz::ExerciseInput((const uint8_t*)content.data(), content.size())) << name;
    });
  }
}

}  // namespace
