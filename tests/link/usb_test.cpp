// The USB layer without a bus: the kernel driver node (played by a
// pseudo-terminal linked into a temporary device directory), why a USB link
// could not be opened, and the libusb record's state rules. Transfers
// through the node and through libusb run on the emulated bus in the
// integration tests.
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "link/aLink.h"
#include "link/aStreamUSB.h"
#include "link/qnusb_driver.h"
#include "tests/link/FakeModule.h"
#include "tests/support/TestSupport.h"

using qntest::Bytes;
using qntest::WaitUntil;

namespace {

const uint32_t kSerial = 0x0012ABCD;

// Points the device directory at a fresh temporary directory.
class KernelNodeTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv(QNUSB_DEV_DIR_ENV, dir_.path().c_str(), 1); }
  void TearDown() override {
    unsetenv(QNUSB_DEV_DIR_ENV);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  // A raw pty (reads answer at once) linked as the node of `serial`. The
  // slave stays open: without it reads on the master fail.
  bool MakeNode(uint32_t serial) {
    char slave[256];
    if (openpty(&master_, &slave_, slave, nullptr, nullptr) != 0) return false;
    termios settings;
    tcgetattr(slave_, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = settings.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &settings);
    char path[128];
    return qnusb_kernel_node_path(serial, path, sizeof(path)) && symlink(slave, path) == 0;
  }
  qntest::TempDir dir_;
  int master_ = -1, slave_ = -1;
};

TEST_F(KernelNodeTest, TheNodeCountsAsInstalledOnlyWhenItExistsAsAFile) {
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial));
  ASSERT_EQ(mkdir((dir_ / "quillnode.00000002").c_str(), 0700), 0);
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(2)) << "a directory is not a node";
  ASSERT_TRUE(MakeNode(kSerial)) << "no pseudo-terminal available";
  EXPECT_TRUE(qnusb_is_kernel_driver_installed(kSerial));
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial + 1));
  char path[128];
  ASSERT_TRUE(qnusb_kernel_node_path(kSerial, path, sizeof(path)));
  EXPECT_EQ(path, dir_ / "quillnode.0012ABCD");
  // The default directory is the one of the emulated bus in the integration
  // tests.
  EXPECT_FALSE(qnusb_kernel_node_path(1, path, 10)) << "too small a buffer";
}

TEST_F(KernelNodeTest, TheUSBStreamUsesTheNodeWhenItExists) {
  ASSERT_TRUE(MakeNode(kSerial)) << "no pseudo-terminal available";
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
  ASSERT_NE(stream, nullptr);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "nothing pending, no waiting";
  const uint8_t in[] = {0x06, 0x01, 0x77};
  ASSERT_EQ(write(master_, in, sizeof(in)), 3);
  EXPECT_EQ(aStream_AwaitInput(stream, -1, 5000), aErrNone) << "the node is the wait handle";

  close(master_);
  master_ = -1;
  ASSERT_TRUE(WaitUntil([&] { return aStream_Read(stream, &byte, 1) == aErrIO; }))
      << "a node that hung up is an error, not an endless wait";
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// A node that exists but cannot be opened: a unix socket.
TEST_F(KernelNodeTest, ANodeThatCannotBeOpenedGivesItsErrorAndNoLink) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_TRUE(qnusb_kernel_node_path(kSerial, address.sun_path, sizeof(address.sun_path)));
  ASSERT_EQ(bind(fd, (const sockaddr*)&address, sizeof(address)), 0);
  aErr error = aErrUnknown;
  EXPECT_EQ(aLink_CreateUSBResult(kSerial, &error), 0u);
  EXPECT_EQ(error, aErrIO);
  EXPECT_EQ(aLink_CreateUSBResult(kSerial, nullptr), 0u) << "the error is optional";
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  close(fd);
}

TEST(LibusbDeviceTest, TransfersFollowTheDeviceState) {
  qnusb* record = qnusb_create_usb(QNUSB_MODE_LIBUSB);
  if (!record) GTEST_SKIP() << "libusb cannot be initialised on this machine";
  uint8_t byte = 0;
  const uint8_t data[] = {1, 2, 3};
  // Created or opening: not ready yet, and nothing to wait for.
  EXPECT_EQ(qnusb_write_to_device(record, data, 3), aErrNotReady);
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrNotReady);
  EXPECT_EQ(qnusb_wait_for_input(record, -1, 10000), aErrNone);
  // Closed: a connection error.
  record->state = QNUSB_STATE_CLOSED;
  EXPECT_EQ(qnusb_write_to_device(record, data, 3), aErrConnection);
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrConnection);
  // Failed after an I/O error: stays failed.
  record->state = QNUSB_STATE_FAILED;
  EXPECT_EQ(qnusb_write_to_device(record, data, 3), aErrIO);
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrIO);
  // Bytes already buffered are handed out whatever the state.
  record->readBuffer[0] = 0x42;
  record->readBuffer[1] = 0x43;
  record->buffered = 2;
  record->readPosition = record->readBuffer;
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrNone);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrNone);
  EXPECT_EQ(byte, 0x43);
  EXPECT_EQ(qnusb_get_from_device(record, &byte), aErrIO);
  EXPECT_EQ(qnusb_close_quillnode_device(record), aErrMode) << "no handle to close";
  qnusb_destroy(&record);
  qnusb* node = qnusb_create_usb(QNUSB_MODE_KERNEL);
  EXPECT_EQ(qnusb_wait_for_input(node, -1, 0), aErrMode);
  qnusb_destroy(&node);
}

}  // namespace
