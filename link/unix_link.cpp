// Link engine: the link table, the input and output threads, sync and
// heartbeat handling, and the per-link packet debug log.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "link/aLink.h"
#include "link/aMutex.h"
#include "link/aStreamUSB.h"
#include "link/aStreamsocket.h"
#include "link/aTime.h"

namespace {

const uint16_t aVALIDLINK = 0xCEED;
const uint32_t kCallerStreamIdentifier = 0xFFFFFFFF;
const int kResetAttempts = 20;
const unsigned long kResetDelayMs = 100;
const unsigned long kReadErrorPauseMs = 100;
const unsigned long kSyncPauseMs = 2;
const unsigned long kOutputPacePauseMs = 1;
const useconds_t kIdlePollMicroseconds = 5;
// Pause after a stream reported input that a read then did not find (a peer
// that closed its side keeps reporting input); also the longest wait of an
// input thread that has no wake-up descriptor to be stopped through.
const unsigned long kIdleWaitMs = 10;
const int16_t kMaxUseCount = INT16_MAX;

// Sync states.
enum {
  kSyncDone = 0,
  kSyncUnsent = 1,
  kSyncAwaitAddress = 2,
  kSyncAwaitZero = 3,
  kSyncAwaitSecondAddress = 4,
  kSyncAwaitFinalZero = 5,
};

const uint8_t kStartPacket[] = {aLINK_CONTROL_ADDRESS, 0x01, 0x01};
const uint8_t kStopPacket[] = {aLINK_CONTROL_ADDRESS, 0x01, 0x00};
const uint8_t kSyncRequest[aLINK_SYNC_REQUEST_SIZE] = {
    aLINK_SYNC_ADDRESS, 0, aLINK_SYNC_ADDRESS, 0, aLINK_SYNC_ADDRESS, 0,
    aLINK_SYNC_ADDRESS, 0, aLINK_SYNC_ADDRESS, 0, aLINK_SYNC_ADDRESS, 0};

typedef void (*aLinkHeartbeatObserver)(uint32_t linkId);

struct aLink {
  uint16_t tag;
  uint32_t id;
  // The running flag and the status are written by the caller's thread and
  // by the input thread and read by all three.
  std::atomic<bool> running;
  std::atomic<uint32_t> status;
  aPacketFifoId inputFifo;
  aPacketRef receivePacket;
  aPacketFifoId outputFifo;
  // Readable once the link is asked to stop (never drained): the input
  // thread waits on it together with the stream. -1 when none could be made.
  int wakeFd;
  pthread_t inputThread;
  pthread_t outputThread;
  bool hasInputThread;
  bool hasOutputThread;
  aStreamRef stream;
  std::atomic<uint32_t> heartbeatPhase;
  aLinkHeartbeatObserver heartbeatObserver;  // always absent
  uint32_t syncState;
  uint8_t syncAddress;
  // Published after its mutex exists; the threads record whenever it is set.
  std::atomic<aPacketLog*> packetLog;
  uint32_t logSize;
  aMutexRef logMutex;
};

struct _linkEntry {
  uint32_t id;
  uint32_t identifier;
  uint32_t port;
  linkType type;
  int16_t useCount;
  aLink* link;
  _linkEntry* next;
};

struct sLinkTable {
  _linkEntry* head;
  uint32_t nextId;
  pthread_mutex_t mutex;
};

sLinkTable _links = {nullptr, 1, PTHREAD_MUTEX_INITIALIZER};

class sTableLock {
 public:
  sTableLock() { pthread_mutex_lock(&_links.mutex); }
  ~sTableLock() { pthread_mutex_unlock(&_links.mutex); }
  sTableLock(const sTableLock&) = delete;
  sTableLock& operator=(const sTableLock&) = delete;
};

// --- Table (callers hold _links.mutex) -------------------------------------

_linkEntry* sLookupEntryByID(uint32_t id) {
  for (_linkEntry* entry = _links.head; entry; entry = entry->next) {
    if (entry->id == id) return entry;
  }
  return nullptr;
}

// A shareable link to the same module: same type, identifier and port.
_linkEntry* sLookupEntryByIdentifier(uint32_t identifier, uint32_t port, linkType type) {
  for (_linkEntry* entry = _links.head; entry; entry = entry->next) {
    if (entry->identifier == identifier && entry->port == port && entry->type == type) return entry;
  }
  return nullptr;
}

void sExtractEntry(_linkEntry* target) {
  for (_linkEntry** at = &_links.head; *at; at = &(*at)->next) {
    if (*at == target) {
      *at = target->next;
      target->next = nullptr;
      return;
    }
  }
}

aLink* sGetLink(uint32_t id) {
  _linkEntry* entry = sLookupEntryByID(id);
  return entry ? entry->link : nullptr;
}

// Adds `delta` to the entry's use count; false when the count would leave
// its range.
bool sChangeUseCount(_linkEntry* entry, int delta) {
  int count = entry->useCount + delta;
  if (count > kMaxUseCount) return false;
  entry->useCount = (int16_t)count;
  return true;
}

uint32_t sCreate(uint32_t identifier, uint32_t port, linkType type) {
  _linkEntry* entry = new (std::nothrow) _linkEntry();
  aLink* link = new (std::nothrow) aLink();
  if (!entry || !link) {
    delete entry;
    delete link;
    return 0;
  }
  entry->id = _links.nextId++;
  entry->identifier = identifier;
  entry->port = port;
  entry->type = type;
  entry->useCount = 0;
  entry->link = link;
  entry->next = _links.head;
  _links.head = entry;
  link->id = entry->id;
  link->stream = nullptr;
  link->wakeFd = -1;
  link->packetLog.store(nullptr);
  return entry->id;
}

// --- Packet log ---------------------------------------------------------

void sRecord(aLink* link, uint8_t direction, const aPacket* packet) {
  aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
  if (!log) return;
  aMutex_Lock(link->logMutex);
  aPacketLog_Put(log, direction, (unsigned int)aPacket_WireSize(packet), aPacket_Wire(packet));
  aMutex_Unlock(link->logMutex);
}

void sDestroyPacketLog(aLink* link) {
  aPacketLog* log = link->packetLog.exchange(nullptr);
  aPacketLog_Destroy(&log);
  if (link->logMutex) aMutex_Destroy(&link->logMutex);
  link->logSize = 0;
}

// --- Output ---------------------------------------------------------------

aErr sQueueBytes(aLink* link, const uint8_t* wire) {
  aPacketRef packet = aPacket_CreateWithData(wire[0], wire[1], wire + 2);
  if (!packet) return aErrMemory;
  aErr result = aPacketFifo_Put(link->outputFifo, packet);
  aPacket_Destroy(&packet);
  return result;
}

// The running link never looks at write results: a failing transport shows
// in the input thread's status.
aErr sWritePacket(aLink* link, const aPacket* packet) {
  return aStream_Write(link->stream, aPacket_Wire(packet), aPacket_WireSize(packet));
}

// Sleeps until kOutputPacePauseMs after `written`, which keeps consecutive
// writes at least that far apart. The deadline is absolute, so a request's
// round trip that ends within the pause costs nothing extra, and the output
// thread wakes once per packet: by the deadline the caller has usually
// queued the next request already.
void sPaceAfter(const struct timespec& written) {
  struct timespec due = written;
  due.tv_nsec += (long)kOutputPacePauseMs * 1000000L;
  while (due.tv_nsec >= 1000000000L) {
    due.tv_nsec -= 1000000000L;
    due.tv_sec += 1;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

void* sOutPipeProcess(void* argument) {
  aLink* link = (aLink*)argument;
  // The pace is 1 ms; the default timer slack (50 us) would add 5 % to it.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  while (link->running.load()) {
    // Sleeps until a packet is queued or aLink_Stop clears the running flag
    // (and wakes the FIFO); no periodic wake-ups.
    aPacketRef packet =
        aPacketFifo_AwaitWhile(link->outputFifo, aSTREAM_WAIT_FOREVER, &link->running);
    if (!packet) continue;
    sWritePacket(link, packet);
    struct timespec written;
    clock_gettime(CLOCK_MONOTONIC, &written);
    sPaceAfter(written);
    sRecord(link, aPACKETLOG_OUTBOUND, packet);
    aPacket_Destroy(&packet);
  }
  // Whatever is still queued (the stop packet at least) goes out unrecorded.
  // Once a write fails the rest is dropped: a transport that retries each
  // write for a while must not make stopping take that long per packet.
  aPacketRef packet;
  bool writing = true;
  while ((packet = aPacketFifo_Get(link->outputFifo)) != nullptr) {
    if (writing) writing = sWritePacket(link, packet) == aErrNone;
    aPacket_Destroy(&packet);
  }
  return nullptr;
}

// --- Input ----------------------------------------------------------------

void sStartSync(aLink* link) {
  aTime_MSSleep(kSyncPauseMs);
  link->status = aLINK_STATUS_SYNCING;
  link->syncState = kSyncUnsent;
  aPacket_Reset(link->receivePacket);
  if (aStream_Write(link->stream, kSyncRequest, sizeof(kSyncRequest)) == aErrNone) {
    link->syncState = kSyncAwaitAddress;
  }
}

void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState) {
    case kSyncAwaitAddress:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncAwaitZero;
        return;
      }
      break;
    case kSyncAwaitZero:
      if (byte == 0) {
        link->syncState = kSyncAwaitSecondAddress;
        return;
      }
      break;
    case kSyncAwaitSecondAddress:
      if (byte == link->syncAddress) {
        link->syncState = kSyncAwaitFinalZero;
        return;
      }
      break;
    case kSyncAwaitFinalZero:
      if (byte == 0) {
        link->syncState = kSyncDone;
        link->status = aLINK_STATUS_RUNNING;
        return;
      }
      break;
    default:
      break;
  }
  sStartSync(link);
}

// Answers a heartbeat; true when the packet was one (it is then consumed).
bool sHandleHBBackChannel(aLink* link, const aPacket* packet) {
  if (packet->length != 2 || packet->data[0] != 0x00) return false;
  uint32_t phase = link->heartbeatPhase.load();
  if (phase == 0 && packet->data[1] == 0x00) {
    uint8_t answer[] = {packet->address, 0x02, 0x00, 0x02};
    link->heartbeatPhase = 2;
    sQueueBytes(link, answer);
    link->heartbeatPhase = 1;
  } else if (phase == 1 && packet->data[1] == 0x01) {
    uint8_t answer[] = {packet->address, 0x02, 0x00, 0x03};
    link->heartbeatPhase = 3;
    sQueueBytes(link, answer);
    link->heartbeatPhase = 0;
  }
  if (link->heartbeatObserver) link->heartbeatObserver(link->id);
  return true;
}

aErr sHandlePacket(aLink* link) {
  aPacketRef packet = link->receivePacket;
  sRecord(link, aPACKETLOG_INBOUND, packet);
  aErr result = aErrNone;
  if (!sHandleHBBackChannel(link, packet)) {
    // A full queue loses its oldest packet: replies nobody took are the
    // stalest, and the newest is the one a client most likely waits for.
    if (aPacketFifo_GetLength(link->inputFifo) >= aLINK_MAX_INPUT_PACKETS) {
      aPacketRef oldest = aPacketFifo_Get(link->inputFifo);
      if (oldest) aPacket_Destroy(&oldest);
    }
    result = aPacketFifo_Put(link->inputFifo, packet);
  }
  aPacket_Reset(packet);
  return result;
}

// Sleeps for timeoutMs (aSTREAM_WAIT_FOREVER: without a limit) or until the
// link is asked to stop, whichever comes first.
void sPause(aLink* link, unsigned long timeoutMs) {
  if (link->wakeFd < 0) {
    aTime_MSSleep(timeoutMs == aSTREAM_WAIT_FOREVER ? kIdleWaitMs : timeoutMs);
    return;
  }
  pollfd wake = {link->wakeFd, POLLIN, 0};
  int timeout = timeoutMs == aSTREAM_WAIT_FOREVER ? -1 : (int)timeoutMs;
  while (poll(&wake, 1, timeout) < 0 && errno == EINTR && link->running.load()) {
  }
}

// Waits for input after an empty read: in the stream's own wait (its
// descriptor, or the transport's wait) together with the link's wake-up
// descriptor, with no time limit, so an idle link sleeps until bytes arrive
// or it is stopped; a stream that offers no wait is polled with a
// 5-microsecond pause. `readyButEmpty` tracks a stream that reports input
// while the read finds none (a peer that closed its side): then the thread
// pauses instead of waking at once again.
void sIdleWait(aLink* link, bool* readyButEmpty) {
  if (*readyButEmpty) {
    sPause(link, kIdleWaitMs);
    *readyButEmpty = false;
    return;
  }
  unsigned long limit = link->wakeFd >= 0 ? aSTREAM_WAIT_FOREVER : kIdleWaitMs;
  aErr waited = aStream_AwaitInput(link->stream, link->wakeFd, limit);
  if (waited == aErrNone) {
    *readyButEmpty = true;
  } else if (waited == aErrUnimplemented) {
    usleep(kIdlePollMicroseconds);  // no wait offered: poll
  } else if (waited != aErrTimeout && waited != aErrCancel) {
    sPause(link, kIdleWaitMs);  // the wait itself failed; do not spin on it
  }
}

// STARTING becomes RUNNING; any other status (an error the input thread
// already saw, a sync under way) stays.
void sStartingToRunning(aLink* link) {
  uint32_t starting = aLINK_STATUS_STARTING;
  link->status.compare_exchange_strong(starting, aLINK_STATUS_RUNNING);
}

void* sInPipeProcess(void* argument) {
  aLink* link = (aLink*)argument;
  link->heartbeatPhase = 0;
  sStartingToRunning(link);
  link->syncState = kSyncDone;
  bool readyButEmpty = false;
  while (link->running.load()) {
    uint8_t byte = 0;
    aErr result = aStream_Read(link->stream, &byte, 1);
    if (result == aErrNotReady) {
      sIdleWait(link, &readyButEmpty);
      continue;
    }
    readyButEmpty = false;
    if (result != aErrNone) {
      link->status = aLINK_STATUS_READ_ERROR;
      // Without a stream nothing can ever arrive: sleep until stopped.
      sPause(link, link->stream ? kReadErrorPauseMs : aSTREAM_WAIT_FOREVER);
      continue;
    }
    if (link->status == aLINK_STATUS_SYNCING) {
      sSyncByte(link, byte);
      continue;
    }
    if (aPacket_AddByte(link->receivePacket, byte) != aErrNone) {
      sStartSync(link);
    } else if (aPacket_IsComplete(link->receivePacket)) {
      if (sHandlePacket(link) != aErrNone) link->status = aLINK_STATUS_QUEUE_ERROR;
    }
  }
  return nullptr;
}

// --- Lifecycle ------------------------------------------------------------

// Caller holds _links.mutex. The link owns `stream` from here on, also when
// initialisation fails.
uint32_t aLink_Init(uint32_t id, aStreamRef stream) {
  aLink* link = sGetLink(id);
  if (!link) {
    if (stream) aStream_Destroy(&stream);
    return 0;
  }
  link->tag = aVALIDLINK;
  link->running = false;
  link->status = stream ? aLINK_STATUS_STOPPED : aLINK_STATUS_NO_STREAM;
  link->inputThread = pthread_self();
  link->outputThread = pthread_self();
  link->hasInputThread = false;
  link->hasOutputThread = false;
  link->stream = stream;
  link->inputFifo = aPacketFifo_Create();
  link->outputFifo = aPacketFifo_Create();
  link->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  link->heartbeatPhase = 0;
  link->heartbeatObserver = nullptr;
  link->syncState = kSyncDone;
  link->syncAddress = 0;
  link->receivePacket = aPacket_Create();
  link->packetLog.store(nullptr);
  link->logMutex = nullptr;
  link->logSize = 0;
  if (!link->inputFifo || !link->outputFifo || !link->receivePacket) return 0;
  return id;
}

// Caller holds _links.mutex.
aErr aLink_Start(uint32_t id) {
  aLink* link = sGetLink(id);
  if (!link || link->tag != aVALIDLINK) return aErrParam;
  if (link->running.load()) return aErrNone;
  aErr result = aErrNone;
  if (link->wakeFd >= 0) {
    uint64_t stale;  // a stop request left from an earlier run
    while (read(link->wakeFd, &stale, sizeof(stale)) < 0 && errno == EINTR) {
    }
  }
  link->running = true;
  link->status = aLINK_STATUS_STARTING;
  link->heartbeatPhase = 0;
  link->hasInputThread = pthread_create(&link->inputThread, nullptr, sInPipeProcess, link) == 0;
  if (!link->hasInputThread) {
    link->inputThread = pthread_self();
    result = aErrResource;
  }
  link->hasOutputThread = pthread_create(&link->outputThread, nullptr, sOutPipeProcess, link) == 0;
  if (!link->hasOutputThread) {
    link->outputThread = pthread_self();
    result = aErrResource;
  }
  if (result == aErrNone) {
    // Running once both threads exist, whichever gets here first, so that a
    // caller may await the first packet as soon as the link is started.
    sStartingToRunning(link);
    result = sQueueBytes(link, kStartPacket);
  }
  return result;
}

bool sIsOwnThread(const aLink* link) {
  pthread_t self = pthread_self();
  return (link->hasInputThread && pthread_equal(self, link->inputThread)) ||
         (link->hasOutputThread && pthread_equal(self, link->outputThread));
}

aErr aLink_Stop(aLink* link) {
  if (!link) return aErrParam;
  uint32_t status = link->status.load();
  bool active = status != aLINK_STATUS_STOPPING && status != aLINK_STATUS_STOPPED;
  if (active) link->status = aLINK_STATUS_STOPPING;
  if (sIsOwnThread(link)) return aErrNone;
  // A stop begun on one of the link's own threads left them running; they
  // are still joined here, so the link is never freed under them.
  if (!active && !link->hasInputThread && !link->hasOutputThread) return aErrNone;
  aErr result = aErrNone;
  if (active) result = sQueueBytes(link, kStopPacket);
  link->running = false;
  // Both threads may sleep without a time limit: wake them.
  aPacketFifo_Wake(link->outputFifo);
  if (link->wakeFd >= 0) {
    uint64_t one = 1;
    while (write(link->wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }
  if (link->hasInputThread && pthread_join(link->inputThread, nullptr) != 0) {
    result = aErrUnexpected;
  }
  if (link->hasOutputThread && pthread_join(link->outputThread, nullptr) != 0) {
    result = aErrUnexpected;
  }
  link->hasInputThread = false;
  link->hasOutputThread = false;
  link->inputThread = pthread_self();
  link->outputThread = pthread_self();
  aPacket_Reset(link->receivePacket);
  link->status = aLINK_STATUS_STOPPED;
  link->heartbeatPhase = 0;
  return result;
}

// Frees everything the link owns except the record itself. Both threads
// must have been joined.
aErr sReleaseLinkParts(aLink* link) {
  aPacketFifo_Destroy(&link->inputFifo);
  aErr result = aPacketFifo_Destroy(&link->outputFifo);
  if (link->receivePacket) aPacket_Destroy(&link->receivePacket);
  sDestroyPacketLog(link);
  if (link->stream) aStream_Destroy(&link->stream);
  if (link->wakeFd >= 0) close(link->wakeFd);
  link->wakeFd = -1;
  return result;
}

// How a new link gets its stream: a USB or TCP stream for the entry's
// module, or the caller's own stream.
struct sStreamSource {
  linkType type;
  uint32_t identifier;
  uint32_t port;
  aStreamRef callerStream;
};

// Opens the stream of `source`; aErr of the transport (null stream on failure).
aErr sOpenStream(const sStreamSource& source, aStreamRef* stream) {
  *stream = nullptr;
  if (source.type == LINK_USB) return aStream_CreateUSB(source.identifier, stream);
  if (source.type == LINK_TCPIP) {
    return aStream_CreateSocket(source.identifier, (uint16_t)source.port, stream);
  }
  *stream = source.callerStream;
  return aErrNone;
}

// Caller holds _links.mutex.
aErr aLink_ResetLink(_linkEntry* entry) {
  if (entry->type != LINK_USB && entry->type != LINK_TCPIP) return aErrParam;
  aLink* link = entry->link;
  aLink_Stop(link);
  sReleaseLinkParts(link);
  aStreamRef stream = nullptr;
  for (int attempt = 0; attempt < kResetAttempts && !stream; attempt++) {
    if (attempt > 0) aTime_MSSleep(kResetDelayMs);
    sOpenStream({entry->type, entry->identifier, entry->port, nullptr}, &stream);
  }
  // Without a new stream the link is still initialised (status 5, fresh
  // FIFOs), so that its threads never run over destroyed FIFOs.
  aLink_Init(entry->id, stream);
  return aLink_Start(entry->id);
}

// Shares an existing link to the same module, or creates, initialises and
// starts a new one, all under the table lock so that two callers opening the
// same module get one link. A USB link needs its stream; a TCP/IP link whose
// connection failed still starts (without a stream); a caller's stream is
// owned by the link from here on. 0 (and the link torn down) on failure;
// *openError (when not null) gets the stream's open result.
uint32_t sCreateLink(const sStreamSource& source, bool shareable, bool requireStream,
                     aErr* openError = nullptr) {
  if (openError) *openError = aErrNone;
  uint32_t id = 0;
  bool failed = false;
  {
    sTableLock lock;
    if (shareable) {
      _linkEntry* entry = sLookupEntryByIdentifier(source.identifier, source.port, source.type);
      if (entry) return sChangeUseCount(entry, 1) ? entry->id : 0;
    }
    id = sCreate(source.identifier, source.port, source.type);
    if (!id) {
      aStreamRef orphan = source.callerStream;
      if (orphan) aStream_Destroy(&orphan);
      return 0;
    }
    aStreamRef stream = nullptr;
    aErr opened = sOpenStream(source, &stream);
    if (openError) *openError = opened;
    if (aLink_Init(id, stream) == 0 || (requireStream && opened != aErrNone)) {
      failed = true;
    } else {
      sLookupEntryByID(id)->useCount = 1;
      failed = aLink_Start(id) != aErrNone;
    }
  }
  if (failed) aLink_Destroy(&id);
  return id;
}

struct sLinkFifos {
  aPacketFifoId input;
  aPacketFifoId output;
};

bool sLookupFifos(uint32_t id, sLinkFifos* fifos) {
  sTableLock lock;
  aLink* link = sGetLink(id);
  if (!link || link->tag != aVALIDLINK) return false;
  fifos->input = link->inputFifo;
  fifos->output = link->outputFifo;
  return true;
}

bool sIsRunning(uint32_t id) {
  sTableLock lock;
  aLink* link = sGetLink(id);
  return link && link->tag == aVALIDLINK && link->running.load() &&
         link->status.load() == aLINK_STATUS_RUNNING;
}

}  // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  return aLink_CreateUSBResult(serialNumber, nullptr);
}

uint32_t aLink_CreateUSBResult(uint32_t serialNumber, aErr* openError) {
  return sCreateLink({LINK_USB, serialNumber, 0, nullptr}, true, true, openError);
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint32_t port) {
  return sCreateLink({LINK_TCPIP, address, port, nullptr}, true, false);
}

uint32_t aLink_Create(aStreamRef stream) {
  return sCreateLink({LINK_INVALID, kCallerStreamIdentifier, 0, stream}, false, false);
}

aErr aLink_Destroy(uint32_t* id) {
  if (!id) return aErrParam;
  _linkEntry* entry = nullptr;
  {
    sTableLock lock;
    entry = sLookupEntryByID(*id);
    *id = 0;
    if (!entry) return aErrParam;
    sChangeUseCount(entry, -1);
    if (entry->useCount >= 1) return aErrNone;
    sExtractEntry(entry);
  }
  aLink* link = entry->link;
  aErr result = aErrUnexpected;
  if (link) {
    if (link->tag == aVALIDLINK) {
      aLink_Stop(link);
      result = sReleaseLinkParts(link);
    }
    link->tag = 0;
    delete link;
  }
  delete entry;
  return result;
}

aErr aLink_Reset(uint32_t id) {
  if (pthread_mutex_trylock(&_links.mutex) != 0) return aErrBusy;
  _linkEntry* entry = sLookupEntryByID(id);
  aErr result = aErrParam;
  if (entry && entry->link && entry->link->tag == aVALIDLINK) result = aLink_ResetLink(entry);
  pthread_mutex_unlock(&_links.mutex);
  return result;
}

uint32_t aLink_GetStatus(uint32_t id) {
  sTableLock lock;
  aLink* link = sGetLink(id);
  if (!link || link->tag != aVALIDLINK) return aLINK_STATUS_NO_STREAM;
  return link->status.load();
}

aPacketRef aLink_GetPacket(uint32_t id) {
  sLinkFifos fifos;
  return sLookupFifos(id, &fifos) ? aPacketFifo_Get(fifos.input) : nullptr;
}

aPacketRef aLink_AwaitPacket(uint32_t id, unsigned long timeoutMs) {
  sLinkFifos fifos;
  return sLookupFifos(id, &fifos) ? aPacketFifo_Await(fifos.input, timeoutMs) : nullptr;
}

aPacketRef aLink_GetFirst(uint32_t id, aPacketMatchProc match, void* ref) {
  sLinkFifos fifos;
  return sLookupFifos(id, &fifos) ? aPacketFifo_GetFirst(fifos.input, match, ref) : nullptr;
}

size_t aLink_DrainPackets(uint32_t id, aPacketMatchProc match, void* ref) {
  sLinkFifos fifos;
  return sLookupFifos(id, &fifos) ? aPacketFifo_DrainPackets(fifos.input, match, ref) : 0;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
  sLinkFifos fifos;
  if (!sLookupFifos(id, &fifos)) return aErrParam;
  return aPacketFifo_Put(fifos.output, packet);
}

aPacketRef aLink_AwaitFirst(uint32_t id, aPacketMatchProc match, void* ref,
                            unsigned long timeoutMs) {
  sLinkFifos fifos;
  if (!sLookupFifos(id, &fifos)) return nullptr;
  unsigned long deadline = aTime_GetMSTicks() + timeoutMs;
  aPacketRef packet = nullptr;
  while (!packet && sIsRunning(id)) {
    unsigned long now = aTime_GetMSTicks();
    if (now >= deadline) break;
    packet = aPacketFifo_AwaitFirst(fifos.input, match, ref, deadline - now);
  }
  return packet;
}

// --- Packet debug log ---------------------------------------------------------

namespace {

// Runs `op` on the link's packet log under the table lock and the log's
// mutex. aErrParam for an unknown link, aErrNotReady before the log exists.
template <typename Op>
aErr sWithPacketLog(uint32_t linkId, Op op) {
  sTableLock lock;
  aLink* link = sGetLink(linkId);
  if (!link || link->tag != aVALIDLINK) return aErrParam;
  aPacketLog* log = link->packetLog.load();
  if (!log) return aErrNotReady;
  aMutex_Lock(link->logMutex);
  aErr result = op(log);
  aMutex_Unlock(link->logMutex);
  return result;
}

}  // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, long size) {
  sTableLock lock;
  aLink* link = sGetLink(linkId);
  if (!link || link->tag != aVALIDLINK) return aErrParam;
  if (size > (long)aPACKETLOG_MAX_SIZE) return aErrParam;
  if (link->packetLog.load()) return aErrBusy;
  link->logSize = size < 0 ? 0 : (uint32_t)size;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkId) {
  sTableLock lock;
  aLink* link = sGetLink(linkId);
  if (!link || link->tag != aVALIDLINK) return aErrParam;
  if (link->logSize == 0) link->logSize = aPACKETLOG_DEFAULT_SIZE;
  aPacketLog* log = link->packetLog.load();
  if (!log) {
    if (!link->logMutex) {
      char name[64];
      snprintf(name, sizeof(name), "LOG_SEMA_%p", (void*)link);
      link->logMutex = aMutex_Create(name);
    }
    if (!link->logMutex) return aErrResource;
    log = aPacketLog_Create(link->logSize);
    if (!log) return aErrResource;
    link->packetLog.store(log, std::memory_order_release);
  }
  aMutex_Lock(link->logMutex);
  log->enabled = true;
  aMutex_Unlock(link->logMutex);
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t linkId) {
  return sWithPacketLog(linkId, [](aPacketLog* log) {
    log->enabled = false;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, unsigned int* length,
                            uint8_t* buffer) {
  return sWithPacketLog(
      linkId, [&](aPacketLog* log) { return aPacketLog_Get(log, direction, length, buffer); });
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, unsigned int length,
                             const uint8_t* bytes) {
  return sWithPacketLog(
      linkId, [&](aPacketLog* log) { return aPacketLog_Put(log, direction, length, bytes); });
}
