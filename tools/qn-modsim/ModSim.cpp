// Module state machine: packet assembly on the module side, link control
// (start/stop, address query, sync, heartbeats), system and build queries,
// the upgrade command, routing through a router module, restarts and the
// injected faults.
#include "tools/qn-modsim/ModSim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "tools/qn-modsim/ModSimWire.h"

namespace modsim {

namespace {

constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();
// A burst of address queries belongs together when the next one follows
// within this time; the burst is then answered as one sync request.
constexpr uint64_t kQueryBurstMs = 3;
// Bytes the loader accepts before LOAD; bounds memory on a runaway host.
constexpr size_t kMaxLoaderBytes = 1u << 20;

enum Stage { kStageFirmware = 0, kStageLoading = 1, kStageLoader = 2 };

struct Pending {
  uint64_t due;
  uint64_t seq;
  std::vector<uint8_t> bytes;
};

struct LinkState {
  uint32_t serial = 0;  // the directly attached module
  bool closed = false;
  uint64_t startedAt = 0;
  uint8_t assembly[wire::kMaxPacket] = {};
  size_t assembled = 0;
  int queryRun = 0;
  uint64_t queryDeadline = 0;
  uint64_t nextHeartbeat = 0;
  int nextPhase = 0;
  int awaitingPhase = -1;
  unsigned missedInRow = 0;
  std::vector<Pending> out;
  uint64_t seq = 0;
  LinkStats stats;
};

struct ModuleState {
  ModuleConfig cfg;
  uint8_t runningRouter = 0;
  uint8_t savedRouter = 0;
  uint32_t version = 0;
  uint32_t build = 0;
  uint8_t led = 0;
  int stage = kStageFirmware;
  std::map<uint32_t, std::vector<uint8_t>> loader;
  std::map<uint32_t, std::vector<uint8_t>> firmware;
  uint32_t loadAddress = 0;
  uint32_t writeAddress = 0;
  std::vector<uint8_t> pending;  // loader running: bytes waiting for WRITE
  uint32_t sum = 0;
  uint64_t replies = 0;
  bool dataFaultUsed = false;
  unsigned routerSetAttempts = 0;
  uint64_t downUntil = 0;
  uint64_t restartAt = 0;
  int restarts = 0;
  bool pendingLoadReply = false;
  uint64_t routeLink = 0;  // router: link that turned route-to-me on
};

uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBE32(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back(uint8_t(x >> 24));
  v->push_back(uint8_t(x >> 16));
  v->push_back(uint8_t(x >> 8));
  v->push_back(uint8_t(x));
}

std::string Hex8(uint32_t x) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", x);
  return buf;
}

std::string VersionText(uint32_t v) {
  char buf[48];
  snprintf(buf, sizeof buf, "%u.%u.%u", v >> 28, (v >> 24) & 0xF, v & 0xFFFFFF);
  return buf;
}

// Writes data at address into a sparse image, merging with every region it
// touches or overlaps so that regions never overlap.
void WriteImage(std::map<uint32_t, std::vector<uint8_t>>* image, uint32_t address,
                const uint8_t* data, size_t length) {
  if (length == 0) return;
  uint64_t start = address;
  uint64_t end = start + length;
  auto it = image->upper_bound(address);
  if (it != image->begin()) {
    auto prev = std::prev(it);
    if (uint64_t(prev->first) + prev->second.size() >= start) it = prev;
  }
  uint64_t newStart = start;
  uint64_t newEnd = end;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> absorbed;
  while (it != image->end() && uint64_t(it->first) <= end) {
    newStart = std::min<uint64_t>(newStart, it->first);
    newEnd = std::max<uint64_t>(newEnd, uint64_t(it->first) + it->second.size());
    absorbed.emplace_back(it->first, std::move(it->second));
    it = image->erase(it);
  }
  std::vector<uint8_t> merged(size_t(newEnd - newStart), 0);
  for (const auto& region : absorbed) {
    std::copy(region.second.begin(), region.second.end(),
              merged.begin() + (region.first - newStart));
  }
  std::copy(data, data + length, merged.begin() + (start - newStart));
  (*image)[uint32_t(newStart)] = std::move(merged);
}

}  // namespace

struct SimState {
  std::mutex mu;
  std::map<uint32_t, ModuleState> modules;
  std::map<uint64_t, LinkState> links;
  uint64_t nextLinkId = 1;
  std::string dumpDir;
  std::vector<std::string> events;
  bool alive = true;

  bool Up(const ModuleState& m, uint64_t now) const { return now >= m.downUntil; }

  void Queue(LinkState& link, uint64_t due, std::vector<uint8_t> bytes) {
    link.out.push_back(Pending{due, link.seq++, std::move(bytes)});
  }

  // Sends one reply packet from module m on link, applying m's faults.
  void Reply(ModuleState& m, LinkState& link, uint64_t now, const std::vector<uint8_t>& data,
             bool deliver) {
    uint64_t number = ++m.replies;
    const Faults& f = m.cfg.faults;
    if (!deliver || f.dropReplies.count(number)) return;
    std::vector<uint8_t> packet;
    packet.push_back(m.cfg.address);
    packet.push_back(uint8_t(data.size()));
    packet.insert(packet.end(), data.begin(), data.end());
    uint64_t due = now + f.delayMs;
    Queue(link, due, std::move(packet));
    if (f.strayAfterReply == number) Queue(link, due, {0x01});
  }

  void ErrorReply(ModuleState& m, LinkState& link, uint64_t now, const uint8_t* data, size_t length,
                  bool deliver) {
    std::vector<uint8_t> reply{wire::kCmdError};
    for (size_t i = 0; i < length && i < 2; ++i) reply.push_back(data[i]);
    Reply(m, link, now, reply, deliver);
  }

  void Event(const std::string& text) { events.push_back(text); }

  static uint64_t FirstHeartbeat(const ModuleState& m, uint64_t from) {
    if (m.cfg.heartbeatMs == 0 || from == kForever) return kForever;
    return from + m.cfg.heartbeatMs;
  }

  void ResetLinkForRestart(LinkState& link, const ModuleState& m) {
    link.out.clear();
    link.assembled = 0;
    link.queryRun = 0;
    link.nextPhase = 0;
    link.awaitingPhase = -1;
    link.missedInRow = 0;
    link.nextHeartbeat = FirstHeartbeat(m, m.downUntil);
  }

  // The module restarts: it is away for its reset time (or for good), its
  // running settings come back from the saved ones, and its direct links are
  // dropped or silenced.
  void Restart(ModuleState& m, uint64_t now, bool forever) {
    m.downUntil = forever ? kForever : now + m.cfg.resetMs;
    m.restartAt = now;
    ++m.restarts;
    m.runningRouter = m.savedRouter;
    m.routeLink = 0;
    m.sum = 0;
    m.pending.clear();
    for (auto& entry : links) {
      LinkState& link = entry.second;
      if (link.serial != m.cfg.serial) continue;
      if (m.cfg.resetMode == ResetMode::kDrop) {
        link.closed = true;
        link.out.clear();
      } else {
        ResetLinkForRestart(link, m);
      }
    }
  }

  void Reboot(ModuleState& m, uint64_t now) {
    std::string text = "module " + Hex8(m.cfg.serial) + " reboot";
    if (m.stage == kStageLoader && !m.firmware.empty()) {
      uint32_t version = 0, build = 0;
      if (FindFirmwareStamp(m.firmware, &version, &build)) {
        m.version = version;
        m.build = build;
      }
      if (m.cfg.rebootRouterAddress) {
        m.savedRouter = m.cfg.rebootRouterAddress;
      }
      if (!dumpDir.empty()) {
        std::string error;
        if (!DumpLocked(m, dumpDir, &error)) text += " (dump failed: " + error + ")";
      }
      text += " into new firmware";
    }
    text += " version " + VersionText(m.version) + " build " + std::to_string(m.build);
    m.stage = kStageFirmware;
    Restart(m, now, false);
    Event(text);
  }

  bool DumpLocked(const ModuleState& m, const std::string& dir, std::string* error) const {
    auto dump = [&](const std::map<uint32_t, std::vector<uint8_t>>& image, const char* kind) {
      for (const auto& region : image) {
        std::string path =
            dir + "/" + Hex8(m.cfg.serial) + "-" + kind + "-" + Hex8(region.first) + ".bin";
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) {
          *error = path + ": " + strerror(errno);
          return false;
        }
        size_t written = fwrite(region.second.data(), 1, region.second.size(), f);
        bool ok = (fclose(f) == 0) && written == region.second.size();
        if (!ok) {
          *error = path + ": write failed";
          return false;
        }
      }
      return true;
    };
    return dump(m.firmware, "fw") && dump(m.loader, "loader");
  }

  void HandleSystem(ModuleState& m, LinkState& link, uint64_t linkId, uint64_t now,
                    const uint8_t* data, size_t length, bool deliver) {
    if (length < 3) {
      ErrorReply(m, link, now, data, length, deliver);
      return;
    }
    uint8_t op = data[1];
    bool isRead = (op & 0xC0) == wire::kSysRead;
    bool isSet = (op & 0xC0) == wire::kSysSet;
    if (!isRead && !isSet) {
      ErrorReply(m, link, now, data, length, deliver);
      return;
    }
    uint8_t value = op & 0x3F;
    uint8_t flags = data[2] & 0x7F;
    std::vector<uint8_t> reply{wire::kCmdSystem, uint8_t(value + wire::kSysReplyBase), flags};
    bool refused = false;
    if (isRead) {
      switch (value) {
        case wire::kValModuleAddr:
          reply.push_back(m.cfg.address);
          break;
        case wire::kValRouterAddr:
          reply.push_back(m.runningRouter);
          break;
        case wire::kValHeartbeat:
          reply.push_back(uint8_t(std::min(255u, m.cfg.heartbeatMs / 100)));
          break;
        case wire::kValLed:
          reply.push_back(m.led);
          break;
        case wire::kValSleep:
          reply.push_back(0);
          break;
        case wire::kValBootSlot:
          reply.push_back(0);
          break;
        case wire::kValVersion:
          PutBE32(&reply, m.version);
          break;
        case wire::kValModel:
          reply.push_back(m.cfg.model);
          break;
        case wire::kValSerial:
          PutBE32(&reply, m.cfg.faults.reportSerial ? m.cfg.faults.reportSerial : m.cfg.serial);
          break;
        case wire::kValVoltage:
          reply.push_back(uint8_t(m.cfg.voltageMv >> 8));
          reply.push_back(uint8_t(m.cfg.voltageMv));
          break;
        case wire::kValHwOffset:
          reply.push_back(0);
          break;
        case wire::kValHwBase:
          reply.push_back(m.cfg.address);
          break;
        case wire::kValHwSoftware:
          reply.push_back(0);
          break;
        case wire::kValRouterAddrSetting:
          reply.push_back(m.savedRouter);
          break;
        case wire::kValRouteToMe:
          reply.push_back(m.routeLink == linkId ? 1 : 0);
          break;
        default:
          refused = true;
          break;
      }
    } else {
      bool hasParam = length >= 4;
      uint8_t param = hasParam ? data[3] : 0;
      switch (value) {
        case wire::kValRouterAddr:
          if (!hasParam || param == 0 || (param & 1)) {
            refused = true;
            break;
          }
          ++m.routerSetAttempts;
          if (m.cfg.faults.routerTakeAt == 0 || m.routerSetAttempts >= m.cfg.faults.routerTakeAt) {
            m.runningRouter = param;
          }
          break;
        case wire::kValRouterAddrSetting:
          if (!hasParam || param == 0 || (param & 1))
            refused = true;
          else
            m.savedRouter = param;
          break;
        case wire::kValLed:
          if (!hasParam)
            refused = true;
          else
            m.led = param;
          break;
        case wire::kValRouteToMe:
          if (!hasParam)
            refused = true;
          else
            m.routeLink = param ? linkId : 0;
          break;
        case wire::kValSave:
          // Saves without a reply: the host does not wait for one.
          m.savedRouter = m.runningRouter;
          Event("module " + Hex8(m.cfg.serial) + " save");
          return;
        case wire::kValReset:
          Event("module " + Hex8(m.cfg.serial) + " reset");
          m.stage = kStageFirmware;
          Restart(m, now, false);
          return;
        default:
          refused = true;
          break;
      }
    }
    if (refused) reply[2] |= wire::kSysRefused;
    Reply(m, link, now, reply, deliver);
  }

  void HandleUpgrade(ModuleState& m, LinkState& link, uint64_t now, const uint8_t* data,
                     size_t length, bool deliver) {
    if (length < 2) {
      ErrorReply(m, link, now, data, length, deliver);
      return;
    }
    const Faults& f = m.cfg.faults;
    uint8_t value = data[1];
    std::vector<uint8_t> reply{wire::kCmdUpgrade};
    switch (value) {
      case wire::kUpInit:
        m.stage = kStageLoading;
        m.loader.clear();
        m.firmware.clear();
        m.pending.clear();
        m.loadAddress = m.cfg.loadBase;
        m.writeAddress = 0;
        m.sum = 0;
        reply.push_back(wire::kUpInit);
        PutBE32(&reply, m.cfg.loadBase);
        break;
      case wire::kUpPrepare: {
        if (m.stage == kStageFirmware || length < 7) {
          ErrorReply(m, link, now, data, length, deliver);
          return;
        }
        uint32_t address = GetBE32(data + 3);
        if (f.prepareStatus == 0) {
          if (m.stage == kStageLoading) {
            m.loadAddress = address;
          } else {
            m.writeAddress = address;
            m.pending.clear();
          }
          m.sum = 0;
        }
        reply.insert(reply.end(), {wire::kUpStatus, f.prepareStatus, uint8_t(m.cfg.blockSize >> 8),
                                   uint8_t(m.cfg.blockSize)});
        break;
      }
      case wire::kUpData: {
        if (m.stage == kStageFirmware) {
          ErrorReply(m, link, now, data, length, deliver);
          return;
        }
        size_t n = length - 2;
        size_t accepted = n;
        bool wrongCount =
            n > 0 && (f.wrongDataCount == 2 || (f.wrongDataCount == 1 && !m.dataFaultUsed));
        if (wrongCount) {
          // The packet is refused as a whole; the host sends it again.
          m.dataFaultUsed = true;
          reply.insert(reply.end(), {wire::kUpData, uint8_t(n - 1)});
          break;
        }
        if (m.stage == kStageLoading) {
          size_t held = 0;
          for (const auto& region : m.loader) held += region.second.size();
          if (held + n > kMaxLoaderBytes)
            accepted = 0;
          else {
            WriteImage(&m.loader, m.loadAddress, data + 2, n);
            m.loadAddress += uint32_t(n);
          }
        } else {
          // A packet that does not fit in the block buffer is refused whole.
          if (m.pending.size() + n > m.cfg.blockSize)
            accepted = 0;
          else
            m.pending.insert(m.pending.end(), data + 2, data + 2 + n);
        }
        for (size_t i = 0; i < accepted; ++i) m.sum += data[2 + i];
        reply.insert(reply.end(), {wire::kUpData, uint8_t(accepted)});
        break;
      }
      case wire::kUpSum: {
        if (m.stage == kStageFirmware) {
          ErrorReply(m, link, now, data, length, deliver);
          return;
        }
        uint32_t sum = m.sum + (f.badChecksum ? 1 : 0);
        m.sum = 0;
        reply.insert(reply.end(), {wire::kUpStatus, 0});
        PutBE32(&reply, sum);
        break;
      }
      case wire::kUpWrite: {
        uint8_t status = 0;
        if (m.stage != kStageLoader || length < 4) {
          status = 1;
        } else if (f.writeStatus) {
          status = f.writeStatus;
        } else {
          size_t n = (size_t(data[2]) << 8) | data[3];
          if (n > m.pending.size()) {
            status = 2;
          } else {
            WriteImage(&m.firmware, m.writeAddress, m.pending.data(), n);
            m.writeAddress += uint32_t(n);
            m.pending.erase(m.pending.begin(), m.pending.begin() + n);
          }
        }
        reply.insert(reply.end(), {wire::kUpStatus, status});
        break;
      }
      case wire::kUpLoad:
        if (m.stage == kStageFirmware) {
          ErrorReply(m, link, now, data, length, deliver);
          return;
        }
        if (m.stage == kStageLoader) {
          reply.push_back(wire::kUpLoad);
          break;
        }
        m.stage = kStageLoader;
        m.pending.clear();
        if (f.neverBackAfterLoad) {
          Event("module " + Hex8(m.cfg.serial) + " load: gone for good");
          Restart(m, now, true);
          m.stage = kStageLoader;
          return;
        }
        if (m.cfg.loadMode == LoadMode::kRestart) {
          Event("module " + Hex8(m.cfg.serial) + " load: restarting into loader");
          Restart(m, now, false);
          m.pendingLoadReply = true;
          return;
        }
        Event("module " + Hex8(m.cfg.serial) + " load: loader running");
        reply.push_back(wire::kUpLoad);
        break;
      case wire::kUpReboot:
        Reboot(m, now);
        return;
      default:
        ErrorReply(m, link, now, data, length, deliver);
        return;
    }
    Reply(m, link, now, reply, deliver);
  }

  // A command packet for module m arrived on link (m may sit behind the
  // link's module, which then routes the reply back).
  void HandleCommand(ModuleState& m, LinkState& link, uint64_t linkId, uint64_t now,
                     const uint8_t* data, size_t length, bool deliver) {
    if (length == 0) return;
    switch (data[0]) {
      case wire::kCmdSystem:
        HandleSystem(m, link, linkId, now, data, length, deliver);
        break;
      case wire::kCmdBuild:
        if (length >= 2 && data[1] == wire::kBuildSelector) {
          std::vector<uint8_t> reply{wire::kCmdBuild, wire::kBuildSelector};
          PutBE32(&reply, m.build);
          Reply(m, link, now, reply, deliver);
        } else {
          ErrorReply(m, link, now, data, length, deliver);
        }
        break;
      case wire::kCmdUpgrade:
        HandleUpgrade(m, link, now, data, length, deliver);
        break;
      default:
        ErrorReply(m, link, now, data, length, deliver);
        break;
    }
  }

  ModuleState* RoutedModule(uint32_t router, uint8_t address) {
    for (auto& entry : modules) {
      if (entry.second.cfg.behind == router && entry.second.cfg.address == address) {
        return &entry.second;
      }
    }
    return nullptr;
  }

  // Answers a finished burst of zero-length packets to the query address:
  // one is an address query, more are a sync request.
  void ResolveQueries(LinkState& link, ModuleState& m, uint64_t now) {
    if (link.queryRun == 0) return;
    if (link.queryRun == 1) {
      ++link.stats.addressQueries;
      Reply(m, link, now, {}, true);
    } else {
      ++link.stats.syncsAnswered;
      uint8_t a = m.cfg.address;
      Queue(link, now, {a, 0, a, 0});
    }
    link.queryRun = 0;
  }

  void HandlePacket(LinkState& link, uint64_t linkId, uint64_t now) {
    ModuleState& m = modules.at(link.serial);
    const uint8_t address = link.assembly[0];
    const size_t length = link.assembly[1];
    const uint8_t* data = link.assembly + 2;
    if (address == wire::kAddrQuery && length == 0) {
      ++link.queryRun;
      link.queryDeadline = now + kQueryBurstMs;
      return;
    }
    ResolveQueries(link, m, now);
    if (length == 2 && data[0] == wire::kHeartbeatByte &&
        (data[1] == wire::kHeartbeatAnswerOffset || data[1] == wire::kHeartbeatAnswerOffset + 1)) {
      int phase = data[1] - wire::kHeartbeatAnswerOffset;
      if (phase == link.awaitingPhase) {
        ++link.stats.heartbeatAnswers;
        link.awaitingPhase = -1;
        link.missedInRow = 0;
      }
      return;
    }
    ++link.stats.packetsIn;
    if (address == wire::kAddrControl) {
      if (length == 1) {
        if (data[0] == wire::kControlStart) {
          link.stats.started = true;
          link.startedAt = now;
          link.nextPhase = 0;
          link.awaitingPhase = -1;
          link.missedInRow = 0;
          link.nextHeartbeat = FirstHeartbeat(m, now);
        } else if (data[0] == wire::kControlStop) {
          link.stats.started = false;
        }
      }
    } else if (address == m.cfg.address) {
      HandleCommand(m, link, linkId, now, data, length, true);
    } else if (ModuleState* routed = RoutedModule(m.cfg.serial, address)) {
      if (Up(*routed, now)) {
        bool deliver = !m.cfg.routeRequired || m.routeLink == linkId;
        HandleCommand(*routed, link, linkId, now, data, length, deliver);
      }
    } else if (m.cfg.nakAbsent && length > 0 && address != 0 && (address & 1) == 0) {
      // Nobody at that address: the router answers for it that the request
      // could not be processed, which ends a host's wait at once.
      std::vector<uint8_t> nak{address, uint8_t(length >= 2 ? 3 : 2), wire::kCmdError, data[0]};
      if (length >= 2) nak.push_back(data[1]);
      Queue(link, now + m.cfg.faults.delayMs, std::move(nak));
    }
    const uint64_t closeAfter = m.cfg.faults.closeAfterPackets;
    if (closeAfter && link.stats.packetsIn >= closeAfter && !link.closed) {
      link.closed = true;
      Event("module " + Hex8(m.cfg.serial) + " closes link after " +
            std::to_string(link.stats.packetsIn) + " packets");
    }
  }

  void ReceiveByte(LinkState& link, uint64_t linkId, uint8_t byte, uint64_t now) {
    if (link.assembled == 0) {
      bool moduleAddress = byte != 0 && (byte & 1) == 0;
      if (!moduleAddress && byte != wire::kAddrQuery && byte != wire::kAddrControl) {
        ++link.stats.badBytes;
        return;
      }
      link.assembly[link.assembled++] = byte;
      return;
    }
    if (link.assembled == 1) {
      if (byte > wire::kMaxData) {
        ++link.stats.badBytes;
        link.assembled = 0;
        ReceiveByte(link, linkId, byte, now);  // it may start the next packet
        return;
      }
      link.assembly[link.assembled++] = byte;
    } else {
      link.assembly[link.assembled++] = byte;
    }
    if (link.assembled == size_t(link.assembly[1]) + 2) {
      link.assembled = 0;
      HandlePacket(link, linkId, now);
    }
  }

  // Timers of one link: query bursts, heartbeats, a loader's LOAD reply.
  void Service(LinkState& link, uint64_t now) {
    ModuleState& m = modules.at(link.serial);
    if (link.closed) return;
    if (link.queryRun && now >= link.queryDeadline) ResolveQueries(link, m, now);
    if (!Up(m, now)) return;
    if (link.stats.started && now >= link.nextHeartbeat) {
      if (link.awaitingPhase >= 0) {
        ++link.stats.heartbeatsMissed;
        ++link.missedInRow;
        if (m.cfg.heartbeatLimit && link.missedInRow >= m.cfg.heartbeatLimit) {
          link.closed = true;
          Event("module " + Hex8(m.cfg.serial) +
                " closes link: " + std::to_string(link.missedInRow) + " heartbeats unanswered");
          return;
        }
      }
      uint8_t a = m.cfg.address;
      Queue(link, now, {a, 2, wire::kHeartbeatByte, uint8_t(link.nextPhase)});
      ++link.stats.heartbeatsSent;
      link.awaitingPhase = link.nextPhase;
      link.nextPhase ^= 1;
      link.nextHeartbeat += m.cfg.heartbeatMs;
      if (link.nextHeartbeat <= now) link.nextHeartbeat = now + m.cfg.heartbeatMs;
    }
    if (!link.stats.started) return;
    auto sendLoad = [&](ModuleState& target, bool deliver) {
      if (target.pendingLoadReply && Up(target, now) && link.startedAt >= target.restartAt) {
        target.pendingLoadReply = false;
        Event("module " + Hex8(target.cfg.serial) + " load: loader running");
        Reply(target, link, now, {wire::kCmdUpgrade, wire::kUpLoad}, deliver);
      }
    };
    sendLoad(m, true);
    for (auto& entry : modules) {
      if (entry.second.cfg.behind == m.cfg.serial) sendLoad(entry.second, true);
    }
  }

  uint64_t NextEvent(const LinkState& link) const {
    uint64_t next = kForever;
    for (const auto& p : link.out) next = std::min(next, p.due);
    if (link.closed) return next;
    if (link.queryRun) next = std::min(next, link.queryDeadline);
    const ModuleState& m = modules.at(link.serial);
    if (link.stats.started) {
      next = std::min(next, std::max(link.nextHeartbeat, m.downUntil));
      for (const auto& entry : modules) {
        const ModuleState& t = entry.second;
        if (t.pendingLoadReply && (&t == &m || t.cfg.behind == m.cfg.serial)) {
          next = std::min(next, t.downUntil);
        }
      }
    }
    return next;
  }
};

Simulator::Simulator() : state_(std::make_shared<SimState>()) {}

Simulator::~Simulator() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->alive = false;
}

bool Simulator::AddModule(const ModuleConfig& config, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (config.serial == 0) {
    *error = "a module needs a non-zero serial number";
    return false;
  }
  if (config.address == 0 || (config.address & 1)) {
    *error = "module " + Hex8(config.serial) + ": address must be even and non-zero";
    return false;
  }
  if (config.routerAddress & 1) {
    *error = "module " + Hex8(config.serial) + ": router address must be even";
    return false;
  }
  if (state_->modules.count(config.serial)) {
    *error = "module " + Hex8(config.serial) + " given twice";
    return false;
  }
  ModuleState m;
  m.cfg = config;
  m.version = config.version;
  m.build = config.build;
  if (config.loaderRunning) m.stage = kStageLoader;
  state_->modules[config.serial] = m;
  return true;
}

bool Simulator::Validate(std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto& modules = state_->modules;
  for (auto& entry : modules) {
    ModuleState& m = entry.second;
    if (m.cfg.behind == 0) {
      if (m.cfg.routerAddress == 0) m.cfg.routerAddress = m.cfg.address;
    } else {
      auto router = modules.find(m.cfg.behind);
      if (router == modules.end() || router->second.cfg.behind != 0) {
        *error = "module " + Hex8(m.cfg.serial) + ": behind " + Hex8(m.cfg.behind) +
                 ", which is not a direct module";
        return false;
      }
      if (router->second.cfg.address == m.cfg.address) {
        *error = "module " + Hex8(m.cfg.serial) + ": address clashes with its router";
        return false;
      }
      for (const auto& other : modules) {
        if (other.first != m.cfg.serial && other.second.cfg.behind == m.cfg.behind &&
            other.second.cfg.address == m.cfg.address) {
          *error = "modules " + Hex8(m.cfg.serial) + " and " + Hex8(other.first) +
                   " share an address behind " + Hex8(m.cfg.behind);
          return false;
        }
      }
      if (m.cfg.routerAddress == 0) m.cfg.routerAddress = router->second.cfg.address;
      if (m.cfg.tcpPort >= 0 || m.cfg.node) {
        *error = "module " + Hex8(m.cfg.serial) + ": a module behind a router has no endpoint";
        return false;
      }
    }
    m.runningRouter = m.savedRouter = m.cfg.routerAddress;
  }
  return true;
}

std::vector<uint32_t> Simulator::Serials() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  std::vector<uint32_t> out;
  for (const auto& entry : state_->modules) out.push_back(entry.first);
  return out;
}

bool Simulator::GetConfig(uint32_t serial, ModuleConfig* out) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->modules.find(serial);
  if (it == state_->modules.end()) return false;
  *out = it->second.cfg;
  return true;
}

void Simulator::SetTcpPort(uint32_t serial, int port) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->modules.find(serial);
  if (it != state_->modules.end()) it->second.cfg.tcpPort = port;
}

void Simulator::SetDumpDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->dumpDir = dir;
}

std::unique_ptr<Link> Simulator::OpenLink(uint32_t serial, uint64_t nowMs, OpenResult* result) {
  OpenResult dummy;
  if (!result) result = &dummy;
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->modules.find(serial);
  if (it == state_->modules.end()) {
    *result = OpenResult::kUnknown;
    return nullptr;
  }
  ModuleState& m = it->second;
  if (m.cfg.behind != 0) {
    *result = OpenResult::kNotDirect;
    return nullptr;
  }
  if (!state_->Up(m, nowMs)) {
    *result = OpenResult::kDown;
    return nullptr;
  }
  if (m.cfg.faults.maxLinks >= 0) {
    int open = 0;
    for (const auto& entry : state_->links) {
      if (entry.second.serial == serial && !entry.second.closed) ++open;
    }
    if (open >= m.cfg.faults.maxLinks) {
      *result = OpenResult::kBusy;
      return nullptr;
    }
  }
  uint64_t id = state_->nextLinkId++;
  LinkState& link = state_->links[id];
  link.serial = serial;
  link.nextHeartbeat = kForever;
  *result = OpenResult::kOk;
  return std::unique_ptr<Link>(new Link(state_, id, serial));
}

bool Simulator::IsUp(uint32_t serial, uint64_t nowMs) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->modules.find(serial);
  return it != state_->modules.end() && state_->Up(it->second, nowMs);
}

ModuleStatus Simulator::Status(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  ModuleStatus s;
  auto it = state_->modules.find(serial);
  if (it == state_->modules.end()) return s;
  const ModuleState& m = it->second;
  s.known = true;
  s.version = m.version;
  s.build = m.build;
  s.routerAddress = m.runningRouter;
  s.savedRouterAddress = m.savedRouter;
  s.stage = m.stage;
  s.restarts = m.restarts;
  s.routerSetAttempts = m.routerSetAttempts;
  s.firmware = m.firmware;
  s.loader = m.loader;
  for (const auto& entry : state_->links) {
    if (entry.second.serial == serial && !entry.second.closed) ++s.links;
  }
  return s;
}

bool Simulator::DumpImages(uint32_t serial, const std::string& dir, std::string* error) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->modules.find(serial);
  if (it == state_->modules.end()) {
    *error = "unknown module " + Hex8(serial);
    return false;
  }
  return state_->DumpLocked(it->second, dir, error);
}

std::vector<std::string> Simulator::TakeEvents() {
  std::lock_guard<std::mutex> lock(state_->mu);
  std::vector<std::string> out;
  out.swap(state_->events);
  return out;
}

Link::Link(std::shared_ptr<SimState> state, uint64_t id, uint32_t serial)
    : state_(std::move(state)), id_(id), serial_(serial) {}

Link::~Link() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->links.erase(id_);
}

void Link::Receive(const uint8_t* data, size_t length, uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->alive) return;
  auto it = state_->links.find(id_);
  if (it == state_->links.end()) return;
  LinkState& link = it->second;
  for (size_t i = 0; i < length; ++i) {
    if (link.closed) return;
    // A module inside a restart hears nothing.
    if (!state_->Up(state_->modules.at(link.serial), nowMs)) return;
    state_->ReceiveByte(link, id_, data[i], nowMs);
  }
  state_->Service(link, nowMs);
}

std::vector<uint8_t> Link::TakeOutput(uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(state_->mu);
  std::vector<uint8_t> out;
  if (!state_->alive) return out;
  auto it = state_->links.find(id_);
  if (it == state_->links.end()) return out;
  LinkState& link = it->second;
  state_->Service(link, nowMs);
  std::stable_sort(link.out.begin(), link.out.end(),
                   [](const Pending& a, const Pending& b) { return a.due < b.due; });
  size_t taken = 0;
  while (taken < link.out.size() && link.out[taken].due <= nowMs) {
    const auto& bytes = link.out[taken].bytes;
    out.insert(out.end(), bytes.begin(), bytes.end());
    ++taken;
  }
  link.out.erase(link.out.begin(), link.out.begin() + taken);
  return out;
}

uint64_t Link::NextEventMs() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->links.find(id_);
  if (!state_->alive || it == state_->links.end()) return kForever;
  return state_->NextEvent(it->second);
}

bool Link::Closed() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->links.find(id_);
  return !state_->alive || it == state_->links.end() || it->second.closed;
}

LinkStats Link::Stats() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->links.find(id_);
  return it == state_->links.end() ? LinkStats() : it->second.stats;
}

bool FindFirmwareStamp(const std::map<uint32_t, std::vector<uint8_t>>& image, uint32_t* version,
                       uint32_t* build) {
  const size_t magicLength = strlen(wire::kStampMagic);
  bool found = false;
  for (const auto& region : image) {
    const std::vector<uint8_t>& bytes = region.second;
    if (bytes.size() < wire::kStampSize) continue;
    for (size_t i = 0; i + wire::kStampSize <= bytes.size(); ++i) {
      if (memcmp(bytes.data() + i, wire::kStampMagic, magicLength) == 0) {
        *version = GetBE32(bytes.data() + i + magicLength);
        *build = GetBE32(bytes.data() + i + magicLength + 4);
        found = true;
      }
    }
  }
  return found;
}

}  // namespace modsim
