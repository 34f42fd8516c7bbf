// The USB stream over the kernel driver node, played by a pseudo-terminal
// whose slave is linked into a temporary device directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "link/aStreamUSB.h"
#include "link/qnusb_driver.h"
#include "tests/link/FakeModule.h"
#include "tests/support/TestSupport.h"

using qntest::Bytes;
using qntest::TempDir;
using qntest::WaitUntil;

namespace {

const uint32_t kSerial = 0x0012ABCD;

// A pty whose slave answers reads at once (raw, VMIN = VTIME = 0), linked as
// "<dir>/quillnode.%08X".
class PtyNode {
 public:
  PtyNode(const std::string& dir, uint32_t serial) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* slave = ptsname(master_);
    if (!slave) return;
    // Kept open for the node's life: without any slave open, reads on the
    // master fail and a fake module would take the module for gone.
    slave_ = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return;
    termios settings;
    tcgetattr(slave_, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &settings);
    char name[64];
    snprintf(name, sizeof(name), "/quillnode.%08X", serial);
    link_ = dir + name;
    ok_ = symlink(slave, link_.c_str()) == 0;
  }
  ~PtyNode() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool ok() const { return ok_; }
  // Hands the master over to the caller.
  int TakeMaster() {
    int fd = master_;
    master_ = -1;
    return fd;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string link_;
  bool ok_ = false;
};

// Points the device directory at a fresh temporary directory.
class KernelNodeTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv(QNUSB_DEV_DIR_ENV, dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv(QNUSB_DEV_DIR_ENV); }
  TempDir dir_;
};

TEST_F(KernelNodeTest, TheNodeCountsAsInstalledOnlyWhenItExistsAsAFile) {
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial));
  ASSERT_EQ(mkdir((dir_ / "quillnode.00000002").c_str(), 0700), 0);
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(2)) << "a directory is not a node";
  PtyNode node(dir_.path(), kSerial);
  ASSERT_TRUE(node.ok()) << "no pseudo-terminal available";
  EXPECT_TRUE(qnusb_is_kernel_driver_installed(kSerial));
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial + 1));
  char path[128];
  ASSERT_TRUE(qnusb_kernel_node_path(kSerial, path, sizeof(path)));
  EXPECT_EQ(path, dir_ / "quillnode.0012ABCD");
  EXPECT_FALSE(qnusb_kernel_node_path(1, path, 10)) << "too small a buffer";
  unsetenv(QNUSB_DEV_DIR_ENV);
  ASSERT_TRUE(qnusb_kernel_node_path(0xDEADBEEF, path, sizeof(path)));
  EXPECT_STREQ(path, "/dev/quillnode.DEADBEEF");
}

TEST_F(KernelNodeTest, TheUSBStreamUsesTheNodeWhenItExists) {
  PtyNode node(dir_.path(), kSerial);
  ASSERT_TRUE(node.ok()) << "no pseudo-terminal available";
  int master = node.TakeMaster();
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
  ASSERT_NE(stream, nullptr);
  EXPECT_GE(aStream_GetWaitHandle(stream), 0);

  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "nothing pending, no waiting";
  const uint8_t out[] = {0x04, 0x02, 0x10, 0x20};
  EXPECT_EQ(aStream_Write(stream, out, sizeof(out)), aErrNone);
  uint8_t got[4] = {0};
  ASSERT_TRUE(WaitUntil([&] { return read(master, got, sizeof(got)) == 4; }));
  EXPECT_EQ(Bytes(got, got + 4), Bytes(out, out + 4));

  const uint8_t in[] = {0x06, 0x01, 0x77};
  ASSERT_EQ(write(master, in, sizeof(in)), 3);
  EXPECT_EQ(aStream_WaitReadable(stream, 5000), aErrNone);
  uint8_t back[3];
  ASSERT_TRUE(WaitUntil([&] { return aStream_Read(stream, back, 3) == aErrNone; }));
  EXPECT_EQ(Bytes(back, back + 3), Bytes(in, in + 3));

  close(master);
  ASSERT_TRUE(WaitUntil([&] { return aStream_Read(stream, &byte, 1) == aErrIO; }))
      << "a node that hung up is an error, not an endless wait";
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
