// link_bench: figures for the link library's packet, FIFO and stream paths.
//
//   link_bench [--quick]
//
// Prints one line per measurement: what was measured and the figure. The
// first-match wait line shows how much CPU a caller burns while it waits for
// a reply with unrelated packets queued (it should be close to zero).
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/aPacket.h"
#include "link/aPacketFifo.h"
#include "link/aStream.h"

namespace {

double sSeconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double sThreadCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::atomic<long> gMatchCalls{0};

bool sNeverMatches(const aPacket*, void*) {
  gMatchCalls++;
  return false;
}

void sBenchAssembler(long packets) {
  const uint8_t wire[] = {0x04, 0x06, 1, 2, 3, 4, 5, 6};
  aPacketRef p = aPacket_Create();
  auto start = std::chrono::steady_clock::now();
  long complete = 0;
  for (long i = 0; i < packets; i++) {
    for (uint8_t b : wire) aPacket_AddByte(p, b);
    if (aPacket_IsComplete(p)) complete++;
    aPacket_Reset(p);
  }
  double s = sSeconds(start);
  aPacket_Destroy(&p);
  printf("assembler: %ld packets of 8 bytes in %.3f s, %.1f Mbyte/s\n", complete, s,
         static_cast<double>(complete) * 8 / s / 1e6);
}

void sBenchFifoSingleThread(long packets) {
  aPacketFifoId id = aPacketFifo_Create();
  const uint8_t data[4] = {1, 2, 3, 4};
  aPacketRef p = aPacket_CreateWithData(0x02, 4, data);
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < packets; i++) {
    aPacketFifo_Put(id, p);
    aPacketRef got = aPacketFifo_Get(id);
    aPacket_Destroy(&got);
  }
  double s = sSeconds(start);
  aPacket_Destroy(&p);
  aPacketFifo_Destroy(&id);
  printf("fifo put+get, one thread: %ld packets in %.3f s, %.2f us per packet\n", packets, s,
         s * 1e6 / static_cast<double>(packets));
}

void sBenchFifoTwoThreads(long packets) {
  aPacketFifoId id = aPacketFifo_Create();
  auto start = std::chrono::steady_clock::now();
  std::thread producer([id, packets] {
    const uint8_t data[4] = {1, 2, 3, 4};
    aPacketRef p = aPacket_CreateWithData(0x02, 4, data);
    for (long i = 0; i < packets; i++) aPacketFifo_Put(id, p);
    aPacket_Destroy(&p);
  });
  long received = 0;
  while (received < packets) {
    aPacketRef got = aPacketFifo_Await(id, 1000);
    if (got == nullptr) break;
    aPacket_Destroy(&got);
    received++;
  }
  producer.join();
  double s = sSeconds(start);
  aPacketFifoId copy = id;
  aPacketFifo_Destroy(&copy);
  printf("fifo producer -> awaiting consumer: %ld packets in %.3f s, %.2f us per packet\n",
         received, s, s * 1e6 / static_cast<double>(received));
}

void sBenchAwaitFirstIdle(unsigned long waitMs) {
  aPacketFifoId id = aPacketFifo_Create();
  const uint8_t data[1] = {0};
  aPacketRef p = aPacket_CreateWithData(0x02, 1, data);
  for (int i = 0; i < 8; i++) aPacketFifo_Put(id, p);
  aPacket_Destroy(&p);
  gMatchCalls = 0;
  double cpuStart = sThreadCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  aPacketRef got = aPacketFifo_AwaitFirst(id, sNeverMatches, nullptr, waitMs);
  double wall = sSeconds(start);
  double cpu = sThreadCpuSeconds() - cpuStart;
  aPacket_Destroy(&got);
  aPacketFifo_Destroy(&id);
  printf(
      "first-match wait over 8 unrelated packets: %.3f s wall, %.4f s CPU (%.2f%%), "
      "%ld match calls\n",
      wall, cpu, 100.0 * cpu / wall, gMatchCalls.load());
}

struct sMemory {
  const uint8_t* bytes;
  size_t size;
  size_t at;
};

aErr sMemoryGet(uint8_t* byte, void* ref) {
  sMemory* m = static_cast<sMemory*>(ref);
  if (m->at == m->size) return aErrEOF;
  *byte = m->bytes[m->at++];
  return aErrNone;
}

void sBenchStreamRead(size_t bytes) {
  static uint8_t source[1 << 16];
  memset(source, 0x5A, sizeof(source));
  size_t total = 0;
  auto start = std::chrono::steady_clock::now();
  while (total < bytes) {
    sMemory m = {source, sizeof(source), 0};
    aStreamRef s = aStream_Create(sMemoryGet, nullptr, nullptr, nullptr, &m);
    uint8_t b;
    while (aStream_Read(s, &b, 1) == aErrNone) total++;
    aStream_Destroy(&s);
  }
  double sec = sSeconds(start);
  printf("stream one-byte reads: %zu bytes in %.3f s, %.1f Mbyte/s\n", total, sec,
         static_cast<double>(total) / sec / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  const long scale = quick ? 20000 : 1000000;
  sBenchAssembler(scale);
  sBenchFifoSingleThread(scale);
  sBenchFifoTwoThreads(scale);
  sBenchAwaitFirstIdle(quick ? 200 : 1000);
  sBenchStreamRead(static_cast<size_t>(scale) * 8);
  return 0;
}
