// The output thread's pacing: packets queued faster than the link's pace
// still leave at least 1 ms apart, all of them, in order.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "link/aLink.h"
#include "link/aPacket.h"
#include "link/aStream.h"

namespace {

typedef std::chrono::steady_clock Clock;

aErr sGet(uint8_t* byte, void* ref) {
  ssize_t r = read(*static_cast<int*>(ref), byte, 1);
  if (r == 1) return aErrNone;
  if (r == 0) return aErrEOF;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrIO;
}
aErr sWrite(const uint8_t* data, size_t length, void* ref) {
  size_t done = 0;
  while (done < length) {
    ssize_t w = write(*static_cast<int*>(ref), data + done, length - done);
    if (w <= 0) return aErrIO;
    done += (size_t)w;
  }
  return aErrNone;
}
aErr sPut(uint8_t byte, void* ref) { return sWrite(&byte, 1, ref); }
aErr sDelete(void* ref) {
  int* fd = static_cast<int*>(ref);
  close(*fd);
  delete fd;
  return aErrNone;
}

TEST(LinkPacingTest, QueuedPacketsLeaveAtLeastOneMillisecondApartAndInOrder) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  aStreamRef stream = aStream_Create(sGet, sPut, sWrite, sDelete, new int(fds[0]));
  ASSERT_NE(stream, nullptr);
  aStream_SetWaitHandle(stream, fds[0]);
  uint32_t link = aLink_Create(stream);
  ASSERT_NE(link, 0u);
  for (int i = 0; i < 200 && aLink_GetStatus(link) != aLINK_STATUS_RUNNING; ++i) usleep(1000);
  ASSERT_EQ(aLink_GetStatus(link), (uint32_t)aLINK_STATUS_RUNNING);

  const int kPackets = 40;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kPackets; ++i) {
    uint8_t data[2] = {0x5F, (uint8_t)i};
    aPacketRef packet = aPacket_CreateWithData(0x02, 2, data);
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(aLink_PutPacket(link, packet), aErrNone);
    aPacket_Destroy(&packet);
  }

  // Read packets (address 02, length 2) until all have come, skipping the
  // link's own control traffic; every wait is bounded.
  std::vector<uint8_t> bytes;
  std::vector<int> order;
  Clock::time_point last = start;
  Clock::time_point deadline = start + std::chrono::seconds(5);
  while ((int)order.size() < kPackets && Clock::now() < deadline) {
    struct pollfd p = {fds[1], POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t buf[256];
    ssize_t r = read(fds[1], buf, sizeof(buf));
    if (r <= 0) break;
    bytes.insert(bytes.end(), buf, buf + r);
    while (bytes.size() >= 2 && bytes.size() >= 2u + bytes[1]) {
      if (bytes[0] == 0x02 && bytes[1] == 2 && bytes[2] == 0x5F) {
        order.push_back(bytes[3]);
        last = Clock::now();
      }
      bytes.erase(bytes.begin(), bytes.begin() + 2 + bytes[1]);
    }
  }
  aLink_Destroy(&link);
  close(fds[1]);

  ASSERT_EQ((int)order.size(), kPackets);
  for (int i = 0; i < kPackets; ++i) EXPECT_EQ(order[i], i);
  // The last packet cannot leave before kPackets - 1 pauses have passed.
  double spanMs = std::chrono::duration<double, std::milli>(last - start).count();
  EXPECT_GE(spanMs, kPackets - 1.0);
}

}  // namespace
