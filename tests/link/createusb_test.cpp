// Why a USB link could not be opened reaches the caller.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "link/aLink.h"
#include "link/qnusb_driver.h"
#include "tests/support/TestSupport.h"

namespace {

// A kernel-driver node that exists but cannot be opened: a unix socket.
TEST(CreateUSBResultTest, ANodeThatCannotBeOpenedGivesItsErrorAndNoLink) {
  qntest::TempDir dir;
  std::string node = dir / "quillnode.0012ABCD";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(node.size(), sizeof(address.sun_path));
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", node.c_str());
  ASSERT_EQ(bind(fd, (const sockaddr*)&address, sizeof(address)), 0);

  const char* old = getenv(QNUSB_DEV_DIR_ENV);
  std::string saved = old ? old : "";
  setenv(QNUSB_DEV_DIR_ENV, dir.path().c_str(), 1);
  aErr error = aErrUnknown;
  EXPECT_EQ(aLink_CreateUSBResult(0x0012ABCD, &error), 0u);
  EXPECT_EQ(error, aErrIO);
  EXPECT_EQ(aLink_CreateUSBResult(0x0012ABCD, nullptr), 0u) << "the error is optional";
  EXPECT_EQ(aLink_CreateUSB(0x0012ABCD), 0u);
  if (old) {
    setenv(QNUSB_DEV_DIR_ENV, saved.c_str(), 1);
  } else {
    unsetenv(QNUSB_DEV_DIR_ENV);
  }
  close(fd);
}

}  // namespace
