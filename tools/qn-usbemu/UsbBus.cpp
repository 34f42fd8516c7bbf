// The emulated bus: umockdev testbed, usbfs / kernel-node / hidraw handlers
// and the pump thread that keeps the simulated modules' time.
#include "tools/qn-usbemu/UsbBus.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "tools/simline/Clock.h"
#include "tools/simline/SimLine.h"

namespace usbemu {

namespace {

// A doorbell FIFO holds exactly this much while nothing is reapable, so that
// it never polls writable; emptied, it polls writable.
const int kDoorbellSize = 4096;
// The ROM's host has been quiet this long: tell the responder once.
const uint64_t kHidIdleMs = 500;
// After its jump the ROM's HID device leaves the bus once the host has read
// the jump's answer, or after this long when it does not read it.
const uint64_t kHidLeaveMs = 200;
const uint32_t kUsbCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

volatile sig_atomic_t gForwardPid = 0;

void ForwardSignal(int signal) {
  if (gForwardPid > 0) kill(pid_t(gForwardPid), signal);
}

// Turns a node of the testbed into a FIFO the bus holds open read/write.
int MakeFifo(const std::string& path, std::string* error) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0666) != 0) {
    *error = "mkfifo " + path + ": " + strerror(errno);
    return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) *error = "open " + path + ": " + strerror(errno);
  return fd;
}

void Drain(int fd) {
  uint8_t buffer[4096];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

// A new reference to the `length` bytes the pointer at `offset` of `data`
// points to; null for a null pointer or no bytes.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
  if (!data || length == 0) return nullptr;
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error) g_error_free(error);
  return resolved;
}

}  // namespace

struct Urb {
  UMockdevIoctlData* urbd = nullptr;  // the client's struct usbdevfs_urb (owned reference)
  UMockdevIoctlData* bufd = nullptr;  // its buffer (owned reference, may be null)
  usbdevfs_urb* view() { return reinterpret_cast<usbdevfs_urb*>(urbd->data); }
  ~Urb() {
    if (bufd) g_object_unref(bufd);
    if (urbd) g_object_unref(urbd);
  }
};

struct ClientState {
  std::deque<std::unique_ptr<Urb>> parkedIn;  // bulk IN transfers waiting for data
  std::deque<std::unique_ptr<Urb>> reapable;  // completed, in completion order
  bool unplugged = false;                     // its module dropped the link
};

struct UsbDevice {
  BusImpl* bus = nullptr;
  UsbModule module;
  int devnum = 0;
  std::string node;
  int doorbell = -1;
  bool rung = false;
  UMockdevIoctlBase* handler = nullptr;
  std::map<UMockdevIoctlClient*, ClientState> clients;
  UMockdevIoctlClient* owner = nullptr;  // the client that claimed the interface
  std::unique_ptr<modsim::Link> link;
  std::deque<uint8_t> toHost;
  uint64_t outCount = 0;  // bulk OUT / IN transfers submitted, for the stall keys
  uint64_t inCount = 0;
  bool outHalted = false;
  bool inHalted = false;
  bool attached = false;  // its handler is attached to the node
};

struct KernelNode {
  BusImpl* bus = nullptr;
  uint32_t serial = 0;
  std::string node;
  int fifo = -1;
  UMockdevIoctlBase* handler = nullptr;
  UMockdevIoctlClient* owner = nullptr;
  std::unique_ptr<modsim::Link> link;
  std::vector<uint8_t> toHost;  // what the FIFO did not take yet
};

struct HidDevice {
  BusImpl* bus = nullptr;
  std::unique_ptr<HidResponder> responder;
  int fifo = -1;
  UMockdevIoctlBase* handler = nullptr;
  std::deque<std::vector<uint8_t>> toHost;
  UMockdevIoctlClient* owner = nullptr;  // the client that wrote last
  uint64_t lastWriteMs = 0;
  bool idleSent = true;
  int port = 0;
  bool jumped = false;     // the ROM started the loader
  bool unplugged = false;  // gone from the bus: the open node answers ENODEV
};

struct BusImpl {
  modsim::Simulator sim;
  std::vector<std::unique_ptr<UsbDevice>> devices;
  std::vector<std::unique_ptr<KernelNode>> nodes;
  std::unique_ptr<HidDevice> hid;
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  std::string tracePath;
  FILE* trace = nullptr;
  bool doorbell = true;
  BusStats stats;

  // The module the i.MX device becomes after its ROM's jump, until it is
  // plugged in; its port, and when the jump was.
  std::unique_ptr<UsbDevice> becomes;
  unsigned becomesDelayMs = 0;
  int becomesPort = 0;
  bool jumped = false;
  uint64_t jumpMs = 0;

  // The ROM on a pseudo-terminal, served by serialThread.
  bool serial = false;
  ImxSerial serialSpec;
  std::unique_ptr<qnsim::SimLine> serialLine;
  std::thread serialThread;
  std::atomic<bool> serialRunning{false};
  std::string serialSummary;

  std::recursive_mutex mutex;  // handlers may re-enter through client finalisation
  std::condition_variable_any wake;
  std::thread pump;
  bool running = false;

  void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void ServiceUsb(UsbDevice* dev, uint64_t now);
  void ServiceNode(KernelNode* node, uint64_t now);
  void ServiceHid(uint64_t now);
  void Jumped(uint32_t address, uint64_t now);
  void ServiceSwap(std::unique_lock<std::recursive_mutex>& lock, uint64_t now);
  void UnplugHid(std::unique_lock<std::recursive_mutex>& lock);
  void PlugBecomes(std::unique_lock<std::recursive_mutex>& lock);
  bool SetUpUsbNode(UsbDevice* dev, std::string* error);
  void SerialLoop();
  void Pump();
  void UpdateDoorbell(UsbDevice* dev);
  void DropLink(UsbDevice* dev);
  void Watch(UMockdevIoctlClient* client);
  void ClientGone(UMockdevIoctlClient* client);
  std::string Devnode(const std::string& path) const { return root + path; }
};

void BusImpl::Trace(const char* format, ...) {
  if (!trace) return;
  va_list args;
  va_start(args, format);
  vfprintf(trace, format, args);
  va_end(args);
  fputc('\n', trace);
  fflush(trace);
}

namespace {

// --- client lifetime --------------------------------------------------------

struct WatchRef {
  BusImpl* bus;
};

void OnClientFinalized(gpointer data, GObject* object) {
  static_cast<WatchRef*>(data)->bus->ClientGone(reinterpret_cast<UMockdevIoctlClient*>(object));
  delete static_cast<WatchRef*>(data);
}

bool OwnerStillThere(UMockdevIoctlClient* owner) {
  return owner && umockdev_ioctl_client_get_connected(owner);
}

}  // namespace

void BusImpl::Watch(UMockdevIoctlClient* client) {
  g_object_weak_ref(G_OBJECT(client), OnClientFinalized, new WatchRef{this});
}

void BusImpl::ClientGone(UMockdevIoctlClient* client) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  for (auto& dev : devices) {
    if (dev->owner == client) DropLink(dev.get());
    dev->clients.erase(client);
    UpdateDoorbell(dev.get());
  }
  if (hid && hid->owner == client) {
    hid->owner = nullptr;
    hid->toHost.clear();
    Drain(hid->fifo);
  }
  for (auto& node : nodes) {
    if (node->owner != client) continue;
    Trace("%08X node closed", node->serial);
    node->owner = nullptr;
    node->link.reset();
    node->toHost.clear();
    Drain(node->fifo);
  }
}

// --- usbfs ------------------------------------------------------------------

void BusImpl::UpdateDoorbell(UsbDevice* dev) {
  if (!doorbell || dev->doorbell < 0) return;
  bool reapable = false;
  for (auto& entry : dev->clients) reapable = reapable || !entry.second.reapable.empty();
  uint8_t bytes[kDoorbellSize];
  if (reapable && !dev->rung) {
    dev->rung = read(dev->doorbell, bytes, sizeof(bytes)) > 0;
  } else if (!reapable && dev->rung) {
    memset(bytes, 0, sizeof(bytes));
    dev->rung = write(dev->doorbell, bytes, sizeof(bytes)) != kDoorbellSize;
  }
}

void BusImpl::DropLink(UsbDevice* dev) {
  if (dev->link) Trace("%08X link closed", dev->module.config.serial);
  dev->link.reset();
  dev->owner = nullptr;
  dev->toHost.clear();
}

void BusImpl::ServiceUsb(UsbDevice* dev, uint64_t now) {
  if (!dev->link) return;
  std::vector<uint8_t> bytes = dev->link->TakeOutput(now);
  dev->toHost.insert(dev->toHost.end(), bytes.begin(), bytes.end());
  auto found = dev->clients.find(dev->owner);
  if (found == dev->clients.end()) return;
  ClientState& state = found->second;
  while (!state.parkedIn.empty() && !dev->toHost.empty()) {
    std::unique_ptr<Urb> urb = std::move(state.parkedIn.front());
    state.parkedIn.pop_front();
    usbdevfs_urb* view = urb->view();
    size_t n = dev->toHost.size();
    if (!urb->bufd || n > size_t(urb->bufd->data_len)) n = urb->bufd ? urb->bufd->data_len : 0;
    for (size_t i = 0; i < n; i++) urb->bufd->data[i] = dev->toHost[i];
    dev->toHost.erase(dev->toHost.begin(), dev->toHost.begin() + n);
    view->actual_length = int(n);
    view->status = 0;
    stats.bulkIn++;
    Trace("%08X IN %zu", dev->module.config.serial, n);
    state.reapable.push_back(std::move(urb));
  }
  if (dev->link->Closed() && dev->toHost.empty()) {
    // The module went away (a restart): the host sees an unplug.
    Trace("%08X unplugged", dev->module.config.serial);
    state.unplugged = true;
    for (auto& urb : state.parkedIn) {
      urb->view()->status = -ENODEV;
      urb->view()->actual_length = 0;
      state.reapable.push_back(std::move(urb));
    }
    state.parkedIn.clear();
    DropLink(dev);
  }
  UpdateDoorbell(dev);
}

namespace {

void SubmitUrb(UsbDevice* dev, ClientState& state, UMockdevIoctlClient* client,
               UMockdevIoctlData* arg) {
  BusImpl* bus = dev->bus;
  std::unique_ptr<Urb> urb(new Urb());
  urb->urbd = Resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!urb->urbd) {
    Complete(client, -1, EFAULT);
    return;
  }
  usbdevfs_urb* view = urb->view();
  if (view->buffer_length > 0) {
    urb->bufd = Resolve(urb->urbd, offsetof(usbdevfs_urb, buffer), size_t(view->buffer_length));
    if (!urb->bufd) {
      Complete(client, -1, EFAULT);
      return;
    }
  }
  const uint32_t serial = dev->module.config.serial;
  // A module that is restarting is off the bus, as a rebooting device is
  // until it enumerates again: nothing reaches it, not even a descriptor
  // request, so discovery does not list it meanwhile.
  if (state.unplugged || !bus->sim.IsUp(serial, NowMs())) {
    Complete(client, -1, ENODEV);
    return;
  }
  view->status = 0;
  view->actual_length = 0;
  if (view->type == USBDEVFS_URB_TYPE_CONTROL) {
    std::vector<uint8_t> data;
    if (!urb->bufd || urb->bufd->data_len < 8 ||
        !ModuleControlRequest(dev->module, urb->bufd->data, &data)) {
      view->status = -EPIPE;
    } else {
      if (data.size() > size_t(urb->bufd->data_len - 8)) data.resize(urb->bufd->data_len - 8);
      memcpy(urb->bufd->data + 8, data.data(), data.size());
      view->actual_length = int(data.size());
    }
    state.reapable.push_back(std::move(urb));
  } else if (view->endpoint == kBulkOutEndpoint &&
             (view->type == USBDEVFS_URB_TYPE_BULK || view->type == USBDEVFS_URB_TYPE_INTERRUPT)) {
    size_t length = urb->bufd ? size_t(urb->bufd->data_len) : 0;
    bus->stats.bulkOut++;
    if (dev->module.stallOut.count(++dev->outCount)) dev->outHalted = true;
    if (dev->outHalted) {
      bus->Trace("%08X OUT %zu stall", serial, length);
      view->status = -EPIPE;
    } else {
      bus->Trace("%08X OUT %zu", serial, length);
      if (dev->link && dev->owner == client && length > 0) {
        dev->link->Receive(urb->bufd->data, length, NowMs());
      }
      view->actual_length = int(length);
    }
    state.reapable.push_back(std::move(urb));
  } else if (view->endpoint == kBulkInEndpoint &&
             (view->type == USBDEVFS_URB_TYPE_BULK || view->type == USBDEVFS_URB_TYPE_INTERRUPT)) {
    if (dev->module.stallIn.count(++dev->inCount)) dev->inHalted = true;
    if (dev->inHalted) {
      bus->Trace("%08X IN stall", serial);
      view->status = -EPIPE;
      state.reapable.push_back(std::move(urb));
    } else {
      state.parkedIn.push_back(std::move(urb));
    }
  } else {
    Complete(client, -1, ENOENT);
    return;
  }
  Complete(client, 0, 0);
  bus->ServiceUsb(dev, NowMs());
  bus->wake.notify_all();
}

void ReapUrb(UsbDevice* dev, ClientState& state, UMockdevIoctlClient* client,
             UMockdevIoctlData* arg) {
  dev->bus->stats.reaps++;
  if (state.reapable.empty()) {
    dev->bus->stats.emptyReaps++;
    Complete(client, -1, state.unplugged ? ENODEV : EAGAIN);
    return;
  }
  UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*));
  if (!slot) {
    Complete(client, -1, EFAULT);
    return;
  }
  std::unique_ptr<Urb> urb = std::move(state.reapable.front());
  state.reapable.pop_front();
  umockdev_ioctl_data_set_ptr(slot, 0, urb->urbd);
  Complete(client, 0, 0);
  g_object_unref(slot);
}

void DiscardUrb(UsbDevice* dev, ClientState& state, UMockdevIoctlClient* client,
                UMockdevIoctlData* arg) {
  gulong address = arg && arg->data_len >= int(sizeof(gulong)) ? *(gulong*)arg->data : 0;
  for (auto it = state.parkedIn.begin(); it != state.parkedIn.end(); ++it) {
    if ((*it)->urbd->client_addr != address) continue;
    (*it)->view()->status = -ENOENT;
    (*it)->view()->actual_length = 0;
    state.reapable.push_back(std::move(*it));
    state.parkedIn.erase(it);
    dev->bus->stats.discards++;
    Complete(client, 0, 0);
    return;
  }
  // Already completed: it will be reaped, as the kernel says.
  Complete(client, -1, EINVAL);
}

void ClaimInterface(UsbDevice* dev, UMockdevIoctlClient* client) {
  BusImpl* bus = dev->bus;
  const uint32_t serial = dev->module.config.serial;
  if (dev->module.denied) {
    bus->Trace("%08X claim denied", serial);
    Complete(client, -1, EACCES);
    return;
  }
  if (dev->owner == client) {
    Complete(client, 0, 0);
    return;
  }
  if (dev->owner && OwnerStillThere(dev->owner)) {
    bus->Trace("%08X claim busy (claimed by another client)", serial);
    Complete(client, -1, EBUSY);
    return;
  }
  bus->DropLink(dev);
  modsim::Simulator::OpenResult result = modsim::Simulator::OpenResult::kOk;
  std::unique_ptr<modsim::Link> link = bus->sim.OpenLink(serial, NowMs(), &result);
  if (!link) {
    bool busy = result == modsim::Simulator::OpenResult::kBusy;
    bus->Trace("%08X claim %s", serial, busy ? "busy" : "refused (module down)");
    Complete(client, -1, busy ? EBUSY : ENODEV);
    return;
  }
  bus->Trace("%08X claim", serial);
  dev->owner = client;
  dev->link = std::move(link);
  dev->clients[client].unplugged = false;
  Complete(client, 0, 0);
  bus->wake.notify_all();
}

gboolean OnUsbIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  UsbDevice* dev = static_cast<UsbDevice*>(user);
  BusImpl* bus = dev->bus;
  std::lock_guard<std::recursive_mutex> lock(bus->mutex);
  bus->stats.ioctls++;
  if (dev->clients.find(client) == dev->clients.end()) {
    dev->clients[client];
    bus->Watch(client);
  }
  ClientState& state = dev->clients[client];
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  // After an unplug the descriptor is dead, as the kernel's is: only the
  // transfers already completed can still be reaped.
  if (state.unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
    Complete(client, -1, ENODEV);
    bus->UpdateDoorbell(dev);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(uint32_t));
      if (!caps) {
        Complete(client, -1, EFAULT);
        break;
      }
      memcpy(caps->data, &kUsbCapabilities, sizeof(kUsbCapabilities));
      Complete(client, 0, 0);
      g_object_unref(caps);
      break;
    }
    case USBDEVFS_SUBMITURB:
      SubmitUrb(dev, state, client, arg);
      break;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
      ReapUrb(dev, state, client, arg);
      break;
    case USBDEVFS_DISCARDURB:
      DiscardUrb(dev, state, client, arg);
      break;
    case USBDEVFS_CLAIMINTERFACE:
      ClaimInterface(dev, client);
      break;
    case USBDEVFS_RELEASEINTERFACE:
      if (dev->owner == client) {
        bus->Trace("%08X release", dev->module.config.serial);
        bus->DropLink(dev);
      }
      Complete(client, 0, 0);
      break;
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData* endpoint = Resolve(arg, 0, sizeof(unsigned int));
      unsigned int address = 0;
      if (endpoint) memcpy(&address, endpoint->data, sizeof(address));
      if (endpoint) g_object_unref(endpoint);
      if (address == kBulkOutEndpoint) dev->outHalted = false;
      if (address == kBulkInEndpoint) dev->inHalted = false;
      bus->Trace("%08X clear halt %02X", dev->module.config.serial, address);
      Complete(client, 0, 0);
      break;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
      Complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
      Complete(client, -1, ENODATA);
      break;
    case USBDEVFS_GET_SPEED:
      Complete(client, 3 /* USB_SPEED_HIGH */, 0);
      break;
    case USBDEVFS_CONNECTINFO: {
      UMockdevIoctlData* info = Resolve(arg, 0, sizeof(usbdevfs_connectinfo));
      if (!info) {
        Complete(client, -1, EFAULT);
        break;
      }
      usbdevfs_connectinfo connect = {unsigned(dev->devnum), 0};
      memcpy(info->data, &connect, sizeof(connect));
      Complete(client, 0, 0);
      g_object_unref(info);
      break;
    }
    default:
      Complete(client, -1, ENOTTY);
      break;
  }
  bus->UpdateDoorbell(dev);
  return TRUE;
}

// --- kernel-driver nodes ----------------------------------------------------

gboolean OnNodeWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  KernelNode* node = static_cast<KernelNode*>(user);
  BusImpl* bus = node->bus;
  std::lock_guard<std::recursive_mutex> lock(bus->mutex);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  size_t length = arg ? size_t(arg->data_len) : 0;
  bus->stats.nodeWrites++;
  if (node->owner != client) {
    if (OwnerStillThere(node->owner)) {
      Complete(client, -1, EBUSY);
      return TRUE;
    }
    node->link.reset();
    node->toHost.clear();
    Drain(node->fifo);
    node->owner = client;
    bus->Watch(client);
  }
  if (!node->link) {
    node->link = bus->sim.OpenLink(node->serial, NowMs());
    bus->Trace("%08X node link %s", node->serial, node->link ? "opened" : "refused");
  }
  bus->Trace("%08X node OUT %zu", node->serial, length);
  if (node->link && length > 0) node->link->Receive(arg->data, length, NowMs());
  Complete(client, long(length), 0);
  bus->ServiceNode(node, NowMs());
  bus->wake.notify_all();
  return TRUE;
}

// Reads are served by the FIFO itself, so that a blocking read waits in the
// kernel and never holds the preload's per-descriptor lock.
gboolean OnFifoRead(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer) { return FALSE; }

gboolean OnNodeIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  Complete(client, -1, ENOTTY);
  return TRUE;
}

// --- hidraw -----------------------------------------------------------------

gboolean OnHidWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  HidDevice* hid = static_cast<HidDevice*>(user);
  BusImpl* bus = hid->bus;
  std::lock_guard<std::recursive_mutex> lock(bus->mutex);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  size_t length = arg ? size_t(arg->data_len) : 0;
  if (hid->unplugged) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  if (hid->owner != client) {
    // Input reports nobody read are gone when their reader closed, as on
    // hidraw; a new client starts from an empty queue.
    hid->toHost.clear();
    Drain(hid->fifo);
    hid->owner = client;
    bus->Watch(client);
  }
  bus->stats.hidReports++;
  bus->Trace("imx OUT report %u, %zu bytes", length ? arg->data[0] : 0, length);
  if (length > 0) hid->responder->OutputReport(arg->data, length);
  for (auto& report : hid->responder->TakeInputReports()) hid->toHost.push_back(report);
  uint32_t address = 0;
  if (hid->responder->TakeJump(&address)) {
    hid->jumped = true;
    bus->Jumped(address, NowMs());
  }
  hid->lastWriteMs = NowMs();
  hid->idleSent = false;
  Complete(client, long(length), 0);
  bus->ServiceHid(NowMs());
  bus->wake.notify_all();
  return TRUE;
}

bool PutHidText(UMockdevIoctlData* arg, size_t length, const std::string& text,
                UMockdevIoctlClient* client) {
  UMockdevIoctlData* out = Resolve(arg, 0, length);
  if (!out) return false;
  size_t n = text.size() + 1 > length ? length : text.size() + 1;
  memcpy(out->data, text.c_str(), n);
  Complete(client, long(n), 0);
  g_object_unref(out);
  return true;
}

// Input reports come from the FIFO itself; once the device is unplugged the
// FIFO holds a byte so that poll wakes the reader, whose read then fails as
// on a vanished hidraw device.
gboolean OnHidRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  HidDevice* hid = static_cast<HidDevice*>(user);
  std::lock_guard<std::recursive_mutex> lock(hid->bus->mutex);
  if (!hid->unplugged) return FALSE;
  Complete(client, -1, ENODEV);
  return TRUE;
}

gboolean OnHidIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  HidDevice* hid = static_cast<HidDevice*>(user);
  std::lock_guard<std::recursive_mutex> lock(hid->bus->mutex);
  if (hid->unplugged) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const std::vector<uint8_t> descriptor = ImxReportDescriptor();
  bool done = false;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* out = Resolve(arg, 0, sizeof(int));
    if (out) {
      int size = int(descriptor.size());
      memcpy(out->data, &size, sizeof(size));
      Complete(client, 0, 0);
      g_object_unref(out);
      done = true;
    }
  } else if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* out = Resolve(arg, 0, sizeof(hidraw_report_descriptor));
    if (out) {
      hidraw_report_descriptor* d = reinterpret_cast<hidraw_report_descriptor*>(out->data);
      size_t n = descriptor.size() < d->size ? descriptor.size() : d->size;
      memcpy(d->value, descriptor.data(), n);
      Complete(client, 0, 0);
      g_object_unref(out);
      done = true;
    }
  } else if (request == HIDIOCGRAWINFO) {
    UMockdevIoctlData* out = Resolve(arg, 0, sizeof(hidraw_devinfo));
    if (out) {
      hidraw_devinfo info = {3 /* BUS_USB */, int16_t(kImxVendorId), int16_t(kImxProductId)};
      memcpy(out->data, &info, sizeof(info));
      Complete(client, 0, 0);
      g_object_unref(out);
      done = true;
    }
  } else if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == 0x04) {
    done = PutHidText(arg, _IOC_SIZE(request), "NXP i.MX RT serial downloader", client);
  } else if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == 0x05) {
    done = PutHidText(arg, _IOC_SIZE(request), "usb-0000:00:14.0-9/input0", client);
  } else if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == 0x08) {
    done = PutHidText(arg, _IOC_SIZE(request), "", client);
  } else {
    Complete(client, -1, ENOTTY);
    done = true;
  }
  if (!done) Complete(client, -1, EFAULT);
  return TRUE;
}

}  // namespace

void BusImpl::ServiceNode(KernelNode* node, uint64_t now) {
  if (node->link) {
    std::vector<uint8_t> bytes = node->link->TakeOutput(now);
    node->toHost.insert(node->toHost.end(), bytes.begin(), bytes.end());
    if (node->link->Closed() && node->toHost.empty()) {
      Trace("%08X node link closed by the module", node->serial);
      node->link.reset();
    }
  }
  while (!node->toHost.empty()) {
    ssize_t n = write(node->fifo, node->toHost.data(), node->toHost.size());
    if (n <= 0) break;
    node->toHost.erase(node->toHost.begin(), node->toHost.begin() + n);
  }
}

void BusImpl::ServiceHid(uint64_t now) {
  if (!hid || hid->unplugged) return;
  if (!hid->idleSent && now - hid->lastWriteMs >= kHidIdleMs) {
    hid->responder->Idle(unsigned(now - hid->lastWriteMs));
    hid->idleSent = true;
    for (auto& report : hid->responder->TakeInputReports()) hid->toHost.push_back(report);
  }
  // One report at a time, and only into an empty FIFO, so that every read
  // returns exactly one report as hidraw does.
  int queued = 0;
  if (hid->toHost.empty() || ioctl(hid->fifo, FIONREAD, &queued) != 0 || queued != 0) return;
  const std::vector<uint8_t>& report = hid->toHost.front();
  if (write(hid->fifo, report.data(), report.size()) == ssize_t(report.size())) {
    Trace("imx IN report %u, %zu bytes", report.empty() ? 0 : report[0], report.size());
    hid->toHost.pop_front();
  }
}

// --- the i.MX device after its ROM's jump --------------------------------------

void BusImpl::Jumped(uint32_t address, uint64_t now) {
  Trace("imx jump to 0x%08X", address);
  if (!becomes || jumped) return;
  jumped = true;
  jumpMs = now;
  wake.notify_all();
}

void BusImpl::ServiceSwap(std::unique_lock<std::recursive_mutex>& lock, uint64_t now) {
  if (!becomes || !jumped) return;
  if (hid && hid->jumped && !hid->unplugged) {
    // The ROM answers the jump with its HAB state; the host reads it before
    // the device goes (unless it does not read at all).
    int queued = 0;
    bool answerRead =
        hid->toHost.empty() && ioctl(hid->fifo, FIONREAD, &queued) == 0 && queued == 0;
    if (!answerRead && now - jumpMs < kHidLeaveMs) return;
    UnplugHid(lock);
    if (!running) return;
  }
  if (NowMs() < jumpMs + becomesDelayMs) return;
  PlugBecomes(lock);
}

void BusImpl::UnplugHid(std::unique_lock<std::recursive_mutex>& lock) {
  hid->unplugged = true;
  hid->toHost.clear();
  Drain(hid->fifo);
  const uint8_t wakeByte = 0;
  if (write(hid->fifo, &wakeByte, 1) != 1) Trace("imx cannot wake the HID reader");
  Trace("imx unplugged");
  // The testbed is changed without the lock: umockdev's worker thread may be
  // waiting for it in a handler meanwhile. No uevent is sent: umockdev
  // builds it with libudev in the sending process, which does not see the
  // testbed (the emulator runs without the preload). Programs find the
  // change at their next enumeration.
  const std::string syspath = "/sys" + UsbDevicePath(hid->port);
  lock.unlock();
  umockdev_testbed_remove_device(testbed, syspath.c_str());
  lock.lock();
}

bool BusImpl::SetUpUsbNode(UsbDevice* dev, std::string* error) {
  dev->doorbell = MakeFifo(Devnode(dev->node), error);
  if (dev->doorbell < 0) return false;
  fcntl(dev->doorbell, F_SETPIPE_SZ, kDoorbellSize);
  uint8_t fill[kDoorbellSize];
  memset(fill, 0, sizeof(fill));
  if (doorbell && write(dev->doorbell, fill, sizeof(fill)) != kDoorbellSize) {
    *error = "cannot fill the doorbell of " + dev->node;
    return false;
  }
  dev->handler = umockdev_ioctl_base_new();
  g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(OnUsbIoctl), dev);
  GError* e = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, dev->node.c_str(), dev->handler, &e)) {
    *error = "umockdev: cannot attach " + dev->node + ": " + (e ? e->message : "?");
    if (e) g_error_free(e);
    return false;
  }
  dev->attached = true;
  return true;
}

void BusImpl::PlugBecomes(std::unique_lock<std::recursive_mutex>& lock) {
  std::unique_ptr<UsbDevice> dev = std::move(becomes);
  const uint32_t serial = dev->module.config.serial;
  const std::string description = ModuleSysfs(dev->module, becomesPort, dev->devnum);
  // Nobody reaches the device before it is in `devices`: set it up unlocked.
  lock.unlock();
  std::string error;
  GError* gerror = nullptr;
  bool ok = umockdev_testbed_add_from_string(testbed, description.c_str(), &gerror);
  if (!ok) error = std::string("umockdev: ") + (gerror ? gerror->message : "cannot add the device");
  if (gerror) g_error_free(gerror);
  ok = ok && SetUpUsbNode(dev.get(), &error);
  lock.lock();
  if (ok) {
    Trace("%08X plugged", serial);
  } else {
    Trace("%08X cannot be plugged: %s", serial, error.c_str());
    fprintf(stderr, "qn-usbemu: module %08X cannot be plugged: %s\n", serial, error.c_str());
  }
  // Stop releases what was set up, whether or not it is usable.
  devices.push_back(std::move(dev));
}

void BusImpl::SerialLoop() {
  sdpsim::Device device(serialSpec.config);
  sdpsim::SerialFramer framer(device);
  int64_t lastRx = qnsim::NowNs();
  while (serialRunning) {
    uint8_t byte = 0;
    int r = serialLine->ReadByte(&byte, 20);
    if (r < 0) {
      std::lock_guard<std::recursive_mutex> lock(mutex);
      Trace("imx serial: the pseudo-terminal failed");
      return;
    }
    if (r == 0) {
      framer.Idle(unsigned((qnsim::NowNs() - lastRx) / 1000000));
    } else {
      lastRx = qnsim::NowNs();
      framer.Receive(&byte, 1);
    }
    std::string out = framer.TakeOutput();
    if (!out.empty()) serialLine->Write(out, true);
    std::vector<sdpsim::FileWrite> writes = device.TakeFileWrites();
    uint32_t address = 0;
    bool jump = device.TakeJump(&address);
    if (writes.empty() && !jump) continue;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (const sdpsim::FileWrite& w : writes)
      Trace("imx serial write 0x%08X %u bytes%s", w.address, w.count,
            w.stored ? "" : " (not stored)");
    serialSummary = ImxSummary("imx serial", device);
    if (jump) Jumped(address, NowMs());
  }
}

void BusImpl::Pump() {
  std::unique_lock<std::recursive_mutex> lock(mutex);
  while (running) {
    uint64_t now = NowMs();
    uint64_t next = now + 1000;
    for (auto& dev : devices) {
      ServiceUsb(dev.get(), now);
      if (dev->link) next = std::min(next, dev->link->NextEventMs());
    }
    for (auto& node : nodes) {
      ServiceNode(node.get(), now);
      if (node->link) next = std::min(next, node->link->NextEventMs());
      if (!node->toHost.empty()) next = std::min(next, now + 2);  // the FIFO was full
    }
    if (hid && !hid->unplugged) {
      ServiceHid(now);
      if (!hid->toHost.empty()) next = std::min(next, now + 1);  // waiting for the reader
      if (!hid->idleSent) next = std::min(next, hid->lastWriteMs + kHidIdleMs);
    }
    ServiceSwap(lock, now);
    if (!running) break;
    if (becomes && jumped) next = std::min(next, now + 2);  // the swap is due
    if (next <= now) next = now + 1;
    wake.wait_for(lock, std::chrono::milliseconds(next - now));
  }
}

UsbBus::UsbBus() : impl_(new BusImpl()) {}

UsbBus::~UsbBus() { Stop(); }

bool UsbBus::AddModule(const UsbModule& module, std::string* error) {
  if (impl_->becomes && impl_->becomes->module.config.serial == module.config.serial) {
    *error = "module serial already taken by --imx-becomes";
    return false;
  }
  for (auto& dev : impl_->devices) {
    if (dev->module.config.serial == module.config.serial) {
      char text[64];
      snprintf(text, sizeof(text), "duplicate module serial %08X", module.config.serial);
      *error = text;
      return false;
    }
  }
  if (!impl_->sim.AddModule(module.config, error)) return false;
  if (module.config.behind != 0) return true;  // reached through its router only
  std::unique_ptr<UsbDevice> dev(new UsbDevice());
  dev->bus = impl_.get();
  dev->module = module;
  dev->devnum = int(impl_->devices.size()) + 2;
  dev->node = ModuleDevNode(dev->devnum);
  impl_->devices.push_back(std::move(dev));
  if (module.kernelNode) {
    std::unique_ptr<KernelNode> node(new KernelNode());
    node->bus = impl_.get();
    node->serial = module.config.serial;
    node->node = KernelNodePath(module.config.serial);
    impl_->nodes.push_back(std::move(node));
  }
  return true;
}

void UsbBus::AddImxSerial(const ImxSerial& serial) {
  impl_->serial = true;
  impl_->serialSpec = serial;
  impl_->serialSummary = "imx serial: 0 bytes written, no jump";
}

bool UsbBus::SetImxBecomes(const UsbModule& module, unsigned delayMs, std::string* error) {
  for (auto& dev : impl_->devices) {
    if (dev->module.config.serial == module.config.serial) {
      char text[96];
      snprintf(text, sizeof(text), "module %08X is already on the bus", module.config.serial);
      *error = text;
      return false;
    }
  }
  if (impl_->becomes) {
    *error = "the i.MX device becomes one module only";
    return false;
  }
  if (!impl_->sim.AddModule(module.config, error)) return false;
  impl_->becomes.reset(new UsbDevice());
  impl_->becomes->bus = impl_.get();
  impl_->becomes->module = module;
  impl_->becomesDelayMs = delayMs;
  return true;
}

void UsbBus::AddImx(std::unique_ptr<HidResponder> responder) {
  impl_->hid.reset(new HidDevice());
  impl_->hid->bus = impl_.get();
  impl_->hid->responder = std::move(responder);
}

void UsbBus::SetTrace(const std::string& path) { impl_->tracePath = path; }

void UsbBus::SetDoorbell(bool on) { impl_->doorbell = on; }

bool UsbBus::Start(std::string* error) {
  BusImpl& b = *impl_;
  if (!b.tracePath.empty()) {
    b.trace = fopen(b.tracePath.c_str(), "ae");
    if (!b.trace) {
      *error = "cannot open trace file " + b.tracePath + ": " + strerror(errno);
      return false;
    }
  }
  std::string err;
  if (!b.sim.Validate(&err)) {
    *error = err;
    return false;
  }
  b.testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(b.testbed);
  b.root = root;
  g_free(root);

  std::string description;
  int port = 1;
  for (auto& dev : b.devices) description += ModuleSysfs(dev->module, port++, dev->devnum) + "\n";
  int devnum = int(b.devices.size()) + 2;
  if (b.hid) {
    b.hid->port = port;
    description += ImxSysfs(port++, devnum++) + "\n";
  }
  if (b.becomes) {
    // Not on the bus before the jump: only its place is reserved.
    b.becomesPort = port;
    b.becomes->devnum = devnum;
    b.becomes->node = ModuleDevNode(devnum);
  }
  GError* gerror = nullptr;
  if (!description.empty() &&
      !umockdev_testbed_add_from_string(b.testbed, description.c_str(), &gerror)) {
    *error = std::string("umockdev: ") + (gerror ? gerror->message : "cannot add devices");
    if (gerror) g_error_free(gerror);
    return false;
  }
  auto attach = [&](const std::string& node, UMockdevIoctlBase* handler) {
    GError* e = nullptr;
    if (umockdev_testbed_attach_ioctl(b.testbed, node.c_str(), handler, &e)) return true;
    *error = "umockdev: cannot attach " + node + ": " + (e ? e->message : "?");
    if (e) g_error_free(e);
    return false;
  };
  for (auto& dev : b.devices) {
    if (!b.SetUpUsbNode(dev.get(), error)) return false;
  }
  for (auto& node : b.nodes) {
    node->fifo = MakeFifo(b.Devnode(node->node), error);
    if (node->fifo < 0) return false;
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-write", G_CALLBACK(OnNodeWrite), node.get());
    g_signal_connect(node->handler, "handle-read", G_CALLBACK(OnFifoRead), node.get());
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnNodeIoctl), node.get());
    if (!attach(node->node, node->handler)) return false;
  }
  if (b.hid) {
    b.hid->fifo = MakeFifo(b.Devnode(kImxHidrawNode), error);
    if (b.hid->fifo < 0) return false;
    b.hid->handler = umockdev_ioctl_base_new();
    g_signal_connect(b.hid->handler, "handle-write", G_CALLBACK(OnHidWrite), b.hid.get());
    g_signal_connect(b.hid->handler, "handle-read", G_CALLBACK(OnHidRead), b.hid.get());
    g_signal_connect(b.hid->handler, "handle-ioctl", G_CALLBACK(OnHidIoctl), b.hid.get());
    if (!attach(kImxHidrawNode, b.hid->handler)) return false;
  }
  if (b.serial) {
    b.serialLine.reset(new qnsim::SimLine());
    std::string lineError;
    if (!b.serialLine->Open(b.serialSpec.link, &lineError)) {
      *error = "i.MX serial ROM: " + lineError;
      b.serialLine.reset();
      return false;
    }
    b.serialLine->SetBaud(b.serialSpec.baud);
    b.serialRunning = true;
    b.serialThread = std::thread([&b] { b.SerialLoop(); });
  }
  b.running = true;
  b.pump = std::thread([&b] { b.Pump(); });
  return true;
}

void UsbBus::Stop() {
  BusImpl& b = *impl_;
  {
    std::lock_guard<std::recursive_mutex> lock(b.mutex);
    b.running = false;
    b.wake.notify_all();
  }
  if (b.pump.joinable()) b.pump.join();
  b.serialRunning = false;
  if (b.serialThread.joinable()) b.serialThread.join();
  b.serialLine.reset();
  if (b.testbed) {
    for (auto& dev : b.devices)
      if (dev->attached) umockdev_testbed_detach_ioctl(b.testbed, dev->node.c_str(), nullptr);
    for (auto& node : b.nodes)
      umockdev_testbed_detach_ioctl(b.testbed, node->node.c_str(), nullptr);
    if (b.hid) umockdev_testbed_detach_ioctl(b.testbed, kImxHidrawNode, nullptr);
    g_object_unref(b.testbed);
    b.testbed = nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(b.mutex);
  for (auto& dev : b.devices) {
    dev->clients.clear();
    dev->link.reset();
    if (dev->handler) g_object_unref(dev->handler);
    dev->handler = nullptr;
    if (dev->doorbell >= 0) close(dev->doorbell);
    dev->doorbell = -1;
  }
  for (auto& node : b.nodes) {
    node->link.reset();
    if (node->handler) g_object_unref(node->handler);
    node->handler = nullptr;
    if (node->fifo >= 0) close(node->fifo);
    node->fifo = -1;
  }
  if (b.hid) {
    if (b.hid->handler) g_object_unref(b.hid->handler);
    b.hid->handler = nullptr;
    if (b.hid->fifo >= 0) close(b.hid->fifo);
    b.hid->fifo = -1;
  }
  if (b.trace) fclose(b.trace);
  b.trace = nullptr;
}

int UsbBus::RunUnder(const std::vector<std::string>& argv) {
  if (argv.empty()) return 127;
  std::string preload = "libumockdev-preload.so.0";
  const char* existing = getenv("LD_PRELOAD");
  if (existing && *existing) preload += std::string(":") + existing;
  // An address-sanitized program refuses to start when another library is
  // preloaded ahead of its runtime; the preload is what we want here.
  std::string asan = "verify_asan_link_order=0";
  const char* asanExisting = getenv("ASAN_OPTIONS");
  if (asanExisting && *asanExisting) asan = std::string(asanExisting) + ":" + asan;

  pid_t pid = fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    // Without its bus the program would only hang or fail oddly: it goes
    // when the emulator goes, however that happens.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) _exit(127);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "qn-usbemu: cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
  }
  gForwardPid = pid;
  struct sigaction forward;
  memset(&forward, 0, sizeof(forward));
  forward.sa_handler = ForwardSignal;
  sigaction(SIGINT, &forward, nullptr);
  sigaction(SIGTERM, &forward, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  gForwardPid = 0;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 127;
}

std::string UsbBus::RootDir() const { return impl_->root; }

BusStats UsbBus::Stats() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->stats;
}

std::vector<std::string> UsbBus::Summaries() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  std::vector<std::string> lines;
  if (impl_->hid) {
    std::string line = impl_->hid->responder->Summary();
    if (!line.empty()) lines.push_back(line);
  }
  if (impl_->serial) lines.push_back(impl_->serialSummary);
  return lines;
}

}  // namespace usbemu
