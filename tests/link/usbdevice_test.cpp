// The USB device layer's state rules, which need no module on a bus.
#include <gtest/gtest.h>

#include "link/qnusb_driver.h"

namespace {

class LibusbDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_ = qnusb_create_usb(QNUSB_MODE_LIBUSB);
    if (!record_) GTEST_SKIP() << "libusb cannot be initialised on this machine";
  }
  void TearDown() override {
    if (record_) qnusb_destroy(&record_);
  }
  qnusb* record_ = nullptr;
};

TEST_F(LibusbDeviceTest, TransfersFollowTheDeviceState) {
  uint8_t byte = 0;
  const uint8_t data[] = {1, 2, 3};
  // Created or opening: not ready yet.
  EXPECT_EQ(qnusb_write_to_device(record_, data, 3), aErrNotReady);
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrNotReady);
  // Closed: a connection error.
  record_->state = QNUSB_STATE_CLOSED;
  EXPECT_EQ(qnusb_write_to_device(record_, data, 3), aErrConnection);
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrConnection);
  // Failed after an I/O error: stays failed.
  record_->state = QNUSB_STATE_FAILED;
  EXPECT_EQ(qnusb_write_to_device(record_, data, 3), aErrIO);
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrIO);
  // Bytes already buffered are handed out whatever the state.
  record_->readBuffer[0] = 0x42;
  record_->readBuffer[1] = 0x43;
  record_->buffered = 2;
  record_->readPosition = record_->readBuffer;
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrNone);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrNone);
  EXPECT_EQ(byte, 0x43);
  EXPECT_EQ(qnusb_get_from_device(record_, &byte), aErrIO);
  EXPECT_EQ(qnusb_close_quillnode_device(record_), aErrMode) << "no handle to close";
}

}  // namespace
