// Serial download protocol over USB HID through hidapi (hidraw backend). The
// ROM uses numbered reports: output 1 (command) and 2 (data), input 3 (HAB
// state) and 4 (response).
#include <hidapi/hidapi.h>
#include <string.h>

#include "app/Log.h"
#include "link/aBytes.h"
#include "recovery/SDPLoader.h"

namespace {

const size_t MAX_READ_BYTES = 65;  // report id and 64 bytes
const uint8_t REPORT_HAB = 3;
const size_t HAB_REPORT_BYTES = 5;  // report id and the 4-byte HAB state
const size_t FULL_REPLY_BYTES = HAB_REPORT_BYTES + MAX_READ_BYTES;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId)
    : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_ != nullptr) hid_close(handle_);
  handle_ = nullptr;
  if (initialised_) hid_exit();
}

bool HID_SDPLoader::init() {
  if (!initialised_) {
    if (hid_init() != 0) return false;
    initialised_ = true;
  }
  if (handle_ != nullptr) {
    hid_close(handle_);
    handle_ = nullptr;
  }
  handle_ = hid_open(vendorId_, productId_, nullptr);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "handle: %p\n", (void*)handle_);
  return handle_ != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (handle_ == nullptr || packet.empty()) return -1;
  return hid_write(handle_, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned waitMs) {
  if (handle_ == nullptr) return 0;
  unsigned char buffer[MAX_READ_BYTES];
  ssize_t count = 0;
  while ((size_t)count < MAX_REPLY_BYTES) {
    memset(buffer, 0, sizeof(buffer));
    int n = hid_read_timeout(handle_, buffer, sizeof(buffer), (int)waitMs);
    if (n <= 0) break;
    size_t take = (size_t)n;
    if (buffer[0] == REPORT_HAB && take > HAB_REPORT_BYTES) take = HAB_REPORT_BYTES;
    reply.insert(reply.end(), buffer, buffer + take);
    count += (ssize_t)take;
  }
  return count;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                                      unsigned& value) {
  if (reply.size() != FULL_REPLY_BYTES || offset >= 16) return false;
  const uint8_t* p = reply.data() + offset + 6;
  value |= aBytes_GetLE32(p);
  return true;
}
