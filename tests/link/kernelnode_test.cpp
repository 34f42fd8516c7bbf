// The USB stream over the kernel driver node, played by a pseudo-terminal
// whose slave is linked into a temporary device directory.
#include <gtest/gtest.h>

#include <fcntl.h>
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
using qntest::FakeModule;
using qntest::TempDir;
using qntest::WaitUntil;

namespace {

const uint32_t kSerial = 0x0012ABCD;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

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
  // Hands the master to a fake module (which then owns it).
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

bool MatchAll(const aPacket*, void*) { return true; }

TEST(KernelNodePathTest, FollowsTheDeviceDirectoryVariable) {
  char path[128];
  {
    ScopedEnv env(QNUSB_DEV_DIR_ENV, "/tmp/qn-dev");
    ASSERT_TRUE(qnusb_kernel_node_path(kSerial, path, sizeof(path)));
    EXPECT_STREQ(path, "/tmp/qn-dev/quillnode.0012ABCD");
  }
  {
    ScopedEnv env(QNUSB_DEV_DIR_ENV, nullptr);
    ASSERT_TRUE(qnusb_kernel_node_path(0xDEADBEEF, path, sizeof(path)));
    EXPECT_STREQ(path, "/dev/quillnode.DEADBEEF");
  }
  {
    ScopedEnv env(QNUSB_DEV_DIR_ENV, "");
    ASSERT_TRUE(qnusb_kernel_node_path(1, path, sizeof(path)));
    EXPECT_STREQ(path, "/dev/quillnode.00000001");
    EXPECT_FALSE(qnusb_kernel_node_path(1, path, 10)) << "too small a buffer";
  }
}

class KernelNodeTest : public ::testing::Test {
 protected:
  KernelNodeTest() : env_(QNUSB_DEV_DIR_ENV, dir_.path().c_str()) {}
  TempDir dir_;
  ScopedEnv env_;
};

TEST_F(KernelNodeTest, TheNodeCountsAsInstalledOnlyWhenItExistsAsAFile) {
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial));
  ASSERT_EQ(mkdir((dir_ / "quillnode.00000002").c_str(), 0700), 0);
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(2)) << "a directory is not a node";
  PtyNode node(dir_.path(), kSerial);
  ASSERT_TRUE(node.ok()) << "no pseudo-terminal available";
  EXPECT_TRUE(qnusb_is_kernel_driver_installed(kSerial));
  EXPECT_FALSE(qnusb_is_kernel_driver_installed(kSerial + 1));
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

TEST_F(KernelNodeTest, ANodeThatCannotBeOpenedGivesIO) {
  // A socket file exists as a file, but open() refuses it.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string path = dir_ / "quillnode.00000003";
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(fd, (sockaddr*)&address, sizeof(address)), 0);
  aStreamRef stream = (aStreamRef)0x1;
  EXPECT_EQ(aStream_CreateUSB(3, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  close(fd);
}

TEST_F(KernelNodeTest, BadArgumentsAndAMissingModuleGiveNoStream) {
  aStreamRef stream = (aStreamRef)0x1;
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
  // No node: libusb is asked, and no module with this serial number is on
  // any bus of this machine.
  aErr result = aStream_CreateUSB(0x0BADF00D, &stream);
  EXPECT_TRUE(result == aErrNotFound || result == aErrResource) << "result " << result;
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0u);
}

TEST_F(KernelNodeTest, ALinkRunsOverTheNode) {
  PtyNode node(dir_.path(), kSerial);
  ASSERT_TRUE(node.ok()) << "no pseudo-terminal available";
  FakeModule module(node.TakeMaster());
  uint32_t id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_CreateUSB(kSerial), id) << "shared by serial number";
  EXPECT_EQ(module.WaitForPacket({0xAF, 0x01, 0x01}), 0);
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));

  module.Send({0x02, 0x02, 0x00, 0x00, 0x02, 0x01, 0x42});
  EXPECT_GE(module.WaitForPacket({0x02, 0x02, 0x00, 0x02}), 1);
  aPacketRef packet = aLink_AwaitFirst(id, MatchAll, nullptr, 3000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->address, 0x02);
  EXPECT_EQ(packet->data[0], 0x42);
  aPacket_Destroy(&packet);

  uint32_t second = id;
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), (uint32_t)aLINK_STATUS_RUNNING);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_GE(module.WaitForPacket({0xAF, 0x01, 0x00}), 1);
}

TEST_F(KernelNodeTest, ANodeThatGoesAwayGivesStatus6AndDestroyJoins) {
  PtyNode node(dir_.path(), kSerial);
  ASSERT_TRUE(node.ok()) << "no pseudo-terminal available";
  int master = node.TakeMaster();
  uint32_t id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
  close(master);
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_READ_ERROR; }))
      << "status " << aLink_GetStatus(id);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
