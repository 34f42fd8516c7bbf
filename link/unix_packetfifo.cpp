// Packet FIFOs: a process-wide registry of identifier -> queue, each queue
// with its own mutex and condition variable.
//
// Lock order: the registry lock (gpFifo) is never held while a FIFO's own
// mutex is taken. A FIFO record carries a count of the calls using it, kept
// under gpFifo; destroy unlinks the record, cancels and wakes it, and the
// last user frees it, so a thread woken by destroy never touches freed memory.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "link/aPacketFifo.h"

namespace {

struct sNode {
  aPacket packet;
  sNode* next;
};

struct packetFifo {
  sNode* head = nullptr;
  sNode* tail = nullptr;
  int64_t count = 0;  // -1 once cancelled by destroy
  std::condition_variable condition;
  std::mutex mutex;
  uint16_t tag = aVALIDFIFO_TAG;
  // Guarded by gpFifo.
  unsigned users = 0;
  bool unlinked = false;

  ~packetFifo() { sFreeNodes(); }

  bool cancelled() const { return tag != aVALIDFIFO_TAG || count < 0; }

  void sFreeNodes() {
    while (head != nullptr) {
      sNode* next = head->next;
      delete head;
      head = next;
    }
    tail = nullptr;
  }
};

struct sEntry {
  aPacketFifoId id;
  packetFifo* fifo;
  sEntry* next;
};

std::mutex gpFifo;
sEntry* gpHead = nullptr;
sEntry* gpTail = nullptr;
aPacketFifoId gpCount = 1;

// Longest wait honoured; keeps the deadline arithmetic from overflowing.
constexpr unsigned long kMaxWaitMs = 365ul * 24 * 3600 * 1000;

std::chrono::steady_clock::time_point sDeadline(unsigned long timeoutMs) {
  if (timeoutMs > kMaxWaitMs) timeoutMs = kMaxWaitMs;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Finds a live FIFO and registers the caller as a user; pair with sRelease.
packetFifo* sAcquire(aPacketFifoId id) {
  if (id == 0) return nullptr;
  std::lock_guard<std::mutex> registry(gpFifo);
  for (sEntry* e = gpHead; e != nullptr; e = e->next) {
    if (e->id == id) {
      e->fifo->users++;
      return e->fifo;
    }
  }
  return nullptr;
}

void sRelease(packetFifo* fifo) {
  bool last;
  {
    std::lock_guard<std::mutex> registry(gpFifo);
    fifo->users--;
    last = fifo->users == 0 && fifo->unlinked;
  }
  if (last) delete fifo;
}

// Holds one use of a FIFO for the length of a call.
class sFifoUse {
 public:
  explicit sFifoUse(aPacketFifoId id) : fifo_(sAcquire(id)) {}
  ~sFifoUse() {
    if (fifo_ != nullptr) sRelease(fifo_);
  }
  sFifoUse(const sFifoUse&) = delete;
  sFifoUse& operator=(const sFifoUse&) = delete;
  packetFifo* get() const { return fifo_; }

 private:
  packetFifo* fifo_;
};

// Unlinks the head node; the FIFO's mutex is held and the FIFO is non-empty.
sNode* sUnlinkHead(packetFifo* fifo) {
  sNode* node = fifo->head;
  fifo->head = node->next;
  if (fifo->head == nullptr) fifo->tail = nullptr;
  fifo->count--;
  return node;
}

// Unlinks the first node that matches; the FIFO's mutex is held.
sNode* sUnlinkFirst(packetFifo* fifo, aPacketMatchProc match, void* ref) {
  sNode* previous = nullptr;
  for (sNode* node = fifo->head; node != nullptr; previous = node, node = node->next) {
    if (!match(&node->packet, ref)) continue;
    if (previous == nullptr) {
      fifo->head = node->next;
    } else {
      previous->next = node->next;
    }
    if (fifo->tail == node) fifo->tail = previous;
    fifo->count--;
    return node;
  }
  return nullptr;
}

// Moves the node's packet into `result` (or frees `result` when there is no
// node) and frees the node.
aPacketRef sHandOut(sNode* node, aPacketRef result) {
  if (node == nullptr) {
    aPacket_Destroy(&result);
    return nullptr;
  }
  *result = node->packet;
  delete node;
  return result;
}

}  // namespace

aPacketFifoId aPacketFifo_Create(void) {
  packetFifo* fifo = new (std::nothrow) packetFifo;
  if (fifo == nullptr) return 0;
  sEntry* entry = new (std::nothrow) sEntry;
  if (entry == nullptr) {
    delete fifo;
    return 0;
  }
  std::lock_guard<std::mutex> registry(gpFifo);
  entry->id = gpCount++;
  entry->fifo = fifo;
  entry->next = nullptr;
  if (gpTail == nullptr) {
    gpHead = entry;
  } else {
    gpTail->next = entry;
  }
  gpTail = entry;
  return entry->id;
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (id == nullptr) return aErrNotFound;
  packetFifo* fifo = nullptr;
  {
    std::lock_guard<std::mutex> registry(gpFifo);
    sEntry* previous = nullptr;
    sEntry* entry = gpHead;
    while (entry != nullptr && entry->id != *id) {
      previous = entry;
      entry = entry->next;
    }
    if (entry == nullptr) return aErrNotFound;
    if (previous == nullptr) {
      gpHead = entry->next;
    } else {
      previous->next = entry->next;
    }
    if (gpTail == entry) gpTail = previous;
    fifo = entry->fifo;
    fifo->unlinked = true;
    fifo->users++;  // this call's own use, dropped by sRelease below
    delete entry;
  }
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    fifo->sFreeNodes();
    fifo->tag = 0;
    fifo->count = -1;
    fifo->condition.notify_all();
  }
  sRelease(fifo);
  *id = 0;
  return aErrNone;
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return fifo->count > 0 ? static_cast<size_t>(fifo->count) : 0;
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr || !aVALIDPACKET(packet)) return aErrParam;
  sNode* node = new (std::nothrow) sNode;
  if (node == nullptr) return aErrResource;
  node->packet = *packet;
  node->next = nullptr;

  std::lock_guard<std::mutex> lock(fifo->mutex);
  if (fifo->cancelled()) {
    delete node;
    return aErrCancel;
  }
  if (fifo->tail == nullptr) {
    fifo->head = node;
  } else {
    fifo->tail->next = node;
  }
  fifo->tail = node;
  fifo->count++;
  // Every waiter re-checks: a first-match waiter may not want this packet
  // while another waiter does.
  fifo->condition.notify_all();
  return aErrNone;
}

aPacketRef aPacketFifo_Get(aPacketFifoId id) { return aPacketFifo_Await(id, 0); }

aPacketRef aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMs) {
  return aPacketFifo_AwaitWhile(id, timeoutMs, nullptr);
}

aPacketRef aPacketFifo_AwaitWhile(aPacketFifoId id, unsigned long timeoutMs,
                                  const std::atomic<bool>* keepWaiting) {
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr) return nullptr;
  aPacketRef result = aPacket_Create();
  if (result == nullptr) return nullptr;

  sNode* node = nullptr;
  {
    std::unique_lock<std::mutex> lock(fifo->mutex);
    if (timeoutMs > 0) {
      // The flag is read under the FIFO's mutex and aPacketFifo_Wake takes
      // that mutex after the flag was cleared, so no wake-up is lost.
      fifo->condition.wait_until(lock, sDeadline(timeoutMs), [fifo, keepWaiting] {
        return fifo->cancelled() || fifo->count > 0 || (keepWaiting && !keepWaiting->load());
      });
    }
    if (!fifo->cancelled() && fifo->head != nullptr) node = sUnlinkHead(fifo);
  }
  return sHandOut(node, result);
}

aErr aPacketFifo_Wake(aPacketFifoId id) {
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr) return aErrParam;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  fifo->condition.notify_all();
  return aErrNone;
}

aPacketRef aPacketFifo_GetFirst(aPacketFifoId id, aPacketMatchProc match, void* ref) {
  return aPacketFifo_AwaitFirst(id, match, ref, 0);
}

aPacketRef aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketMatchProc match, void* ref,
                                  unsigned long timeoutMs) {
  if (match == nullptr) return nullptr;
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr) return nullptr;
  aPacketRef result = aPacket_Create();
  if (result == nullptr) return nullptr;

  const auto deadline = sDeadline(timeoutMs);
  sNode* node = nullptr;
  {
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Search, then sleep until the next put (or destroy, or the deadline)
    // rather than searching the same non-matching packets again at once.
    while (!fifo->cancelled()) {
      node = sUnlinkFirst(fifo, match, ref);
      if (node != nullptr || std::chrono::steady_clock::now() >= deadline) break;
      fifo->condition.wait_until(lock, deadline);
    }
  }
  return sHandOut(node, result);
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketMatchProc match, void* ref) {
  if (match == nullptr) return 0;
  sFifoUse use(id);
  packetFifo* fifo = use.get();
  if (fifo == nullptr) return 0;
  size_t removed = 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  if (fifo->cancelled()) return 0;
  sNode* previous = nullptr;
  sNode* node = fifo->head;
  while (node != nullptr) {
    sNode* next = node->next;
    if (match(&node->packet, ref)) {
      if (previous == nullptr) {
        fifo->head = next;
      } else {
        previous->next = next;
      }
      if (fifo->tail == node) fifo->tail = previous;
      fifo->count--;
      delete node;
      removed++;
    } else {
      previous = node;
    }
    node = next;
  }
  return removed;
}
